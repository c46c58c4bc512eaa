// What the programs run in the guest share: their options, the display they
// open, and the files by which they and init.sh tell each other where they
// are (--ready FILE: created once the picture is shown; --until FILE: the
// program stops once it exists).
#pragma once

#include "zr.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace guest {

inline void touch(const char *path) {
    if (FILE *f = path != nullptr ? std::fopen(path, "w") : nullptr) std::fclose(f);
}
inline bool exists(const char *path) { return path != nullptr && access(path, F_OK) == 0; }

// A switch adds flag (ZR_INIT_*) and sets *on; an option with a value
// stores it in *value.
struct option {
    const char *name;
    int flag = 0;
    bool *on = nullptr;
    const char **value = nullptr;
};

// Words that are no option go to *rest where one is taken; false, with the
// usage printed, on anything else.
inline bool parse(int argc, char **argv, std::initializer_list<option> options, int *flags, const char *usage,
                  const char **rest = nullptr) {
    for (int i = 1; i < argc; ++i) {
        const option *o = nullptr;
        for (const option &c : options) o = std::strcmp(argv[i], c.name) == 0 ? &c : o;
        if (o != nullptr && o->value == nullptr) {
            *flags |= o->flag;
            if (o->on != nullptr) *o->on = true;
        } else if (o != nullptr && i + 1 < argc) {
            *o->value = argv[++i];
        } else if (o == nullptr && rest != nullptr && argv[i][0] != '-') {
            *rest = argv[i];
        } else {
            std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
            return false;
        }
    }
    return true;
}

// The display on DEVICE (zr_init without flags, as a program written before
// zr_init_ex) and its screen DC; what it granted goes to standard error.
inline dc_t *open_screen(const char *name, const char *device, int flags) {
    if ((flags == 0 ? zr_init(device) : zr_init_ex(device, flags)) != 0) return zr_print_error(name), nullptr;
    dc_t *screen = zr_get_screen_dc();
    if (screen == nullptr) return zr_print_error(name), zr_close(), nullptr;
    zr_display_info_t i{};
    zr_display_info(&i);
    std::fprintf(stderr, "screen %dx%d colors %d bits_per_pixel %d line %d\n", screen->width, screen->height,
                 screen->colors, screen->bits_per_pixel, screen->bytes_per_line);
    std::fprintf(stderr,
                 "display backend %d method %d buffers %d\ndisplay vsync %d paced %d\nconsole %d\nvt_switch %d\n",
                 i.backend, i.method, i.buffers, i.vsync, i.paced, i.console, i.vt_switch);
    if (i.rotation != 0)
        std::fprintf(stderr, "display rotation %d method %d panel %dx%d\n", i.rotation, i.rotation_method,
                     i.panel_width, i.panel_height);
    return screen;
}

}  // namespace guest
