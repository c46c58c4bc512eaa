// zr-ttyqueue: how many bytes of input wait in a terminal (FIONREAD), so
// that a test can tell whether key presses reached the console; --flush
// empties the queue first and takes the terminal out of canonical mode, where
// a key without a newline would not count.
//
//   zr-ttyqueue [--flush] TTY
//
// Prints "TTY N"; exit 0 when the terminal answered.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv) {
    const bool flush = argc > 2 && strcmp(argv[1], "--flush") == 0;
    const char *path = argc > 1 ? argv[argc - 1] : "/dev/tty1";
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int waiting = -1;
    termios t{};
    if (flush && fd >= 0 && tcgetattr(fd, &t) == 0) {
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(fd, TCSANOW, &t);
    }
    if (fd < 0 || (flush && tcflush(fd, TCIFLUSH) != 0) || ioctl(fd, FIONREAD, &waiting) != 0) {
        printf("%s error %s\n", path, strerror(errno));
        return 1;
    }
    printf("%s %d\n", path, waiting);
    close(fd);
    return 0;
}
