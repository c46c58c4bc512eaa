// The console out of the way: the active virtual terminal in graphics mode
// (KDSETMODE KD_GRAPHICS), so its text and cursor stop drawing over the
// picture, and text mode again at zr_close, at exit and on SIGINT, SIGTERM
// and SIGHUP. The program's own handlers still run: ours restores the
// console and passes the signal on to whatever was installed before.
#include "display.hpp"

#include <fcntl.h>
#include <linux/kd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>

namespace zr {
namespace {

int tty = -1;             // the terminal switched, -1 when none
int mode_before = KD_TEXT;
bool exit_hook = false;
constexpr int signals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction before[3];

void back_to_text() {
    if (tty < 0) return;
    ioctl(tty, KDSETMODE, mode_before);
    close(tty);
    tty = -1;
}

// Async-signal-safe: ioctl, close, sigaction and raise only. The action
// installed before ours comes back and gets the signal.
void on_signal(int sig) {
    back_to_text();
    for (int i = 0; i < 3; ++i) {
        if (signals[i] != sig) continue;
        const struct sigaction old = before[i];
        sigaction(sig, &old, nullptr);
        if ((old.sa_flags & SA_SIGINFO) != 0) {
            if (old.sa_sigaction != nullptr) {
                siginfo_t info{};
                info.si_signo = sig;
                old.sa_sigaction(sig, &info, nullptr);
            }
        } else if (old.sa_handler == SIG_DFL) {
            raise(sig);  // delivered when this handler returns
        } else if (old.sa_handler != SIG_IGN) {
            old.sa_handler(sig);
        }
    }
}

void restore_handlers() {
    for (int i = 0; i < 3; ++i) {
        struct sigaction now {};
        // Only where ours is still installed: a handler the program set since is its own.
        if (sigaction(signals[i], nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) == 0 &&
            now.sa_handler == on_signal)
            sigaction(signals[i], &before[i], nullptr);
    }
}

}  // namespace

bool console_to_graphics() {
    if (tty >= 0) return true;
    for (const char *path : {"/dev/tty0", "/dev/tty"}) {
        const int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) continue;
        int mode = KD_TEXT;
        if (ioctl(fd, KDGETMODE, &mode) == 0 && ioctl(fd, KDSETMODE, KD_GRAPHICS) == 0) {
            tty = fd;
            mode_before = mode;
            break;
        }
        close(fd);
    }
    if (tty < 0) return false;
    struct sigaction ours {};
    ours.sa_handler = on_signal;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = 0;
    // A signal the program ignores (SIGINT in a background job, SIGHUP under
    // nohup) stays ignored: it ends nothing, so the console stays as it is.
    for (int i = 0; i < 3; ++i) {
        if (sigaction(signals[i], nullptr, &before[i]) != 0) continue;
        if ((before[i].sa_flags & SA_SIGINFO) == 0 && before[i].sa_handler == SIG_IGN) continue;
        sigaction(signals[i], &ours, nullptr);
    }
    if (!exit_hook) exit_hook = std::atexit(back_to_text) == 0;
    return true;
}

void console_restore() {
    back_to_text();
    restore_handlers();
}

}  // namespace zr
