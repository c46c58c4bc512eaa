// zr-tty: what busybox cannot tell of a virtual terminal.
//
//   zr-tty mode TTY...            "TTY text", "TTY graphics" or "TTY mode N" (KDGETMODE)
//   zr-tty queue [--flush] TTY    "TTY N": the bytes of input waiting (FIONREAD): did
//                                 keys reach the console? --flush empties the queue
//                                 first and leaves canonical mode, where a key
//                                 without a newline would not count
// "TTY error MESSAGE" and exit 1 when a terminal does not answer.
#include <errno.h>
#include <fcntl.h>
#include <linux/kd.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static int show(const char *path, bool mode, bool flush) {
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int value = -1;
    termios t{};
    if (flush && fd >= 0 && tcgetattr(fd, &t) == 0) {
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(fd, TCSANOW, &t);
    }
    if (fd < 0 || (flush && tcflush(fd, TCIFLUSH) != 0) || ioctl(fd, mode ? KDGETMODE : FIONREAD, &value) != 0) {
        printf("%s error %s\n", path, strerror(errno));
        if (fd >= 0) close(fd);
        return 1;
    }
    close(fd);
    const char *name = !mode ? nullptr : value == KD_TEXT ? "text" : value == KD_GRAPHICS ? "graphics" : nullptr;
    if (name != nullptr) printf("%s %s\n", path, name);
    else printf(mode ? "%s mode %d\n" : "%s %d\n", path, value);
    return 0;
}

int main(int argc, char **argv) {
    const bool mode = argc > 2 && strcmp(argv[1], "mode") == 0;
    if (argc < 3 || (!mode && strcmp(argv[1], "queue") != 0)) {
        fprintf(stderr, "usage: zr-tty mode TTY... | zr-tty queue [--flush] TTY\n");
        return 2;
    }
    const bool flush = !mode && strcmp(argv[2], "--flush") == 0;
    int failed = 0;
    for (int i = flush ? 3 : 2; i < argc; ++i) failed |= show(argv[i], mode, flush);
    return failed;
}
