// Screen and buffer DCs and the slots of the screen formats, instantiated
// from each format's traits. Row y of every framebuffer DC starts at
// mapped + y * bytes_per_line.
#include "fb_dc.hpp"

#include "display.hpp"
#include "messages.hpp"
#include "pixel_format.hpp"
#include "smooth.hpp"
#include "zr_internal.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zr {
namespace {

template <class Fmt>
unsigned char *pixel_at(dc_t *dc, int x, int y) {
    return fb_pixel(dc, x, y, Fmt::bytes);
}

// One operation set per format; the slots are instantiated from it.
template <class Fmt>
struct fb_ops {
    static void set_pixel(dc_t *dc, int x, int y, color_t c) {
        Fmt::store(pixel_at<Fmt>(dc, x, y), Fmt::encode(c));
    }
    static void get_pixel(dc_t *dc, int x, int y, color_t *out) {
        Fmt::decode(Fmt::load(pixel_at<Fmt>(dc, x, y)), out);
    }
    static void hline(dc_t *dc, int x1, int x2, int y, color_t c) {
        if (x1 > x2) return;
        fill_pixels<Fmt>(pixel_at<Fmt>(dc, x1, y), static_cast<std::size_t>(x2 - x1) + 1,
                         Fmt::encode(c));
    }
    static void vline(dc_t *dc, int x, int y1, int y2, color_t c) {
        if (y1 > y2) return;
        const auto v = Fmt::encode(c);
        unsigned char *p = pixel_at<Fmt>(dc, x, y1);
        for (int y = y1; y <= y2; ++y, p += dc->bytes_per_line) Fmt::store(p, v);
    }
    // Fills the width pixels of every row; row padding is left alone.
    static void clear(dc_t *dc, color_t c) {
        if (dc->width <= 0 || dc->height <= 0) return;
        const auto v = Fmt::encode(c);
        const auto row = static_cast<std::size_t>(dc->width) * Fmt::bytes;
        if (static_cast<std::size_t>(dc->bytes_per_line) == row) {
            fill_pixels<Fmt>(dc->mapped, static_cast<std::size_t>(dc->width) * dc->height, v);
            return;
        }
        for (int y = 0; y < dc->height; ++y)
            fill_pixels<Fmt>(pixel_at<Fmt>(dc, 0, y), static_cast<std::size_t>(dc->width), v);
    }
};

// The slots of each screen format.
template <class Fmt>
constexpr slot_family family_of{fb_ops<Fmt>::clear, fb_ops<Fmt>::get_pixel, fb_ops<Fmt>::set_pixel,
                                fb_ops<Fmt>::hline, fb_ops<Fmt>::vline};

const slot_family *screen_family(pixel_format f) {
    const slot_family *found = nullptr;
    screen_formats::each([&]<class Fmt>() {
        if (Fmt::id == f) found = &family_of<Fmt>;
    });
    return found;
}

int colors_of(pixel_format f) {
    int colors = 0;
    screen_formats::each([&]<class Fmt>() {
        if (Fmt::id == f) colors = Fmt::colors;
    });
    return colors;
}

// The format set by the display layer; none: the default of the depth.
pixel_format chosen_screen_format = pixel_format::none;

// Placeholder families of the depths that are not drawn yet: each operation
// prints its fixed lines and changes nothing.
void todo(dc_t *) { print_line(msg::todo_fb); }
void todo_clear(dc_t *dc, color_t) { todo(dc); }
void todo_get_pixel(dc_t *dc, int, int, color_t *) { todo(dc); }
void todo_set_pixel(dc_t *dc, int, int, color_t) { todo(dc); }
void todo_vline(dc_t *dc, int, int, int, color_t) { todo(dc); }
void b1_hline(dc_t *, int, int, int, color_t) {
    print_line(msg::todo_fb_b1_hline);
    print_line(msg::todo_fb);
}
void b4_hline(dc_t *, int, int, int, color_t) {
    print_line(msg::todo_fb_b4_hline);
    print_line(msg::todo_fb);
}
void b8_hline(dc_t *, int, int, int, color_t) {
    print_line(msg::todo_fb_b8_hline);
    print_line(msg::todo_fb);
}
void b24_hline(dc_t *, int, int, int, color_t) { print_line(msg::todo_fb_b24_hline); }

using family = slot_family;

constexpr family placeholder(void (*hline)(dc_t *, int, int, int, color_t)) {
    return {todo_clear, todo_get_pixel, todo_set_pixel, hline, todo_vline};
}

// The family of a depth: its default screen format, or a placeholder.
const family *family_for(int colors) {
    static constexpr family fam1 = placeholder(b1_hline);
    static constexpr family fam4 = placeholder(b4_hline);
    static constexpr family fam8 = placeholder(b8_hline);
    static constexpr family fam24 = placeholder(b24_hline);
    switch (colors) {
        case 1: return &fam1;
        case 4: return &fam4;
        case 8: return &fam8;
        case 24: return &fam24;
        default: return screen_family(default_screen_format(colors));
    }
}

// The slots of the open screen: its format, or the placeholder of its depth.
bool install_screen_slots(dc_t *dc) {
    const pixel_format f = screen_format();
    return f != pixel_format::none ? install_screen_format(dc, f) : set_virtual_func(dc, zr_fb.colors);
}

// Screen DCs are registered with the display layer, which moves them to
// the buffer the screen is drawn into whenever that changes.
void release_screen_dc(dc_t *dc) {
    unregister_screen_dc(dc);
    std::free(dc);
}

void release_buffer_dc(dc_t *dc) {
    if (dc == nullptr) return;
    std::free(dc->mapped);
    std::free(dc);
}

// Row size of a buffer DC by depth, in 64 bits.
std::int64_t buffer_row_bytes(int colors, std::int64_t width) {
    switch (colors) {
        case 1: return width / 8 + (width % 8 != 0 ? 1 : 0);
        case 4: return width / 2 + (width % 2 != 0 ? 1 : 0);
        case 15:
        case 16: return 2 * width;
        case 24: return 3 * width;
        case 32: return 4 * width;
        default: return width;
    }
}

dc_t *new_record() {
    auto *dc = static_cast<dc_t *>(std::calloc(1, sizeof(dc_t)));
    if (dc == nullptr) zr_error_code = ERR_OUT_OF_MEMORY;
    return dc;
}

}  // namespace

