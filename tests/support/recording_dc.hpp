// A DC for tests whose slots log every call (slot, arguments, colour) and
// keep the pixels in a plain colour grid, so tests can check the exact calls
// and their order as well as the picture. Every call is checked to be inside
// the DC and ordered, as the slots require of their callers.
#pragma once

#include "zr.h"

#include <ostream>
#include <vector>

namespace zr_test {

enum class slot { clear, get_pixel, set_pixel, hline, vline, release };

struct slot_call {
    slot which;
    int a = 0, b = 0, c = 0;  // set/get_pixel: x, y; hline: x1, x2, y; vline: x, y1, y2
    color_t color{};
    bool operator==(const slot_call &o) const;
};
void PrintTo(const slot_call &call, std::ostream *os);

// Short ways to write the expected calls.
slot_call set_px(int x, int y, color_t c);
slot_call get_px(int x, int y);
slot_call hspan(int x1, int x2, int y, color_t c);
slot_call vspan(int x, int y1, int y2, color_t c);

class recording_dc {
public:
    recording_dc(int width, int height, unsigned char dc_type = DC_TYPE_BITMAP);
    ~recording_dc();
    recording_dc(const recording_dc &) = delete;
    recording_dc &operator=(const recording_dc &) = delete;

    dc_t *dc() { return &dc_; }
    std::vector<slot_call> calls;
    // Pixels as last written (all four channels), row-major.
    color_t &pixel(int x, int y) { return pixels_[static_cast<size_t>(y) * width_ + x]; }
    std::vector<slot_call> calls_of(slot which) const;
    // Number of out-of-bounds or unordered slot calls seen.
    int violations = 0;

    static recording_dc *of(dc_t *dc);

private:
    dc_t dc_{};
    int width_, height_;
    std::vector<color_t> pixels_;
    bool inside(int x, int y) const { return x >= 0 && x < width_ && y >= 0 && y < height_; }
    // Logs the call; false (and a test failure) when it breaks the slots' rules.
    bool log(const slot_call &call, bool ok);
};

}  // namespace zr_test
