// The coverage rasteriser behind every smooth shape.
//
// A shape is a path of closed contours in continuous pixel coordinates
// (pixel (x, y) covers x .. x + 1 by y .. y + 1). The rasteriser clips it to
// a box of the DC, splits the box into tiles that fit a bounded scratch,
// and for each tile runs the path again: every edge adds the exact signed
// area it leaves in each pixel of its rows to a per-row accumulation buffer
// (the cells of FreeType's smooth rasteriser, kept densely as font-rs keeps
// them), and a sweep turns the running sums into coverage under the fill
// rule and hands them out as runs, left to right, row by row.
//
// Edges are clipped before any work: parts above or below a tile are
// dropped, parts right of it are dropped (the sweep stops at the tile's
// right edge), parts left of it become vertical edges on its left side,
// which keeps their winding. Curves are flattened only where their pieces
// can reach the tile, so a shape far outside costs nothing and a huge one
// costs what its visible part costs. Coordinates are doubles until they are
// inside a tile, then 24.8 fixed point; sums are kept modulo 2^32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zr::raster {

enum class fill_rule : std::uint8_t { nonzero, evenodd };

// Pixels x0 .. x1 - 1 by y0 .. y1 - 1.
struct pixel_box {
    int x0, y0, x1, y1;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
};

// Where the coverage goes. Rows whose coverage repeats (the straight sides
// of a shape) come as one call for all of them.
class span_sink {
public:
    // n coverage bytes (0 .. 255) for pixels x .. x + n - 1 of rows y ..
    // y + rows - 1, the same bytes for each row.
    virtual void coverage(int x, int y, const std::uint8_t *cov, int n, int rows) = 0;
    // Full coverage over pixels x .. x + n - 1 of rows y .. y + rows - 1.
    virtual void solid(int x, int y, int n, int rows) = 0;

protected:
    ~span_sink() = default;
};

class accumulator;

// What a shape draws its contours on. Each move_to starts a contour and
// closes the one before; every contour is closed by a straight line back
// to its start.
class path_sink {
public:
    explicit path_sink(accumulator &acc);
    void move_to(double x, double y);
    void line_to(double x, double y);
    void close();
    // An arc of the ellipse about (cx, cy) with radii rx, ry > 0, from
    // parameter t0 to t1 (radians; the point at t is cx + rx cos t,
    // cy + ry sin t, so t grows clockwise on the screen), each point moved
    // `offset` along the outward normal: an offset curve for strokes. The
    // contour goes on with a line to the arc's first point. Flattened to
    // within raster::tolerance, balanced on both sides of the curve.
    void arc(double cx, double cy, double rx, double ry, double t0, double t1, double offset);

private:
    struct vertex {
        double x, y;
        bool inside;  // in the tile: fx, fy hold it in the tile's fixed point
        int fx, fy;
    };
    vertex vertex_at(double x, double y) const;
    void edge_to(const vertex &a, const vertex &b);
    void segment(double x0, double y0, double x1, double y1);
    void arc_pieces(const struct arc_plan &a, std::int64_t i, std::int64_t j);
    void arc_steps(const struct arc_plan &a, std::int64_t i, std::int64_t j, double c, double s);
    accumulator &acc_;
    bool fast_;  // edges inside the tile skip the clipping (off with the plain path)
    vertex start_{}, at_{};
    bool open_ = false;
};

// Largest distance between a flattened curve and the curve itself, in pixels.
inline constexpr double tolerance = 1.0 / 128;

// A path: called once for every tile with a sink clipped to that tile.
struct path_ref {
    const void *context;
    void (*draw)(const void *context, path_sink &sink);
    template <class F>
    static path_ref of(const F &f) {
        return {&f, [](const void *c, path_sink &s) { (*static_cast<const F *>(c))(s); }};
    }
};

// The per-DC scratch: the accumulation buffer (all zero between calls),
// the bits of the blocks each row touched and a row of coverage. It grows
// to what a tile needs, never past max_cells.
struct scratch {
    std::vector<std::uint32_t> acc;
    std::vector<std::uint64_t> touched;
    std::vector<std::uint8_t> row;
};

// Cells of the accumulation buffer one DC keeps at most (4 bytes each).
inline constexpr std::size_t max_cells = std::size_t{1} << 18;
// Widest tile, in pixels.
inline constexpr int max_tile_width = 4096;

// Rasterises the path over the pixels of box (already inside the DC) and
// hands the coverage to out. With threshold, coverage of half a pixel or
// more counts as full and anything less as none (shapes without
// anti-aliasing). Throws std::bad_alloc when the scratch cannot grow.
void fill(scratch &s, pixel_box box, fill_rule rule, bool threshold, path_ref path, span_sink &out);

// The sum of a whole pixel in the accumulation buffer, and the pixels of a
// touched block.
inline constexpr std::uint32_t full = 1u << 17;
inline constexpr int block = 8;

// The coverage of one pixel from its running sum, and of a block of 8 from
// their buffer entries and the sum before them: the block's coverage goes to
// out, its entries become 0, and the sum after it is returned. The sweep
// takes the block form; the one-pixel form states what it must compute.
template <fill_rule Rule, bool Threshold>
std::uint8_t coverage_of(std::uint32_t sum);
template <fill_rule Rule, bool Threshold>
std::uint32_t block_coverage(std::uint32_t *acc, std::uint8_t *out, std::uint32_t sum);

// Where the box of a shape, in continuous coordinates, meets the DC's
// width x height pixels: every pixel it may touch. Empty when outside.
pixel_box visible_box(double x0, double y0, double x1, double y1, int width, int height);

}  // namespace zr::raster
