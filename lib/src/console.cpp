// The console out of the way: the active virtual terminal in graphics mode
// (KDSETMODE KD_GRAPHICS), so its text and cursor stop drawing over the
// picture, and text mode again at zr_close, at exit and on SIGINT, SIGTERM
// and SIGHUP; its keyboard likewise off (KDSKBMODE K_OFF) while input reads
// the keys, so that they do not reach a shell underneath. The program's own
// handlers still run: ours restores the console and passes the signal on to
// whatever was installed before. While the program follows the terminal's
// switches (session.cpp), the terminal's switching mode (VT_SETMODE) is put
// back on the same paths.
#include "display.hpp"

#include <fcntl.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>

namespace zr {
namespace {

constexpr int signals[] = {SIGINT, SIGTERM, SIGHUP};

const console_device *test_device = nullptr;  // null: /dev/tty0 or /dev/tty and their ioctls

int get_mode(int fd, int *mode) {
    return test_device != nullptr ? test_device->get_mode(fd, mode) : ioctl(fd, KDGETMODE, mode);
}

int set_mode(int fd, int mode) {
    return test_device != nullptr ? test_device->set_mode(fd, mode) : ioctl(fd, KDSETMODE, mode);
}

int get_vt_mode(int fd, vt_mode *mode) {
    return test_device != nullptr && test_device->get_vt_mode != nullptr ? test_device->get_vt_mode(fd, mode)
                                                                         : ioctl(fd, VT_GETMODE, mode);
}

int set_vt_mode(int fd, const vt_mode *mode) {
    return test_device != nullptr && test_device->set_vt_mode != nullptr ? test_device->set_vt_mode(fd, mode)
                                                                         : ioctl(fd, VT_SETMODE, mode);
}

int get_keyboard_mode(int fd, int *mode) {
    if (test_device != nullptr) return test_device->get_keyboard_mode != nullptr ? test_device->get_keyboard_mode(fd, mode) : -1;
    return ioctl(fd, KDGKBMODE, mode);
}

int set_keyboard_mode(int fd, int mode) {
    if (test_device != nullptr) return test_device->set_keyboard_mode != nullptr ? test_device->set_keyboard_mode(fd, mode) : -1;
    return ioctl(fd, KDSKBMODE, mode);
}

void back_to_text() {
    console_state &c = display_console();
    if (c.tty < 0) return;
    set_mode(c.tty, c.mode_before);
    if (c.vt_process) {
        set_vt_mode(c.tty, &c.vt_before);
        c.vt_process = false;
    }
    close(c.tty);
    c.tty = -1;
}

void keyboard_back() {
    console_state &c = display_console();
    if (c.keyboard_tty < 0) return;
    set_keyboard_mode(c.keyboard_tty, c.keyboard_mode_before);
    close(c.keyboard_tty);
    c.keyboard_tty = -1;
}

void give_back_all() {
    keyboard_back();
    back_to_text();
}

// Async-signal-safe: ioctl, close, sigaction and raise only. The action
// installed before ours comes back and gets the signal.
void on_signal(int sig) {
    give_back_all();
    const console_state &c = display_console();
    for (int i = 0; i < 3; ++i) {
        if (signals[i] != sig) continue;
        const struct sigaction old = c.before[i];
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
    console_state &c = display_console();
    if (!c.handlers || c.tty >= 0 || c.keyboard_tty >= 0) return;
    c.handlers = false;
    for (int i = 0; i < 3; ++i) {
        struct sigaction now {};
        // Only where ours is still installed: a handler the program set since is its own.
        if (sigaction(signals[i], nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) == 0 &&
            now.sa_handler == on_signal)
            sigaction(signals[i], &c.before[i], nullptr);
    }
}

void install_handlers() {
    console_state &c = display_console();
    if (c.handlers) return;
    c.handlers = true;
    struct sigaction ours {};
    ours.sa_handler = on_signal;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = 0;
    // A signal the program ignores (SIGINT in a background job, SIGHUP under
    // nohup) stays ignored: it ends nothing, so the console stays as it is.
    for (int i = 0; i < 3; ++i) {
        if (sigaction(signals[i], nullptr, &c.before[i]) != 0) continue;
        if ((c.before[i].sa_flags & SA_SIGINFO) == 0 && c.before[i].sa_handler == SIG_IGN) continue;
        sigaction(signals[i], &ours, nullptr);
    }
    if (!c.exit_hook) c.exit_hook = std::atexit(give_back_all) == 0;
}

// The first terminal (the active one, then the program's own) whose mode get
// reads and set changes to `to`: its descriptor, or -1. *before: the mode
// found.
int switch_first_terminal(int (*get)(int, int *), int (*set)(int, int), int to, int *before) {
    for (const char *path : {"/dev/tty0", "/dev/tty"}) {
        const int fd = test_device != nullptr ? test_device->open() : open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) continue;
        if (get(fd, before) == 0 && set(fd, to) == 0) return fd;
        close(fd);
    }
    return -1;
}

}  // namespace

bool console_to_graphics() {
    console_state &c = display_console();
    if (c.tty >= 0) return true;
    c.tty = switch_first_terminal(get_mode, set_mode, KD_GRAPHICS, &c.mode_before);
    if (c.tty < 0) return false;
    install_handlers();
    return true;
}

bool console_keyboard_off(bool real) {
    console_state &c = display_console();
    if (c.keyboard_tty >= 0) return true;
    if (test_device == nullptr && !real) return false;
    c.keyboard_tty = switch_first_terminal(get_keyboard_mode, set_keyboard_mode, K_OFF, &c.keyboard_mode_before);
    if (c.keyboard_tty < 0) return false;
    install_handlers();
    return true;
}

bool console_activate(int vt) {
    const console_state &c = display_console();
    if (c.keyboard_tty < 0) return false;
    if (test_device != nullptr)
        return test_device->activate != nullptr && test_device->activate(c.keyboard_tty, vt) == 0;
    return ioctl(c.keyboard_tty, VT_ACTIVATE, vt) == 0;
}

void console_keyboard_restore() {
    keyboard_back();
    restore_handlers();
}

void set_console_device(const console_device *device) { test_device = device; }

bool console_follow_switches(int release, int acquire) {
    console_state &c = display_console();
    if (c.tty < 0) return false;
    if (c.vt_process) return true;
    vt_mode before{};
    if (get_vt_mode(c.tty, &before) != 0) return false;
    vt_mode ours{};
    ours.mode = VT_PROCESS;
    ours.relsig = static_cast<short>(release);
    ours.acqsig = static_cast<short>(acquire);
    if (set_vt_mode(c.tty, &ours) != 0) return false;
    c.vt_before = before;
    c.vt_process = true;
    return true;
}

void console_stop_following() {
    console_state &c = display_console();
    if (c.tty < 0 || !c.vt_process) return;
    set_vt_mode(c.tty, &c.vt_before);
    c.vt_process = false;
}

bool console_answer_switch(int answer) {
    const console_state &c = display_console();
    if (c.tty < 0) return false;
    return (test_device != nullptr && test_device->release_display != nullptr
                ? test_device->release_display(c.tty, answer)
                : ioctl(c.tty, VT_RELDISP, answer)) == 0;
}

void console_restore() {
    back_to_text();
    restore_handlers();
}

}  // namespace zr
