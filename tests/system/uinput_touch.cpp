// zr-uinput-touch READY GO UNTIL: a multitouch touchscreen made through
// uinput (QEMU has no virtio one), ten type-B slots on 0 .. 4095 axes. Touches
// READY once it exists; when GO exists, plays three fingers: down at (x, y) =
// (1000 + 1000 i, 1024 + 1024 i), moved by +200 x, lifted in turn; removes
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

// Events of one type: pairs of code and value, then (with SYN) a frame.
void emit(int type, std::initializer_list<int> codes_values, bool frame = false) {
    for (auto i = codes_values.begin(); i != codes_values.end(); i += 2) {
        input_event e{};
        e.type = static_cast<unsigned short>(type);
        e.code = static_cast<unsigned short>(i[0]);
        e.value = i[1];
        if (write(fd, &e, sizeof e) != static_cast<ssize_t>(sizeof e)) perror("zr-uinput-touch: write");
    }
    if (frame) emit(EV_SYN, {SYN_REPORT, 0});
}

bool wait_file(const char *path) {
    for (int i = 0; i < 1200 && access(path, F_OK) != 0; ++i) usleep(50000);
    return access(path, F_OK) == 0;
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
    const int axes[][2] = {{ABS_X, 4095},       {ABS_Y, 4095},         {ABS_MT_POSITION_X, 4095},
                           {ABS_MT_POSITION_Y, 4095}, {ABS_MT_SLOT, 9}, {ABS_MT_TRACKING_ID, 65535}};
    for (const auto &axis : axes) {
        uinput_abs_setup a{};
        a.code = static_cast<unsigned short>(axis[0]);
        a.absinfo.maximum = axis[1];
        if (ioctl(fd, UI_SET_ABSBIT, axis[0]) != 0 || ioctl(fd, UI_ABS_SETUP, &a) != 0) perror("zr-uinput-touch: axis");
    }
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
    for (int i = 0; i < 3; ++i)
        emit(EV_ABS, {ABS_MT_SLOT, i, ABS_MT_TRACKING_ID, 100 + i, ABS_MT_POSITION_X, 1000 + 1000 * i,
                      ABS_MT_POSITION_Y, 1024 + 1024 * i});
    emit(EV_KEY, {BTN_TOUCH, 1});
    emit(EV_ABS, {ABS_X, 1000, ABS_Y, 1024}, true);
    usleep(100000);
    for (int i = 0; i < 3; ++i) emit(EV_ABS, {ABS_MT_SLOT, i, ABS_MT_POSITION_X, 1200 + 1000 * i});
    emit(EV_ABS, {ABS_X, 1200}, true);
    usleep(100000);
    for (int i = 2; i >= 0; --i) {
        emit(EV_ABS, {ABS_MT_SLOT, i, ABS_MT_TRACKING_ID, -1});
        if (i == 0) emit(EV_KEY, {BTN_TOUCH, 0});
        emit(EV_SYN, {SYN_REPORT, 0});
        usleep(50000);
    }
    wait_file(argv[3]);
    ioctl(fd, UI_DEV_DESTROY);
    close(fd);
    return 0;
}
