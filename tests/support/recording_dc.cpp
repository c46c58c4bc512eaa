#include "recording_dc.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace zr_test {
namespace {
std::map<const dc_t *, recording_dc *> &registry() {
    static std::map<const dc_t *, recording_dc *> r;
    return r;
}
}  // namespace

bool slot_call::operator==(const slot_call &o) const {
    const bool colored = which != slot::get_pixel && which != slot::release;
    return which == o.which && a == o.a && b == o.b && c == o.c &&
           (!colored || std::memcmp(&color, &o.color, sizeof color) == 0);
}

void PrintTo(const slot_call &call, std::ostream *os) {
    static const char *names[] = {"clear", "get_pixel", "set_pixel", "hline", "vline", "release"};
    *os << names[static_cast<int>(call.which)] << '(' << call.a << ',' << call.b << ',' << call.c
        << " rgba=" << int(call.color.red) << ',' << int(call.color.green) << ',' << int(call.color.blue) << ','
        << int(call.color.alpha) << ')';
}

slot_call set_px(int x, int y, color_t c) { return {slot::set_pixel, x, y, 0, c}; }
slot_call get_px(int x, int y) { return {slot::get_pixel, x, y, 0, {}}; }
slot_call hspan(int x1, int x2, int y, color_t c) { return {slot::hline, x1, x2, y, c}; }
slot_call vspan(int x, int y1, int y2, color_t c) { return {slot::vline, x, y1, y2, c}; }

recording_dc::recording_dc(int width, int height, unsigned char dc_type)
    : width_(width), height_(height),
      pixels_(static_cast<size_t>(width > 0 ? width : 0) * (height > 0 ? height : 0), color_t{0, 0, 0, 255}) {
    dc_.dc_type = dc_type;
    dc_.width = width;
    dc_.height = height;
    dc_.dots = width * height;
    dc_.colors = 32;
    dc_.pen_color = {255, 255, 255, 255};
    dc_.brush_color = {0, 0, 0, 255};
    dc_.release_dc = [](dc_t *dc) { of(dc)->log({slot::release, 0, 0, 0, {}}, true); };
    dc_.clear = [](dc_t *dc, color_t c) {
        auto *r = of(dc);
        r->log({slot::clear, 0, 0, 0, c}, true);
        for (auto &p : r->pixels_) p = c;
    };
    dc_.get_pixel = [](dc_t *dc, int x, int y, color_t *out) {
        auto *r = of(dc);
        if (r->log(get_px(x, y), r->inside(x, y))) *out = r->pixel(x, y);
    };
    dc_.set_pixel = [](dc_t *dc, int x, int y, color_t c) {
        auto *r = of(dc);
        if (r->log(set_px(x, y, c), r->inside(x, y))) r->pixel(x, y) = c;
    };
    dc_.hline = [](dc_t *dc, int x1, int x2, int y, color_t c) {
        auto *r = of(dc);
        if (r->log(hspan(x1, x2, y, c), x1 <= x2 && r->inside(x1, y) && r->inside(x2, y)))
            for (int x = x1; x <= x2; ++x) r->pixel(x, y) = c;
    };
    dc_.vline = [](dc_t *dc, int x, int y1, int y2, color_t c) {
        auto *r = of(dc);
        if (r->log(vspan(x, y1, y2, c), y1 <= y2 && r->inside(x, y1) && r->inside(x, y2)))
            for (int y = y1; y <= y2; ++y) r->pixel(x, y) = c;
    };
    registry()[&dc_] = this;
}

recording_dc::~recording_dc() { registry().erase(&dc_); }

recording_dc *recording_dc::of(dc_t *dc) { return registry().at(dc); }

std::vector<slot_call> recording_dc::calls_of(slot which) const {
    std::vector<slot_call> out;
    for (const auto &c : calls)
        if (c.which == which) out.push_back(c);
    return out;
}

bool recording_dc::log(const slot_call &call, bool ok) {
    calls.push_back(call);
    if (ok) return true;
    ++violations;
    ADD_FAILURE() << "slot call outside the DC or unordered: " << testing::PrintToString(call);
    return false;
}

}  // namespace zr_test
