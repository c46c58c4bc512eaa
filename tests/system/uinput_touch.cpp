// zr-uinput-touch: a multitouch touchscreen made through uinput (QEMU has no
// virtio one), with ten type-B slots on 0 .. 4095 axes, playing three
// fingers: down at (x, y) = (1000 + 1000 i, 1024 + 1024 i), moved by +200 x,
// lifted in turn.
//
//   zr-uinput-touch READY GO UNTIL
//
// Touches READY once the device exists, plays when GO exists, and removes
// the device once UNTIL exists (each waited for at most 60 s).
#include <fcntl.h>
#include <linux/uinput.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <initializer_list>

namespace {

int fd = -1;

void emit(int type, int code, int value) {
    input_event e{};
    e.type = static_cast<unsigned short>(type);
    e.code = static_cast<unsigned short>(code);
    e.value = value;
    if (write(fd, &e, sizeof e) != static_cast<ssize_t>(sizeof e)) perror("zr-uinput-touch: write");
}

void frame() { emit(EV_SYN, SYN_REPORT, 0); }

bool wait_file(const char *path) {
    for (int i = 0; i < 1200; ++i) {
        if (access(path, F_OK) == 0) return true;
        usleep(50000);
    }
    return false;
}

void axis(int code, int max) {
    uinput_abs_setup a{};
    a.code = static_cast<unsigned short>(code);
    a.absinfo.maximum = max;
    if (ioctl(fd, UI_ABS_SETUP, &a) != 0) perror("zr-uinput-touch: UI_ABS_SETUP");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: zr-uinput-touch READY GO UNTIL\n");
        return 2;
    }
    fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("zr-uinput-touch: /dev/uinput");
        return 1;
    }
    ioctl(fd, UI_SET_EVBIT, EV_KEY);
    ioctl(fd, UI_SET_KEYBIT, BTN_TOUCH);
    ioctl(fd, UI_SET_EVBIT, EV_ABS);
    ioctl(fd, UI_SET_PROPBIT, INPUT_PROP_DIRECT);
    for (const int code : {ABS_X, ABS_Y, ABS_MT_POSITION_X, ABS_MT_POSITION_Y}) {
        ioctl(fd, UI_SET_ABSBIT, code);
        axis(code, 4095);
    }
    ioctl(fd, UI_SET_ABSBIT, ABS_MT_SLOT);
    axis(ABS_MT_SLOT, 9);
    ioctl(fd, UI_SET_ABSBIT, ABS_MT_TRACKING_ID);
    axis(ABS_MT_TRACKING_ID, 65535);
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x5a52;
    setup.id.product = 1;
    strcpy(setup.name, "zr-uinput-touch");
    if (ioctl(fd, UI_DEV_SETUP, &setup) != 0 || ioctl(fd, UI_DEV_CREATE) != 0) {
        perror("zr-uinput-touch: create");
        return 1;
    }
    close(open(argv[1], O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!wait_file(argv[2])) return 1;
    for (int i = 0; i < 3; ++i) {
        emit(EV_ABS, ABS_MT_SLOT, i);
        emit(EV_ABS, ABS_MT_TRACKING_ID, 100 + i);
        emit(EV_ABS, ABS_MT_POSITION_X, 1000 + 1000 * i);
        emit(EV_ABS, ABS_MT_POSITION_Y, 1024 + 1024 * i);
    }
    emit(EV_KEY, BTN_TOUCH, 1);
    emit(EV_ABS, ABS_X, 1000);
    emit(EV_ABS, ABS_Y, 1024);
    frame();
    usleep(100000);
    for (int i = 0; i < 3; ++i) {
        emit(EV_ABS, ABS_MT_SLOT, i);
        emit(EV_ABS, ABS_MT_POSITION_X, 1200 + 1000 * i);
    }
    emit(EV_ABS, ABS_X, 1200);
    frame();
    usleep(100000);
    for (int i = 2; i >= 0; --i) {
        emit(EV_ABS, ABS_MT_SLOT, i);
        emit(EV_ABS, ABS_MT_TRACKING_ID, -1);
        if (i == 0) emit(EV_KEY, BTN_TOUCH, 0);
        frame();
        usleep(50000);
    }
    wait_file(argv[3]);
    ioctl(fd, UI_DEV_DESTROY);
    close(fd);
    return 0;
}
