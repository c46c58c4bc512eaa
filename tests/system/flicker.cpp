// zr-flicker: shows whole frames of two solid colours in turn, as fast as it
// can, until told to stop; a screendump taken at any moment shows whether a
// frame reached the screen whole.
//
//   zr-flicker [--device PATH] [--double] [--shadow] [--vsync] [--console] [--own-sigterm STATUS]
//              [--default-sigint] --ready FILE --until FILE
//
// Frames alternate between pure red and pure blue, each drawn over the whole
// screen DC and shown with zr_present. Without --double the screen DC is the
// visible picture, so a screendump can catch a frame half drawn. FILE given to
// --ready is created after the first frame; the program stops once the FILE
// given to --until exists. Standard error: what the display granted, then the
// number of frames shown. Exit 0 when every zr_present succeeded.
//
// --shadow adds ZR_INIT_SHADOW (drawn in system memory, copied into the back
// buffer), --vsync ZR_INIT_VSYNC. --console adds ZR_INIT_CONSOLE (the active
// virtual terminal in graphics mode while the program runs). --own-sigterm installs, before zr_init_ex, a
// SIGTERM handler of the program's own that writes "own SIGTERM handler" to
// standard error and exits with STATUS. --default-sigint sets SIGINT back to
// its default action first: a shell starts its background jobs with SIGINT
// ignored.
#include "zr.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int own_status = 0;

void own_sigterm(int) {
    static const char line[] = "own SIGTERM handler\n";
    const ssize_t written = write(STDERR_FILENO, line, sizeof line - 1);
    static_cast<void>(written);
    _exit(own_status);
}

}  // namespace

int main(int argc, char **argv) {
    const char *device = "/dev/fb";
    const char *ready_path = nullptr;
    const char *until_path = nullptr;
    int flags = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
            device = argv[++i];
        } else if (std::strcmp(argv[i], "--double") == 0) {
            flags |= ZR_INIT_DOUBLE_BUFFER;
        } else if (std::strcmp(argv[i], "--shadow") == 0) {
            flags |= ZR_INIT_SHADOW;
        } else if (std::strcmp(argv[i], "--vsync") == 0) {
            flags |= ZR_INIT_VSYNC;
        } else if (std::strcmp(argv[i], "--console") == 0) {
            flags |= ZR_INIT_CONSOLE;
        } else if (std::strcmp(argv[i], "--own-sigterm") == 0 && i + 1 < argc) {
            own_status = std::atoi(argv[++i]);
            struct sigaction action {};
            action.sa_handler = own_sigterm;
            sigemptyset(&action.sa_mask);
            sigaction(SIGTERM, &action, nullptr);
        } else if (std::strcmp(argv[i], "--default-sigint") == 0) {
            signal(SIGINT, SIG_DFL);
        } else if (std::strcmp(argv[i], "--ready") == 0 && i + 1 < argc) {
            ready_path = argv[++i];
        } else if (std::strcmp(argv[i], "--until") == 0 && i + 1 < argc) {
            until_path = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--device PATH] [--double] [--shadow] [--vsync] [--console] [--own-sigterm STATUS] "
                         "[--default-sigint] --ready FILE --until FILE\n",
                         argv[0]);
            return 2;
        }
    }
    if (ready_path == nullptr || until_path == nullptr) {
        std::fprintf(stderr, "%s: --ready and --until are needed\n", argv[0]);
        return 2;
    }
    if (zr_init_ex(device, flags) != 0) {
        zr_print_error("zr-flicker");
        return 1;
    }
    dc_t *screen = zr_get_screen_dc();
    if (screen == nullptr) {
        zr_print_error("zr-flicker");
        zr_close();
        return 1;
    }
    zr_display_info_t info{};
    zr_display_info(&info);
    std::fprintf(stderr, "display backend %d method %d buffers %d\n", info.backend, info.method, info.buffers);
    std::fprintf(stderr, "console %d\n", info.console);
    std::fprintf(stderr, "display vsync %d paced %d\n", info.vsync, info.paced);
    const color_t colours[2] = {zr_color(255, 0, 0, 255), zr_color(0, 0, 255, 255)};
    long frames = 0;
    int status = 0;
    while (access(until_path, F_OK) != 0) {
        zr_clear(screen, colours[frames % 2]);
        if (const int code = zr_present(nullptr, 0); code != ERR_NONE) {
            zr_print_error("zr-flicker");
            status = 1;
            break;
        }
        if (++frames == 1) {
            if (FILE *f = std::fopen(ready_path, "w")) std::fclose(f);
        }
    }
    std::fprintf(stderr, "frames %ld\n", frames);
    zr_release_dc(screen);
    zr_close();
    return status;
}
