// A small program for the virtual framebuffer's tests, run under zr-vfb.
//   vfb_probe sleeps          sleeps once before opening /dev/fb, then draws
//                             pictures 0 to 3 each followed by a two-second
//                             sleep of another kind, picture 4 and a 1 ms
//                             sleep, picture 5; returns 3
//   vfb_probe signal N        draws picture 0 and raises signal N
//   vfb_probe open DEVICE     opens DEVICE, draws picture 0, returns 0
//   vfb_probe raw HEX         writes the bytes HEX to the start of /dev/fb's
//                             first row, 0xEE to the rest of it, returns 0
//   vfb_probe present FLAGS N [ticks|still]
//                             zr_init_ex(/dev/fb, FLAGS), then presents
//                             pictures 0, 1, ... (N of them, 0: for ever),
//                             pausing 1 ms after those that nothing paces, as
//                             a demo does (never when "still"); with "ticks",
//                             prints the 1/60 s tick after each present.
//                             Returns zr_init_ex's code when it fails, else 0.
#include "vfb_probe.hpp"

#include <fcntl.h>
#include <linux/fb.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

dc_t *screen = nullptr;  // global, so that an exit in a sleep leaks nothing

void draw(int k) {
    const zr_test::probe_picture &p = zr_test::probe_pictures[k % 6];
    screen->clear(screen, p.fill);
    screen->set_pixel(screen, 1, 1, p.dot);
}

int raw(const char *hex) {
    const int fd = open("/dev/fb", O_RDWR);
    fb_fix_screeninfo fix{};
    if (fd < 0 || ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0) return 4;
    auto *mem = static_cast<unsigned char *>(mmap(nullptr, fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (mem == MAP_FAILED) return 5;
    std::memset(mem, 0xEE, fix.line_length);
    for (std::size_t i = 0; hex[2 * i] != '\0' && hex[2 * i + 1] != '\0'; ++i)
        mem[i] = static_cast<unsigned char>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
    munmap(mem, fix.smem_len);
    close(fd);
    return 0;
}

int present(int flags, long count, const std::string &how) {
    if (const int code = zr_init_ex("/dev/fb", flags); code != 0) return code;
    zr_display_info_t info{};
    zr_display_info(&info);
    const bool paced = info.method == ZR_PRESENT_PAN || info.method == ZR_PRESENT_FLIP || info.vsync || how == "still";
    screen = zr_get_screen_dc();
    for (long k = 0; count == 0 || k < count; ++k) {
        draw(static_cast<int>(k));
        if (zr_present(nullptr, 0) != 0) return 6;
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (how == "ticks") std::printf("tick %lld\n", (t.tv_sec * 1000000000LL + t.tv_nsec) / (1000000000LL / 60));
        if (!paced) usleep(1000);
    }
    zr_release_dc(screen);
    zr_close();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "raw" && argc > 2) return raw(argv[2]);
    if (what == "present" && argc > 3) return present(std::atoi(argv[2]), std::atol(argv[3]), argc > 4 ? argv[4] : "");
    if (what == "sleeps") usleep(2000000);
    if (zr_init(what == "open" && argc > 2 ? argv[2] : "/dev/fb") != 0 || (screen = zr_get_screen_dc()) == nullptr)
        return 4;
    draw(0);
    if (what == "signal") raise(argc > 2 ? std::atoi(argv[2]) : SIGTERM);
    if (what != "sleeps") {
        zr_release_dc(screen);
        zr_close();
        return 0;
    }
    const timespec two_seconds{2, 0};
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
