#include "recording_dc.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <ostream>
#include <sstream>

namespace zr_test {
namespace {
std::map<const dc_t *, recording_dc *> &registry() {
    static std::map<const dc_t *, recording_dc *> r;
    return r;
}
}  // namespace

bool slot_call::operator==(const slot_call &o) const {
    const bool colored = which != slot::get_pixel && which != slot::release;
    return which == o.which && a == o.a && b == o.b && c == o.c && (!colored || std::memcmp(&color, &o.color, sizeof color) == 0);
}

std::string to_string(const slot_call &call) {
    static const char *names[] = {"clear", "get_pixel", "set_pixel", "hline", "vline", "release"};
    std::ostringstream s;
    s << names[static_cast<int>(call.which)] << '(' << call.a << ',' << call.b << ',' << call.c
      << " rgba=" << int(call.color.red) << ',' << int(call.color.green) << ','
      << int(call.color.blue) << ',' << int(call.color.alpha) << ')';
    return s.str();
}

void PrintTo(const slot_call &call, std::ostream *os) { *os << to_string(call); }

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
    dc_.release_dc = s_release;
    dc_.clear = s_clear;
    dc_.get_pixel = s_get_pixel;
    dc_.set_pixel = s_set_pixel;
    dc_.hline = s_hline;
    dc_.vline = s_vline;
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

void recording_dc::violation(const slot_call &call) {
    ++violations;
    ADD_FAILURE() << "slot call outside the DC or unordered: " << to_string(call);
}

void recording_dc::s_clear(dc_t *dc, color_t c) {
    auto *r = of(dc);
    r->calls.push_back({slot::clear, 0, 0, 0, c});
    for (auto &p : r->pixels_) p = c;
}

void recording_dc::s_get_pixel(dc_t *dc, int x, int y, color_t *out) {
    auto *r = of(dc);
    r->calls.push_back(get_px(x, y));
    if (!r->inside(x, y)) return r->violation(r->calls.back());
    *out = r->pixel(x, y);
}

void recording_dc::s_set_pixel(dc_t *dc, int x, int y, color_t c) {
    auto *r = of(dc);
    r->calls.push_back(set_px(x, y, c));
    if (!r->inside(x, y)) return r->violation(r->calls.back());
    r->pixel(x, y) = c;
}

void recording_dc::s_hline(dc_t *dc, int x1, int x2, int y, color_t c) {
    auto *r = of(dc);
    r->calls.push_back(hspan(x1, x2, y, c));
    if (x1 > x2 || !r->inside(x1, y) || !r->inside(x2, y)) return r->violation(r->calls.back());
    for (int x = x1; x <= x2; ++x) r->pixel(x, y) = c;
}

void recording_dc::s_vline(dc_t *dc, int x, int y1, int y2, color_t c) {
    auto *r = of(dc);
    r->calls.push_back(vspan(x, y1, y2, c));
    if (y1 > y2 || !r->inside(x, y1) || !r->inside(x, y2)) return r->violation(r->calls.back());
    for (int y = y1; y <= y2; ++y) r->pixel(x, y) = c;
}

void recording_dc::s_release(dc_t *dc) { of(dc)->calls.push_back({slot::release, 0, 0, 0, {}}); }

}  // namespace zr_test
