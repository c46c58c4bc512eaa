// Declarations shared by the library's translation units.
#pragma once

#include "zr.h"

#include <cstdint>

namespace zr {

inline constexpr color_t opaque_white{255, 255, 255, 255};
inline constexpr color_t opaque_black{0, 0, 0, 255};

// Gives a freshly made DC its default drawing state.
inline void reset_drawing_state(dc_t *dc) {
    dc->coor_x = 0;
    dc->coor_y = 0;
    dc->pen_color = opaque_white;
    dc->brush_color = opaque_black;
}

// The five drawing operations of one pixel format, installed together into
// a DC's slots; a DC whose five slots all match carries that format.
struct slot_family {
    void (*clear)(dc_t *, color_t);
    void (*get_pixel)(dc_t *, int, int, color_t *);
    void (*set_pixel)(dc_t *, int, int, color_t);
    void (*hline)(dc_t *, int, int, int, color_t);
    void (*vline)(dc_t *, int, int, int, color_t);

    void install(dc_t *dc) const {
        dc->clear = clear;
        dc->get_pixel = get_pixel;
        dc->set_pixel = set_pixel;
        dc->hline = hline;
        dc->vline = vline;
    }
    bool carried_by(const dc_t *dc) const {
        return dc->clear == clear && dc->get_pixel == get_pixel && dc->set_pixel == set_pixel &&
               dc->hline == hline && dc->vline == vline;
    }
};

// True when fast paths are switched off: every call then takes the plain
// path through the DCs' slots. Set by ZR_PLAIN_PATH=1 in the environment or
// by set_plain_path_forced() (tests).
bool plain_path_forced();
// What a value of ZR_PLAIN_PATH asks for: unset, empty or starting with '0'
// leaves the fast paths on; anything else turns them off.
bool plain_path_requested(const char *value);
void set_plain_path_forced(bool on);

// True when the fast paths may use code written for the running CPU's
// extensions (on x86-64: string stores for large fills, AVX2 row loops);
// never while the plain path is forced. Tests switch it off to run the
// portable code of the same fast paths.
bool cpu_variants_allowed();
void set_cpu_variants_allowed(bool on);

// Writes one fixed line to standard output (puts).
void print_line(const char *text);

}  // namespace zr
