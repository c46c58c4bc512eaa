// zr-kdmode: prints the mode of a virtual terminal (KDGETMODE), since busybox
// has no command for it.
//
//   zr-kdmode [TTY...]      (default /dev/tty0, the active terminal)
//
// One line a terminal: "PATH text", "PATH graphics", "PATH mode N" for another
// value, or "PATH error MESSAGE". Exit 0 when every terminal answered.
#include <errno.h>
#include <fcntl.h>
#include <linux/kd.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int show(const char *path) {
    int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    int mode = -1;
    if (fd < 0) {
        printf("%s error %s\n", path, strerror(errno));
        return 1;
    }
    if (ioctl(fd, KDGETMODE, &mode) != 0) {
        printf("%s error %s\n", path, strerror(errno));
        close(fd);
        return 1;
    }
    close(fd);
    if (mode == KD_TEXT)
        printf("%s text\n", path);
    else if (mode == KD_GRAPHICS)
        printf("%s graphics\n", path);
    else
        printf("%s mode %d\n", path, mode);
    return 0;
}

int main(int argc, char **argv) {
    int failed = 0;
    if (argc < 2) return show("/dev/tty0");
    for (int i = 1; i < argc; ++i) failed |= show(argv[i]);
    return failed;
}
