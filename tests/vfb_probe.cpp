// A small program for the virtual framebuffer's end-to-end test, run under
// zr-vfb. "vfb_probe sleeps": sleeps once before opening the device, then
// draws pictures 0 to 3 each followed by a two-second sleep of a different
// kind, picture 4 followed by a 1 ms sleep, picture 5, and returns 3.
// "vfb_probe signal N": draws picture 0 and raises signal N.
// "vfb_probe open DEVICE": opens DEVICE, draws picture 0 and returns 0.
#include "vfb_probe.hpp"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

dc_t *screen = nullptr;  // global, so that an exit in a sleep leaks nothing

void draw(int k) {
    const zr_test::probe_picture &p = zr_test::probe_pictures[k];
    screen->clear(screen, p.fill);
    screen->set_pixel(screen, 1, 1, p.dot);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    const bool sleeps = std::strcmp(argv[1], "sleeps") == 0;
    const bool open_only = std::strcmp(argv[1], "open") == 0 && argc > 2;
    if (sleeps) usleep(2000000);
    if (zr_init(open_only ? argv[2] : "/dev/fb") != 0 || (screen = zr_get_screen_dc()) == nullptr)
        return 4;
    if (open_only) {
        draw(0);
        zr_release_dc(screen);
        zr_close();
        return 0;
    }
    if (!sleeps) {
        draw(0);
        raise(argc > 2 ? std::atoi(argv[2]) : SIGTERM);
        return 5;
    }
    const timespec two_seconds{2, 0};
    draw(0);
    usleep(2000000);
    draw(1);
    nanosleep(&two_seconds, nullptr);
    draw(2);
    sleep(2);
    draw(3);
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += 2;
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    draw(4);
    usleep(1000);
    draw(5);
    zr_release_dc(screen);
    zr_close();
    return 3;
}
