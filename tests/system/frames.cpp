// zr-frames: keeps drawing whole frames and presenting them until told to
// stop, for screendumps taken meanwhile.
//
//   zr-frames [--device PATH] [--double] [--shadow] [--vsync] [--console] [--own-sigterm STATUS]
//             [--default-sigint] [--left FILE --back FILE] --ready FILE --until FILE
//
// Pure red and pure blue in turn, as fast as it can (without --double a
// screendump can catch one half drawn). With --left and --back, a program
// following its virtual terminal's switches (with --console): a fixed
// picture, and while away a magenta one, which must reach nothing; --left is
// created once a present returns ERR_SCREEN_AWAY, --back once the picture is
// shown again. The switches are zr_init_ex's flags; --ready, --until:
// guest.hpp. --own-sigterm installs, before zr_init_ex, a SIGTERM handler of
// its own that writes "own SIGTERM handler" and exits with STATUS;
// --default-sigint undoes the SIGINT ignored in a shell's background jobs.
// Standard error: what the display granted, each switch, the presents shown
// and refused; exit 0 when every present returned 0 or, away, ERR_SCREEN_AWAY.
#include "guest.hpp"

#include <signal.h>
#include <time.h>

#include <cstdlib>

namespace {

int own_status = 0;

void own_sigterm(int) {
    static const char line[] = "own SIGTERM handler\n";
    const ssize_t written = write(STDERR_FILENO, line, sizeof line - 1);
    static_cast<void>(written);
    _exit(own_status);
}

void sleep_ms(int ms) {
    const timespec t{0, ms * 1000000L};
    nanosleep(&t, nullptr);
}

// Green with a red, a yellow and a blue box.
void draw_picture(dc_t *dc) {
    zr_clear(dc, zr_color(0, 96, 0, 255));
    const int boxes[3][7] = {
        {100, 100, 299, 249, 200, 0, 0}, {400, 300, 649, 499, 255, 220, 0}, {50, 400, 169, 519, 0, 64, 255}};
    for (const auto &b : boxes) {
        zr_pen_color(dc, zr_color(b[4], b[5], b[6], 255));
        zr_brush_color(dc, zr_color(b[4], b[5], b[6], 255));
        zr_rectangle(dc, b[0], b[1], b[2], b[3]);
    }
}

bool away() {
    zr_display_info_t info{};
    return zr_display_info(&info) == ERR_NONE && info.away != 0;
}

}  // namespace

int main(int argc, char **argv) {
    const char *device = "/dev/fb", *ready_path = nullptr, *until_path = nullptr, *own = nullptr;
    const char *left_path = nullptr, *back_path = nullptr;
    int flags = 0;
    bool default_sigint = false;
    if (!guest::parse(argc, argv,
                      {{"--device", 0, nullptr, &device},
                       {"--double", ZR_INIT_DOUBLE_BUFFER},
                       {"--shadow", ZR_INIT_SHADOW},
                       {"--vsync", ZR_INIT_VSYNC},
                       {"--console", ZR_INIT_CONSOLE},
                       {"--own-sigterm", 0, nullptr, &own},
                       {"--default-sigint", 0, &default_sigint},
                       {"--left", 0, nullptr, &left_path},
                       {"--back", 0, nullptr, &back_path},
                       {"--ready", 0, nullptr, &ready_path},
                       {"--until", 0, nullptr, &until_path}},
                      &flags,
                      "[--device PATH] [--double] [--shadow] [--vsync] [--console] [--own-sigterm STATUS] "
                      "[--default-sigint] [--left FILE --back FILE] --ready FILE --until FILE") ||
        ready_path == nullptr || until_path == nullptr || (left_path == nullptr) != (back_path == nullptr))
        return 2;
    if (own != nullptr) {
        own_status = std::atoi(own);
        struct sigaction action {};
        action.sa_handler = own_sigterm;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, nullptr);
    }
    if (default_sigint) signal(SIGINT, SIG_DFL);
    dc_t *screen = guest::open_screen("zr-frames", device, flags);
    if (screen == nullptr) return 1;
    // Copied whole each frame: redrawn on the visible buffer, the picture
    // would flash its background under a screendump.
    const bool session = left_path != nullptr;
    dc_t *picture = session ? zr_get_buffer_dc(-1, -1) : nullptr;
    int status = 0, switches = 0;
    if (picture != nullptr) {
        draw_picture(picture);
    } else if (session) {
        zr_print_error("zr-frames");
        status = 1;
    }
    const color_t colours[2] = {zr_color(255, 0, 0, 255), zr_color(0, 0, 255, 255)};
    long shown = 0, refused = 0;
    bool is_away = false;  // a present said so, and the picture has not been shown since
    while (status == 0 && !guest::exists(until_path)) {
        const bool now_away = session && away(), coming_back = is_away && !now_away;
        if (coming_back) std::fprintf(stderr, "back (switch %d)\n", switches);
        if (!session) {
            zr_clear(screen, colours[shown % 2]);
        } else if (now_away) {
            zr_clear(screen, zr_color(255, 0, 255, 255));
        } else {
            zr_to_screen_dc(screen, picture);
        }
        const int code = zr_present(nullptr, 0);
        if (code == ERR_SCREEN_AWAY && session && !coming_back) {
            ++refused;
            if (!is_away) std::fprintf(stderr, "left (switch %d)\n", ++switches);
            if (!is_away) guest::touch(left_path);
            is_away = true;
            sleep_ms(10);
        } else if (code != ERR_NONE) {
            zr_print_error(coming_back ? "zr-frames: the first present back" : "zr-frames");
            status = 1;
        } else if (coming_back) {
            is_away = false;
            guest::touch(back_path);
        } else {
            if (++shown == 1) guest::touch(ready_path);
            if (session) sleep_ms(5);
        }
    }
    std::fprintf(stderr, "presents shown %ld refused %ld\n", shown, refused);
    if (picture != nullptr) zr_release_dc(picture);
    zr_release_dc(screen);
    zr_close();
    return status;
}
