#include "pictures.hpp"

#include <algorithm>
#include <cmath>

namespace bmpgen {
namespace {

constexpr double pi = 3.14159265358979323846;

struct colour {
    double r, g, b;
};

double clamp01(double v) { return v < 0 ? 0 : v > 1 ? 1 : v; }

colour mix(colour a, colour b, double t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

rgb to_rgb(colour c) {
    auto channel = [](double v) { return static_cast<std::uint8_t>(clamp01(v / 255) * 255 + 0.5); };
    return {channel(c.r), channel(c.g), channel(c.b)};
}

// Hue in turns (0 red, 1/3 green, 2/3 blue), saturation and value in 0..1.
colour hsv(double hue, double s, double v) {
    const double h6 = (hue - std::floor(hue)) * 6;
    const int sector = std::min(static_cast<int>(h6), 5);
    const double f = h6 - sector;
    const double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    const colour table[6] = {{v, t, p}, {q, v, p}, {p, v, t}, {p, q, v}, {t, p, v}, {v, p, q}};
    const colour c = table[sector];
    return {c.r * 255, c.g * 255, c.b * 255};
}

// Angle of (dx, dy) in turns, counter-clockwise from the positive x axis,
// from a polynomial arctangent (error below 0.004 radians) instead of the
// maths library's, whose last bits may differ between systems.
double angle_turns(double dx, double dy) {
    const double ax = std::fabs(dx), ay = std::fabs(dy);
    if (ax == 0 && ay == 0) return 0;
    auto atan01 = [](double z) { return z * (pi / 4) + 0.273 * z * (1 - z); };
    double a = ax >= ay ? atan01(ay / ax) : pi / 2 - atan01(ax / ay);
    if (dx < 0) a = pi - a;
    if (dy < 0) a = 2 * pi - a;
    return a / (2 * pi);
}

// 1 inside a disc of radius r, 0 outside, a one-pixel ramp at the edge.
double disc_cover(double distance, double r) { return clamp01(r - distance + 0.5); }

// A smooth bump of height 1 at c falling to 0 at c +- half_width.
double bump(double x, double c, double half_width) {
    const double t = (x - c) / half_width;
    const double u = std::max(0.0, 1 - t * t);
    return u * u;
}

// ---- the pictures --------------------------------------------------------

// A hue-saturation wheel on a dark gradient, with a light ring around it.
image wheel(int w, int h) {
    image img(w, h);
    const double cx = w / 2.0, cy = h / 2.0, r = 0.42 * std::min(w, h);
    for (int y = 0; y < h; ++y) {
        const colour bg = mix({34, 38, 56}, {10, 12, 20}, (y + 0.5) / h);
        for (int x = 0; x < w; ++x) {
            const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
            const double d = std::sqrt(dx * dx + dy * dy);
            const colour hue = hsv(angle_turns(dx, -dy), clamp01(d / r), 1);
            colour c = mix(bg, hue, disc_cover(d, r));
            c = mix(c, {210, 214, 226}, clamp01(1.25 - std::fabs(d - (r + 4))));
            img.at(x, y) = to_rgb(c);
        }
    }
    return img;
}

// Evening sky over water, a setting sun, far and near hills.
image landscape(int w, int h) {
    image img(w, h);
    const double horizon = 0.62 * h;
    const double sun_x = 0.68 * w, sun_y = 0.50 * h, sun_r = 0.13 * std::min(w, h);
    auto sky = [&](double y) {
        const double t = clamp01(y / horizon);
        return t < 0.6 ? mix({24, 36, 96}, {150, 90, 140}, t / 0.6)
                       : mix({150, 90, 140}, {252, 176, 96}, (t - 0.6) / 0.4);
    };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            const double far_top =
                horizon - h * (0.10 * bump(px, 0.22 * w, 0.30 * w) + 0.07 * bump(px, 0.85 * w, 0.25 * w));
            const double near_top = 0.82 * h - h * 0.16 * bump(px, 0.55 * w, 0.45 * w);
            colour c;
            if (py < horizon) {
                c = sky(py);
                const double dx = px - sun_x, dy = py - sun_y;
                const double d = std::sqrt(dx * dx + dy * dy);
                c = mix(c, {255, 210, 140}, 0.45 * clamp01(1 - (d - sun_r) / (1.2 * sun_r)));
                c = mix(c, {255, 238, 176}, disc_cover(d, sun_r));
            } else {
                // Water mirrors the sky, darker with depth.
                c = mix(sky(2 * horizon - py), {16, 34, 70}, 0.35 + 0.5 * clamp01((py - horizon) / (h - horizon)));
            }
            c = mix(c, {92, 60, 110}, clamp01(py - far_top + 0.5) * (py < horizon + 1 ? 1 : 0));
            c = mix(c, mix({40, 92, 64}, {14, 40, 30}, clamp01((py - near_top) / (0.3 * h))),
                    clamp01(py - near_top + 0.5));
            img.at(x, y) = to_rgb(c);
        }
    }
    return img;
}

// Hue from left to right, white above and black below the full colours,
// and a grey ramp along the bottom.
image gradient(int w, int h) {
    image img(w, h);
    const int field = std::max(1, h * 5 / 6);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            colour c;
            if (y < field) {
                const double v = (y + 0.5) / field;
                c = v < 0.5 ? hsv((x + 0.5) / w, 2 * v, 1) : hsv((x + 0.5) / w, 1, 1 - (v - 0.5) * 1.8);
            } else if (y < field + 2) {
                c = {0, 0, 0};
            } else {
                const double g = 255.0 * x / std::max(1, w - 1);
                c = {g, g, g};
            }
            img.at(x, y) = to_rgb(c);
        }
    }
    return img;
}

