// Coverage onto a DC (paint.hpp). The only unit of the smooth shapes that
// calls into the fast-path table: the constructor looks the rows up once
// per shape, and each run takes one of them or the plain path.
#include "paint.hpp"

#include "pixel_format.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace zr::paint {

namespace {

// Full coverage for solid runs of a colour that must still be blended.
constexpr auto all_covered = [] {
    std::array<std::uint8_t, raster::max_tile_width> a{};
    a.fill(255);
    return a;
}();

std::uint8_t mix(std::uint8_t a, std::uint8_t b, int num, int den) {
    return static_cast<std::uint8_t>((a * (den - num) + b * num + den / 2) / den);
}

}  // namespace

bool gradient::set(int k, int ax, int ay, int bx, int by, const zr_gradient_stop_t *given, int count) {
    kind = ZR_GRADIENT_NONE;
    if ((k != ZR_GRADIENT_LINEAR && k != ZR_GRADIENT_RADIAL) || given == nullptr || count < 2 ||
        count > ZR_GRADIENT_MAX_STOPS)
        return false;
    kind = k;
    x0 = ax;
    y0 = ay;
    x1 = bx;
    y1 = by;
    const auto same = [](const zr_gradient_stop_t &a, const zr_gradient_stop_t &b) {
        return a.position == b.position && std::memcmp(&a.color, &b.color, sizeof a.color) == 0;
    };
    if (count == stop_count && std::equal(given, given + count, stops, same)) return true;
    stop_count = 0;
    std::copy(given, given + count, stops);
    zr_gradient_stop_t sorted[ZR_GRADIENT_MAX_STOPS];
    std::copy(given, given + count, sorted);
    for (int i = 0; i < count; ++i) sorted[i].position = std::clamp(sorted[i].position, 0, 255);
    std::stable_sort(sorted, sorted + count, [](const auto &a, const auto &b) { return a.position < b.position; });
    int next = 0;  // the first stop past the step
    for (int i = 0; i < 256; ++i) {
        while (next < count && sorted[next].position <= i) ++next;
        if (next == 0) {
            steps[i] = sorted[0].color;
        } else if (next == count) {
            steps[i] = sorted[count - 1].color;
        } else {
            const zr_gradient_stop_t &a = sorted[next - 1], &b = sorted[next];
            const int den = b.position - a.position, num = i - a.position;
            steps[i] = {mix(a.color.red, b.color.red, num, den), mix(a.color.green, b.color.green, num, den),
                        mix(a.color.blue, b.color.blue, num, den), mix(a.color.alpha, b.color.alpha, num, den)};
        }
    }
    any_visible = std::any_of(std::begin(steps), std::end(steps), [](color_t c) { return c.alpha != 0; });
    stop_count = count;
    return true;
}

bool visible(color_t colour, const gradient *g) {
    if (g == nullptr) return colour.alpha != 0;
    return g->any_visible;
}

painter::painter(dc_t *dc, color_t colour, const gradient *g, scratch &rows)
    : dc_(dc), colour_(colour), g_(g), rows_(rows) {
    const pixel_format f = format_of(dc);
    if (g == nullptr) {
        glyph_ = fast_glyph_for(dc);
        if (const fast_path *p = find_fast_path(fast_op::fill, pixel_format::none, f); p != nullptr && colour.alpha == 255)
            fill_ = p->fn.fill;
    } else if (const fast_path *p = find_fast_path(fast_op::blend, pixel_format::bgra32, f); p != nullptr) {
        blend_ = p->fn.blit;
    }
    if (g != nullptr) {
        along_.dx = g->x1 - g->x0;
        along_.dy = g->y1 - g->y0;
        along_.length2 = along_.dx * along_.dx + along_.dy * along_.dy;
        if (along_.length2 != 0) {
            along_.per = along_.dx / along_.length2 * (255.0 * 65536);
            along_.scale = static_cast<float>(255 / std::sqrt(along_.length2));
        }
    }
}

// The plain path: the rule pixel by pixel through the DC's slots.
void painter::plain_pixel(int x, int y, color_t c, std::uint8_t cov) {
    const auto a = static_cast<unsigned char>(coverage_alpha(cov, c.alpha));
    if (a == 0) return;
    if (a == 255) return dc_->set_pixel(dc_, x, y, c);
    color_t back{0, 0, 0, 255};
    dc_->get_pixel(dc_, x, y, &back);
    dc_->set_pixel(dc_, x, y, blend_color(color_t{c.red, c.green, c.blue, a}, back));
}

