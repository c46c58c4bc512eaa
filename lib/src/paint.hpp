// Coverage onto a DC: a colour or a gradient blended by the library's one
// rule (text.cpp's): coverage c under a colour of alpha a gives the
// effective alpha round(c * a / 255); 0 leaves the pixel, 255 writes the
// colour, anything between blends it over the pixel as the block transfers
// do. Through the fast-path table's rows for the DC's format where it has
// them (the glyph rows for a colour, the fill row for runs of an opaque
// colour, the alpha-blend row for a gradient), else pixel by pixel through
// the DC's get_pixel and set_pixel; both write the same bytes.
#pragma once

#include "fast_paths.hpp"
#include "raster.hpp"
#include "zr.h"

#include <cstdint>
#include <vector>

namespace zr::paint {

// A gradient brush: a colour for each of 256 steps from its start (0) to
// its end (255), padded with the end colours beyond.
struct gradient {
    int kind = ZR_GRADIENT_NONE;
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // pixel coordinates of the start and the end
    color_t steps[256]{};
    bool any_visible = false;  // some step has alpha
    // The stops the steps were made from, so that the same stops at a new
    // place cost no new steps.
    zr_gradient_stop_t stops[ZR_GRADIENT_MAX_STOPS]{};
    int stop_count = 0;

    // Builds the steps from count stops (positions 0 .. 255, in any order);
    // false, and no gradient, for a kind it does not know or fewer than two
    // stops or more than ZR_GRADIENT_MAX_STOPS.
    bool set(int kind, int x0, int y0, int x1, int y1, const zr_gradient_stop_t *stops, int count);
};

// True when a fill in this colour or gradient can change a pixel.
bool visible(color_t colour, const gradient *g);

// Rows a DC keeps for its gradients: the steps and the pixels of a run.
struct scratch {
    std::vector<std::uint8_t> steps, colours;
};

class painter final : public raster::span_sink {
public:
    // g null: the colour; otherwise the gradient.
    painter(dc_t *dc, color_t colour, const gradient *g, scratch &rows);
    painter(const painter &) = delete;
    painter &operator=(const painter &) = delete;
    // Fills what it still holds back.
    ~painter();
    void coverage(int x, int y, const std::uint8_t *cov, int n, int rows) override;
    void solid(int x, int y, int n, int rows) override;

private:
    // The rule at one pixel through the DC's slots, colour c under coverage cov.
    void plain_pixel(int x, int y, color_t c, std::uint8_t cov);
    void gradient_row(int x, int y, const std::uint8_t *cov, int n);
    void fill_held();

    dc_t *dc_;
    color_t colour_;
    const gradient *g_;
    scratch &rows_;
    // The rows of the fast-path table for this DC, null where it has none.
    glyph_fn glyph_ = nullptr;
    fill_fn fill_ = nullptr;
    blit_fn blend_ = nullptr;
    // What every row of the gradient shares: its direction, squared length,
    // and the step's growth per pixel (linear) or per pixel of distance
    // (radial).
    struct {
        double dx = 0, dy = 0, length2 = 0, per = 0;
        float scale = 0;
    } along_;
    // Solid runs of the fill row are held back while the next rows' run
    // lies under the last one: one fill for a shape's whole inside. A
    // shape's runs never overlap, so the order of their writes is free.
    struct {
        int x = 0, n = 0, top = 0, bottom = -1;
    } held_;
};

}  // namespace zr::paint