// Flat shapes in the sixteen VGA colours, with drop shadows, on a checkerboard.
image tiles(int w, int h) {
    image img(w, h);
    constexpr rgb navy{0, 0, 128}, black{0, 0, 0};
    constexpr rgb colours[8] = {{255, 0, 0},   {255, 255, 0},   {0, 255, 0},     {0, 255, 255},
                                {255, 0, 255}, {255, 255, 255}, {192, 192, 192}, {0, 128, 128}};
    const int cell = std::max(2, std::min(w, h) / 10);
    const double col_w = w / 4.0, row_h = h / 2.0, r = 0.38 * std::min(col_w, row_h);
    // Whether shape k (0..7) covers (px, py); the kinds disc, diamond, square and
    // ring cycle along the first row and start one later on the second.
    auto inside = [&](int k, double px, double py) {
        const double dx = px - (k % 4 + 0.5) * col_w, dy = py - (k / 4 + 0.5) * row_h;
        const double d = std::sqrt(dx * dx + dy * dy);
        switch ((k + k / 4) % 4) {
            case 0: return d <= r;
            case 1: return std::fabs(dx) + std::fabs(dy) <= r;
            case 2: return std::max(std::fabs(dx), std::fabs(dy)) <= 0.8 * r;
            default: return d <= r && d >= 0.55 * r;
        }
    };
    const double shadow = std::max(1.0, r / 6);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            const int k = std::min(3, static_cast<int>(px / col_w)) + 4 * std::min(1, static_cast<int>(py / row_h));
            rgb c = (x / cell + y / cell) % 2 ? navy : black;
            if (inside(k, px - shadow, py - shadow)) c = black;
            if (inside(k, px, py)) c = colours[k];
            img.at(x, y) = c;
        }
    }
    return img;
}

// A radial brightness field with concentric rings that stand out against it.
image rings(int w, int h) {
    image img(w, h);
    const double cx = w / 2.0, cy = h / 2.0;
    const double reach = std::sqrt(cx * cx + cy * cy), step = 0.16 * std::min(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
            const double d = std::sqrt(dx * dx + dy * dy);
            const double t = 1 - d / reach;
            double g = 255 * t * t;
            // Ring lines on every step, drawn in the opposite of the brightness under them.
            const double k = std::floor(d / step + 0.5);
            if (k >= 1 && std::fabs(d - k * step) < 1.2) g = g > 110 ? 0 : 255;
            img.at(x, y) = to_rgb({g, g, g});
        }
    }
    return img;
}

struct named {
    const char *name;
    image (*make)(int, int);
};

constexpr named pictures[] = {
    {"wheel", wheel}, {"landscape", landscape}, {"gradient", gradient}, {"tiles", tiles}, {"rings", rings},
};

}  // namespace

const std::vector<std::string> &picture_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const named &p : pictures) v.emplace_back(p.name);
        return v;
    }();
    return names;
}

image make_picture(const std::string &name, int width, int height) {
    for (const named &p : pictures)
        if (name == p.name) return p.make(width, height);
    return {};
}

}  // namespace bmpgen