bool set_virtual_func(dc_t *dc, int colors) {
    const family *f = family_for(colors);
    if (f == nullptr) return false;
    f->install(dc);
    return true;
}

bool install_screen_format(dc_t *dc, pixel_format f) {
    const family *fam = screen_family(f);
    if (fam == nullptr) return false;
    fam->install(dc);
    return true;
}

pixel_format fb_format_of(const dc_t *dc) {
    return screen_formats::find([&]<class Fmt>() { return family_of<Fmt>.carried_by(dc); });
}

void set_screen_format(pixel_format f) { chosen_screen_format = f; }

pixel_format screen_format() {
    const pixel_format f = chosen_screen_format != pixel_format::none ? chosen_screen_format : display_format();
    if (f != pixel_format::none && colors_of(f) == zr_fb.colors) return f;
    return default_screen_format(zr_fb.colors);
}

}  // namespace zr

using namespace zr;

extern "C" {

ZR_API dc_t *zr_get_screen_dc(void) {
    // Never a DC over an unmapped framebuffer.
    if (zr_fb.mapped == nullptr || zr_fb.mapped == static_cast<unsigned char *>(MAP_FAILED))
        return nullptr;
    dc_t *dc = new_record();
    if (dc == nullptr) return nullptr;
    dc->dc_type = DC_TYPE_SCREEN;
    dc->width = zr_fb.width;
    dc->height = zr_fb.height;
    dc->dots = zr_fb.dots;
    dc->bytes = zr_fb.bytes;
    dc->colors = zr_fb.colors;
    dc->bytes_per_line = zr_fb.bytes_per_line;
    dc->bits_per_pixel = zr_fb.bits_per_pixel;
    dc->mapped = zr_fb.mapped;
    reset_drawing_state(dc);
    dc->release_dc = release_screen_dc;
    if (!install_screen_slots(dc)) {
        dc->release_dc(dc);
        return nullptr;
    }
    if (!register_screen_dc(dc)) {
        std::free(dc);
        zr_error_code = ERR_OUT_OF_MEMORY;
        return nullptr;
    }
    return dc;
}

ZR_API dc_t *zr_get_buffer_dc(int width, int height) {
    if (width < 0) width = zr_fb.width;
    if (height < 0) height = zr_fb.height;
    // Both sizes are now 0 .. INT_MAX, so a row that fits an int times the
    // height fits 64 bits; the row is tested before it is multiplied.
    const std::int64_t row = buffer_row_bytes(zr_fb.colors, width);
    if (row > INT32_MAX || row * height > INT32_MAX || std::int64_t{width} * height > INT32_MAX) {
        zr_error_code = ERR_OUT_OF_MEMORY;
        return nullptr;
    }
    const std::int64_t bytes = row * height;
    const std::int64_t dots = std::int64_t{width} * height;
    dc_t *dc = new_record();
    if (dc == nullptr) return nullptr;
    dc->dc_type = DC_TYPE_SCREEN;
    dc->width = width;
    dc->height = height;
    dc->dots = static_cast<int>(dots);
    dc->colors = zr_fb.colors;
    dc->bits_per_pixel = zr_fb.bits_per_pixel;
    reset_drawing_state(dc);
    dc->release_dc = release_buffer_dc;
    dc->bytes_per_line = static_cast<int>(row);
    dc->bytes = static_cast<int>(bytes);
    // At least one byte, so that an empty buffer still owns a real block.
    dc->mapped = static_cast<unsigned char *>(std::malloc(bytes > 0 ? bytes : 1));
    if (dc->mapped == nullptr) {
        dc->release_dc(dc);
        zr_error_code = ERR_OUT_OF_MEMORY;
        return nullptr;
    }
    if (!install_screen_slots(dc)) {
        dc->release_dc(dc);
        return nullptr;
    }
    return dc;
}

ZR_API void zr_release_dc(dc_t *dc) {
    if (dc == nullptr || dc->release_dc == nullptr) return;
    forget_smooth_state(dc);
    dc->release_dc(dc);
}

ZR_API void zr_to_screen_dc(dc_t *dst, dc_t *src) {
    if (dst == nullptr || src == nullptr || dst->mapped == nullptr || src->mapped == nullptr) return;
    if (dst->bytes <= 0 || src->bytes <= 0) return;
    // Never outside either DC's memory: one block when the rows match,
    // otherwise the common part of each row.
    if (dst->bytes_per_line == src->bytes_per_line) {
        move_bytes(dst->mapped, src->mapped,
                   static_cast<std::size_t>(dst->bytes < src->bytes ? dst->bytes : src->bytes));
        return;
    }
    if (dst->bytes_per_line <= 0 || src->bytes_per_line <= 0) return;
    // The smaller row over the smaller height; a row count is also bounded by
    // what the memory holds, in case a DC's height and bytes disagree.
    const int row = std::min(dst->bytes_per_line, src->bytes_per_line);
    const int rows = std::min({dst->height, src->height, dst->bytes / dst->bytes_per_line,
                               src->bytes / src->bytes_per_line});
    for (int y = 0; y < rows; ++y)
        std::memmove(dst->mapped + static_cast<std::ptrdiff_t>(y) * dst->bytes_per_line,
                     src->mapped + static_cast<std::ptrdiff_t>(y) * src->bytes_per_line,
                     static_cast<std::size_t>(row));
}

}  // extern "C"
