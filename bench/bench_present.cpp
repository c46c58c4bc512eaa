// zr_present: the shadow copy of a full frame and of damaged rectangles (1 %,
// 10 % and 100 % of the rows), beside a memcpy of the same bytes; a pan
// copies nothing. Rotated screens: the picture turned a quarter turn onto
// the panel by a whole-frame present and by one of 10 % of the rows, beside
// pixman's turned SRC composite (its 90/270 fast paths) between buffers of
// the same sizes, and a memcpy of the frame.
#include "bench_cases.hpp"
#include "bench_support.hpp"
#include "peers.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zr_bench {
namespace {

struct present_case {
    int width, height, bits, flags;
    int percent;  // of the rows damaged
};

void present_column(benchmark::State &state, present_case c) {
    dc_t *screen = open_screen_ex(c.width, c.height, c.bits, c.flags);
    if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
    const int rows = c.height * c.percent / 100 > 0 ? c.height * c.percent / 100 : 1;
    const zr_rect_t damage{0, (c.height - rows) / 2, c.width, rows};
    timed(state, std::int64_t{c.width} * rows, [&] { zr_present(&damage, 1); });
}

void memcpy_column(benchmark::State &state, present_case c) {
    dc_t *screen = open_screen_ex(c.width, c.height, c.bits, c.flags);
    if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
    const int rows = c.height * c.percent / 100 > 0 ? c.height * c.percent / 100 : 1;
    std::vector<unsigned char> from(static_cast<std::size_t>(screen->bytes_per_line) * rows);
    std::vector<unsigned char> to(from.size());
    timed(state, std::int64_t{c.width} * rows, [&] { std::memcpy(to.data(), from.data(), from.size()); });
}

// The picture is height x width, turned onto a width x height panel.
struct turn_case {
    int width, height, bits, degrees, percent;
};

int turn_flag(int degrees) { return degrees == 90 ? ZR_INIT_ROTATE_90 : ZR_INIT_ROTATE_270; }

void turned_present_column(benchmark::State &state, turn_case c) {
    dc_t *screen = open_screen_ex(c.width, c.height, c.bits, ZR_INIT_SHADOW | turn_flag(c.degrees));
    if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
    // Damage is whole rows of the picture: columns of the panel.
    const int rows = screen->height * c.percent / 100 > 0 ? screen->height * c.percent / 100 : 1;
    const zr_rect_t damage{0, (screen->height - rows) / 2, screen->width, rows};
    timed(state, std::int64_t{screen->width} * rows, [&] { zr_present(&damage, 1); });
}

void turned_memcpy_column(benchmark::State &state, turn_case c) {
    const auto bytes = static_cast<std::size_t>(c.width) * c.height * (c.bits / 8) * c.percent / 100;
    std::vector<unsigned char> from(bytes, 1), to(bytes, 2);
    timed(state, std::int64_t{c.width} * c.height * c.percent / 100,
          [&] { std::memcpy(to.data(), from.data(), from.size()); });
}

#if ZR_BENCH_PIXMAN
// The same turn as pixman composites it: the transform maps panel pixels to
// picture pixels (centres onto centres), which is what its rotation fast
// paths take.
void turned_pixman_column(benchmark::State &state, turn_case c) {
    if (!peers_match_layout) return state.SkipWithError("pixman formats describe little-endian bytes");
    const pixman_format_code_t format = c.bits == 16 ? PIXMAN_r5g6b5 : PIXMAN_x8r8g8b8;
    const int bytes = c.bits / 8, pw = c.width, ph = c.height, lw = ph, lh = pw;
    std::vector<std::uint32_t> picture(static_cast<std::size_t>(lw) * lh * bytes / 4 + 1, 0x12345678);
    std::vector<std::uint32_t> panel(static_cast<std::size_t>(pw) * ph * bytes / 4 + 1, 0);
    pixman_ptr src(pixman_image_create_bits(format, lw, lh, picture.data(), lw * bytes), pixman_image_unref);
    pixman_ptr dst(pixman_image_create_bits(format, pw, ph, panel.data(), pw * bytes), pixman_image_unref);
    if (!src || !dst) return state.SkipWithError("no pixman image");
    const pixman_fixed_t one = pixman_fixed_1;
    pixman_transform t{};
    if (c.degrees == 90) {
        // Panel (px, py) shows picture (py, lh - 1 - px).
        t = {{{0, one, 0}, {-one, 0, pixman_int_to_fixed(lh)}, {0, 0, one}}};
    } else {
        // Panel (px, py) shows picture (lw - 1 - py, px).
        t = {{{0, -one, pixman_int_to_fixed(lw)}, {one, 0, 0}, {0, 0, one}}};
    }
    pixman_image_set_transform(src.get(), &t);
    pixman_image_set_filter(src.get(), PIXMAN_FILTER_NEAREST, nullptr, 0);
    pixman_image_t *s = src.get(), *d = dst.get();
    timed(state, std::int64_t{pw} * ph,
          [&] { pixman_image_composite32(PIXMAN_OP_SRC, s, nullptr, d, 0, 0, 0, 0, 0, 0, pw, ph); });
}
#endif

}  // namespace

void register_present_cases() {
    const int sizes[][2] = {{800, 480}, {1280, 800}, {1920, 1080}};
    for (const auto &size : sizes)
        for (int bits : {16, 32})
            for (int degrees : {90, 270}) {
                const turn_case c{size[0], size[1], bits, degrees, 100};
                const std::string row = "present-rotated/" + std::to_string(degrees) + "deg-" + std::to_string(bits) +
                                        "bit-" + size_name(size[0], size[1]);
                add(row + "/zr_present", [c](benchmark::State &s) { turned_present_column(s, c); });
#if ZR_BENCH_PIXMAN
                add(row + "/pixman", [c](benchmark::State &s) { turned_pixman_column(s, c); });
#endif
                add(row + "/memcpy", [c](benchmark::State &s) { turned_memcpy_column(s, c); });
            }
    // Damage alone: a tenth of the rows costs about a tenth of the frame.
    for (int bits : {16, 32}) {
        const turn_case c{1920, 1080, bits, 90, 10};
        const std::string row = "present-rotated/90deg-" + std::to_string(bits) + "bit-1920x1080-10pct";
        add(row + "/zr_present", [c](benchmark::State &s) { turned_present_column(s, c); });
        add(row + "/memcpy", [c](benchmark::State &s) { turned_memcpy_column(s, c); });
    }
    for (int bits : {16, 32})
        for (int percent : {1, 10, 100}) {
            const present_case c{1920, 1080, bits, ZR_INIT_SHADOW, percent};
            const std::string row = "present/shadow-" + std::to_string(bits) + "bit-1920x1080-" +
                                    std::to_string(percent) + "pct";
            add(row + "/zr_present", [c](benchmark::State &s) { present_column(s, c); });
            add(row + "/memcpy", [c](benchmark::State &s) { memcpy_column(s, c); });
        }
}

}  // namespace zr_bench