void painter::coverage(int x, int y, const std::uint8_t *cov, int n, int rows) {
    if (g_ != nullptr) {
        for (int i = 0; i < rows; ++i) gradient_row(x, y + i, cov, n);
    } else if (glyph_ != nullptr) {
        glyph_(dc_, coverage_rect{cov, 0, x, y, n, rows, 0}, colour_);
    } else {
        for (int i = 0; i < rows; ++i)
            for (int k = 0; k < n; ++k) plain_pixel(x + k, y + i, colour_, cov[k]);
    }
}

void painter::solid(int x, int y, int n, int rows) {
    if (fill_ == nullptr) return coverage(x, y, all_covered.data(), n, rows);
    if (x == held_.x && n == held_.n && y == held_.bottom + 1) {
        held_.bottom = y + rows - 1;
        return;
    }
    fill_held();
    held_ = {x, n, y, y + rows - 1};
}

void painter::fill_held() {
    if (held_.bottom >= held_.top) fill_(dc_, held_.x, held_.top, held_.x + held_.n - 1, held_.bottom, colour_);
}

painter::~painter() { fill_held(); }

// A run of gradient pixels: each pixel's colour, under its effective alpha,
// as a row of a 32-bit alpha source, then blended as zr_bitblt blends one.
void painter::gradient_row(int x, int y, const std::uint8_t *cov, int n) {
    const gradient &g = *g_;
    if (rows_.steps.size() < static_cast<std::size_t>(n)) rows_.steps.resize(static_cast<std::size_t>(n));
    std::uint8_t *step = rows_.steps.data();
    const double dx = along_.dx, dy = along_.dy, length2 = along_.length2;
    const double px = x - g.x0, py = y - g.y0;
    if (length2 == 0) {
        std::memset(step, 255, static_cast<std::size_t>(n));
    } else if (g.kind == ZR_GRADIENT_LINEAR) {
        // The step grows by the same amount from pixel to pixel: in 48.16
        // fixed point, with the rounding folded into the start.
        constexpr double unit = 255.0 * 65536;
        const double start = (px * dx + py * dy) / length2 * unit + 32768, per = along_.per;
        const double limit = 1e15;  // far beyond 255 steps, inside 64 bits
        const auto first = static_cast<std::int64_t>(std::clamp(start, -limit, limit));
        const auto d = static_cast<std::int64_t>(std::clamp(per, -limit / 65536, limit / 65536));
        for (int i = 0; i < n; ++i) step[i] = static_cast<std::uint8_t>(std::clamp<std::int64_t>((first + i * d) >> 16, 0, 255));
    } else {
        const float scale = along_.scale, fy = static_cast<float>(py * py);
        const auto fx = static_cast<float>(px);
        for (int i = 0; i < n; ++i) {
            const float t = std::sqrt((fx + static_cast<float>(i)) * (fx + static_cast<float>(i)) + fy) * scale + 0.5f;
            step[i] = static_cast<std::uint8_t>(std::min(t, 255.0f));
        }
    }
    if (blend_ == nullptr) {
        for (int i = 0; i < n; ++i) plain_pixel(x + i, y, g.steps[step[i]], cov[i]);
        return;
    }
    if (rows_.colours.size() < static_cast<std::size_t>(n) * 4) rows_.colours.resize(static_cast<std::size_t>(n) * 4);
    std::uint8_t *p = rows_.colours.data();
    for (int i = 0; i < n; ++i, p += 4) {
        const color_t c = g.steps[step[i]];
        p[0] = c.blue;
        p[1] = c.green;
        p[2] = c.red;
        p[3] = static_cast<std::uint8_t>(coverage_alpha(cov[i], c.alpha));
    }
    // The row as a one-row alpha bitmap; the blend row reads its memory only.
    dc_t source{};
    source.dc_type = DC_TYPE_ALPHA;
    source.width = n;
    source.height = 1;
    source.bytes_per_line = n * 4;
    source.mapped = rows_.colours.data();
    blend_(dc_, &source, blit_rect{x, y, 0, 0, n, 1});
}

}  // namespace zr::paint
