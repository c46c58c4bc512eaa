// zr-session: a program that follows switches of its virtual terminal. It
// shows a fixed picture and keeps presenting; while another terminal has the
// screen it keeps drawing a solid magenta screen and presenting it, which
// must reach nothing; once back it draws its picture again.
//
//   zr-session [--device PATH] [--double] --ready FILE --left FILE --back FILE --until FILE
//
// FILE given to --ready is created after the first picture is shown, --left
// once the program knows it is away (zr_display_info's away, or a present
// returning ERR_SCREEN_AWAY), --back once it is back and has shown its
// picture again. It stops once the FILE given to --until exists. Standard
// error: what the display granted, then one line for each switch and the
// counts of presents. Exit 0 when every present returned 0 or, while away,
// ERR_SCREEN_AWAY.
#include "zr.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

void touch(const char *path) {
    if (FILE *f = std::fopen(path, "w")) std::fclose(f);
}

void sleep_ms(int ms) {
    const timespec t{0, ms * 1000000L};
    nanosleep(&t, nullptr);
}

void draw_picture(dc_t *dc) {
    zr_clear(dc, zr_color(0, 96, 0, 255));
    const struct {
        int x1, y1, x2, y2;
        color_t colour;
    } boxes[] = {
        {100, 100, 299, 249, zr_color(200, 0, 0, 255)},
        {400, 300, 649, 499, zr_color(255, 220, 0, 255)},
        {50, 400, 169, 519, zr_color(0, 64, 255, 255)},
    };
    for (const auto &b : boxes) {
        zr_pen_color(dc, b.colour);
        zr_brush_color(dc, b.colour);
        zr_rectangle(dc, b.x1, b.y1, b.x2, b.y2);
    }
}

bool away() {
    zr_display_info_t info{};
    return zr_display_info(&info) == ERR_NONE && info.away != 0;
}

}  // namespace

int main(int argc, char **argv) {
    const char *device = "/dev/dri/card0";
    const char *ready_path = nullptr, *left_path = nullptr, *back_path = nullptr, *until_path = nullptr;
    int flags = ZR_INIT_CONSOLE;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--device") == 0 && has_value) {
            device = argv[++i];
        } else if (std::strcmp(argv[i], "--double") == 0) {
            flags |= ZR_INIT_DOUBLE_BUFFER;
        } else if (std::strcmp(argv[i], "--ready") == 0 && has_value) {
            ready_path = argv[++i];
        } else if (std::strcmp(argv[i], "--left") == 0 && has_value) {
            left_path = argv[++i];
        } else if (std::strcmp(argv[i], "--back") == 0 && has_value) {
            back_path = argv[++i];
        } else if (std::strcmp(argv[i], "--until") == 0 && has_value) {
            until_path = argv[++i];
        } else {
            ready_path = nullptr;
            break;
        }
    }
    if (ready_path == nullptr || left_path == nullptr || back_path == nullptr || until_path == nullptr) {
        std::fprintf(stderr,
                     "usage: %s [--device PATH] [--double] --ready FILE --left FILE --back FILE --until FILE\n",
                     argv[0]);
        return 2;
    }
    if (zr_init_ex(device, flags) != 0) {
        zr_print_error("zr-session");
        return 1;
    }
    dc_t *screen = zr_get_screen_dc();
    if (screen == nullptr) {
        zr_print_error("zr-session");
        zr_close();
        return 1;
    }
    zr_display_info_t info{};
    zr_display_info(&info);
    std::fprintf(stderr, "display backend %d method %d buffers %d\n", info.backend, info.method, info.buffers);
    std::fprintf(stderr, "console %d vt_switch %d\n", info.console, info.vt_switch);
    long shown = 0, refused = 0;
    int status = 0, switches = 0;
    bool is_away = false;  // a present said so, and the program has not redrawn since
    while (access(until_path, F_OK) != 0) {
        const bool now_away = away();
        if (is_away && !now_away) {
            is_away = false;
            std::fprintf(stderr, "back (switch %d)\n", switches);
            draw_picture(screen);
            if (zr_present(nullptr, 0) != ERR_NONE) {
                zr_print_error("zr-session: the first present back");
                status = 1;
                break;
            }
            touch(back_path);
            continue;
        }
        if (now_away) {
            zr_clear(screen, zr_color(255, 0, 255, 255));
        } else {
            draw_picture(screen);
        }
        const int code = zr_present(nullptr, 0);
        if (code == ERR_SCREEN_AWAY) {
            ++refused;
            if (!is_away) {
                is_away = true;
                std::fprintf(stderr, "left (switch %d)\n", ++switches);
                touch(left_path);
            }
            sleep_ms(10);
            continue;
        }
        if (code != ERR_NONE) {
            zr_print_error("zr-session");
            status = 1;
            break;
        }
        if (++shown == 1) touch(ready_path);
        sleep_ms(5);
    }
    std::fprintf(stderr, "presents shown %ld refused %ld\n", shown, refused);
    zr_release_dc(screen);
    zr_close();
    return status;
}
