#include "memory_backend.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace zr_test {
namespace {

struct memory_state {
    memory_display d;
    std::vector<unsigned char> buffers[3];
    int shown = 0;
    call_log calls;
    std::vector<std::int64_t> sleeps;
    std::int64_t now = 1000000000;
    std::mutex lock;  // flush comes from the automatic flush's thread
};
memory_state m;

std::int64_t frame() { return 1000000000000 / m.d.refresh_mhz; }

void record(const std::string &call) {
    std::lock_guard<std::mutex> hold(m.lock);
    m.calls.push_back(call);
}

bool claims(int, const char *path) { return std::strcmp(path, memory_display_path) == 0; }

int open(int, const zr::display_request &want, zr::display_buffers *out) {
    std::string call = "open " + std::to_string(want.buffers);
    if (want.rgb565) call.append(" rgb565");
    if (want.rotation != 0) call.append(" turn ").append(std::to_string(want.rotation));
    if (want.panel_rotation) call.append(" panel");
    record(call);
    if (want.panel_rotation) out->rotation = (out->rotation + m.d.panel_rotation) % 360;
    // A plane that turns scans out buffers of the picture's orientation.
    out->plane_turns = m.d.plane_turns && out->rotation != 0;
    const bool sideways = out->plane_turns && out->rotation % 180 != 0;
    const int width = sideways ? m.d.height : m.d.width, height = sideways ? m.d.width : m.d.height;
    const int pitch = (width * m.d.bits_per_pixel + 7) / 8 + 4;  // rows padded
    out->count = want.buffers < m.d.most_buffers ? want.buffers : m.d.most_buffers;
    for (int i = 0; i < out->count; ++i) {
        m.buffers[i].assign(static_cast<std::size_t>(pitch) * height, static_cast<unsigned char>(0x10 * i));
        out->pixels[i] = m.buffers[i].data();
    }
    if (m.d.patterned)
        for (std::size_t k = 0; k < m.buffers[0].size(); ++k) m.buffers[0][k] = static_cast<unsigned char>(k * 7);
    out->width = width;
    out->height = height;
    out->pitch = pitch;
    out->bits_per_pixel = m.d.bits_per_pixel;
    out->colors = m.d.bits_per_pixel;
    out->format = m.d.format;
    out->refresh_mhz = m.d.refresh_mhz;
    out->needs_flush = m.d.needs_flush;
    out->prefer_shadow = m.d.prefer_shadow;
    m.shown = 0;
    return 0;
}

int show(int buffer, bool wait) {
    record("show " + std::to_string(buffer) + (wait ? " wait" : ""));
    m.shown = buffer;
    if (wait && m.d.vblank) m.now = (m.now / frame() + 1) * frame();
    return 0;
}

void flush(int buffer, const zr_rect_t *rects, int count) {
    // Appended piece by piece: "x" + std::string trips g++ 12's -Wrestrict at -O3.
    std::string call = "flush " + std::to_string(buffer);
    for (int i = 0; i < count; ++i) {
        const int v[4] = {rects[i].x, rects[i].y, rects[i].width, rects[i].height};
        for (int k = 0; k < 4; ++k) call.append(k == 0 ? " " : ",").append(std::to_string(v[k]));
    }
    record(call);
}

void close() { record("close"); }

void leave() { record("leave"); }

int enter(int buffer) {
    record("enter " + std::to_string(buffer));
    if (m.d.refuse_enter > 0) {
        --m.d.refuse_enter;
        return ERR_DRM_MASTER;
    }
    m.shown = buffer;
    return 0;
}

std::int64_t now() { return m.now; }

void sleep_until(std::int64_t when) {
    m.sleeps.push_back(when);
    if (when > m.now) m.now = when;
}

const zr::display_backend backend{ZR_BACKEND_DRM, ZR_PRESENT_FLIP, claims, open, show, flush, close, leave, enter};
const zr::display_clock clock{now, sleep_until};

}  // namespace

int memory_display_open(const memory_display &d, int flags) {
    m.d = d;
    m.calls.clear();
    m.sleeps.clear();
    zr::set_test_backend(&backend);
    zr::set_display_clock(&clock);
    return zr_init_ex(memory_display_path, flags);
}

void memory_display_close() {
    zr_close();
    zr::set_test_backend(nullptr);
    zr::set_display_clock(nullptr);
}

call_log memory_display_calls() {
    std::lock_guard<std::mutex> hold(m.lock);
    return m.calls;
}

void memory_display_clear_calls() {
    std::lock_guard<std::mutex> hold(m.lock);
    m.calls.clear();
}

std::vector<unsigned char> memory_display_buffer(int i) { return m.buffers[i]; }
void memory_display_scribble(int i, unsigned char byte) {
    std::fill(m.buffers[i].begin(), m.buffers[i].end(), byte);
}
int memory_display_shown() { return m.shown; }
std::vector<std::int64_t> memory_display_sleeps() { return m.sleeps; }
std::int64_t memory_display_frame() { return frame(); }

}  // namespace zr_test
