// libFuzzer target: the smooth shapes. The input is a short program of
// drawing calls whose numbers it also gives, most of them at or near the
// ends of the int range. Each program runs on a 16-bit bitmap (the plain
// path) and on DCs of two screen formats over memory of its own (the fast
// rows), anti-aliased or not, so the rasteriser, the clipping, the strokes
// and the painters all meet huge and degenerate shapes.
#include "fb_dc.hpp"
#include "zr.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

class reader {
public:
    reader(const std::uint8_t *p, std::size_t n) : p_(p), n_(n) {}
    bool done() const { return n_ == 0; }
    std::uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::int32_t word() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return static_cast<std::int32_t>(v);
    }
    // A coordinate, a radius or a width: the ends of the range, near them,
    // small, or anything.
    int number() {
        switch (byte() % 8) {
            case 0: return INT_MIN;
            case 1: return INT_MAX;
            case 2: return INT_MIN + byte();
            case 3: return INT_MAX - byte();
            case 4: return static_cast<std::int8_t>(byte());
            case 5: return static_cast<std::int16_t>(word());
            case 6: return byte() % 64;
            default: return word();
        }
    }
    color_t colour() { return color_t{byte(), byte(), byte(), byte()}; }

private:
    const std::uint8_t *p_;
    std::size_t n_;
};

void run(dc_t *dc, const std::uint8_t *data, std::size_t size) {
    reader in(data, size);
    for (int step = 0; step < 48 && !in.done(); ++step) {
        switch (in.byte() % 18) {
            case 0: zr_antialias(dc, in.byte() & 1); break;
            case 1: zr_pen_width(dc, in.byte() % 4 == 0 ? in.number() : in.byte() % 40); break;
            case 2: zr_pen_cap(dc, in.byte() % 4); break;
            case 3: zr_pen_join(dc, in.byte() % 4); break;
            case 4: zr_fill_rule(dc, in.byte() % 3); break;
            case 5: {
                zr_gradient_stop_t stops[5];
                const int count = in.byte() % 6;
                for (int i = 0; i < count; ++i) stops[i] = {in.number(), in.colour()};
                zr_brush_gradient(dc, in.byte() % 4, in.number(), in.number(), in.number(), in.number(), stops, count);
                break;
            }
            case 6: zr_pen_color(dc, in.colour()); break;
            case 7: zr_brush_color(dc, in.colour()); break;
            case 8: zr_line(dc, in.number(), in.number(), in.number(), in.number()); break;
            case 9: zr_line_to(dc, in.number(), in.number()); break;
            case 10: zr_line_subpixel(dc, in.number(), in.number(), in.number(), in.number()); break;
            case 11: zr_circle(dc, in.number(), in.number(), in.number()); break;
            case 12: zr_ellipse(dc, in.number(), in.number(), in.number(), in.number()); break;
            case 13:
                zr_round_rectangle(dc, in.number(), in.number(), in.number(), in.number(), in.number());
                break;
            case 14: zr_arc(dc, in.number(), in.number(), in.number(), in.number(), in.number()); break;
            case 15:
            case 16: {
                zr_point_t points[12];
                const int count = in.byte() % 13;
                for (int i = 0; i < count; ++i) points[i] = {in.number(), in.number()};
                if (step % 2 == 0) {
                    zr_polygon(dc, points, count);
                } else {
                    zr_polygon_subpixel(dc, points, count);
                }
                break;
            }
            default: zr_move_to(dc, in.number(), in.number()); break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    bmp_t *bmp = zr_bmp_create(37, 23, 16, 0);
    if (bmp == nullptr) return 0;
    run(&bmp->dc, data, size);
    zr_bmp_close(bmp);
    for (const zr::pixel_format f : {zr::pixel_format::rgb565, zr::pixel_format::xrgb8888}) {
        const int bytes = f == zr::pixel_format::rgb565 ? 2 : 4;
        std::vector<unsigned char> pixels(static_cast<std::size_t>(41 * 19 * bytes), 0x5A);
        dc_t dc{};
        dc.dc_type = DC_TYPE_SCREEN;
        dc.width = 41;
        dc.height = 19;
        dc.bytes_per_line = 41 * bytes;
        dc.bytes = static_cast<int>(pixels.size());
        dc.mapped = pixels.data();
        dc.pen_color = {255, 255, 255, 255};
        dc.release_dc = [](dc_t *) {};  // the memory is the vector's
        if (!zr::install_screen_format(&dc, f)) return 0;
        run(&dc, data, size);
        zr_release_dc(&dc);
    }
    return 0;
}
