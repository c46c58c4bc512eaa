// A terminal of the test's own for the console code: a descriptor of
// /dev/null whose display, switching and keyboard modes are recorded. The
// switching calls answer from another thread (the library's), hence the lock.
#pragma once

#include "display.hpp"

#include <fcntl.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

namespace zr_test {

constexpr int found_mode = KD_TEXT1;  // the terminal's mode before: put back as it was
constexpr short found_frsig = 7;      // VT_AUTO as found, marked by its frsig
constexpr int reported_vt_process = -1;

struct terminal_log {
    std::mutex lock;
    std::vector<int> modes;        // each KDSETMODE
    std::vector<vt_mode> vt_modes;  // each VT_SETMODE
    std::vector<int> answers;      // each VT_RELDISP
    bool refuse_vt = false;        // VT_SETMODE fails, as on a terminal that is no VT
    int keyboard_mode = K_UNICODE;
    int activated = 0;   // the last terminal switched to
    int report_fd = -1;  // a forked child writes each KDSETMODE here, and each VT_SETMODE as its frsig or -1
};
inline terminal_log term;

inline void report(int v) {
    if (term.report_fd >= 0) (void)!write(term.report_fd, &v, sizeof v);
}

namespace fake {
inline int open() { return ::open("/dev/null", O_RDWR | O_CLOEXEC); }
inline int get_mode(int, int *mode) { return *mode = found_mode, 0; }
inline int set_mode(int, int mode) {
    report(mode);
    std::lock_guard<std::mutex> hold(term.lock);
    term.modes.push_back(mode);
    return 0;
}
inline int get_vt_mode(int, vt_mode *mode) {
    *mode = vt_mode{VT_AUTO, 0, 0, 0, found_frsig};
    return 0;
}
inline int set_vt_mode(int, const vt_mode *mode) {
    report(mode->mode == VT_PROCESS ? reported_vt_process : mode->frsig);
    std::lock_guard<std::mutex> hold(term.lock);
    if (term.refuse_vt) return -1;
    term.vt_modes.push_back(*mode);
    return 0;
}
inline int release(int, int answer) {
    std::lock_guard<std::mutex> hold(term.lock);
    term.answers.push_back(answer);
    return 0;
}
inline int get_keyboard_mode(int, int *mode) { return *mode = term.keyboard_mode, 0; }
inline int set_keyboard_mode(int, int mode) { return term.keyboard_mode = mode, 0; }
inline int activate(int, int vt) { return term.activated = vt, 0; }
}  // namespace fake

// Without switching the terminal cannot be followed (VT_SETMODE on /dev/null fails).
inline const zr::console_device fake_console{fake::open, fake::get_mode, fake::set_mode, nullptr, nullptr, nullptr,
                                             fake::get_keyboard_mode, fake::set_keyboard_mode, fake::activate};
inline const zr::console_device fake_switching_console{
    fake::open,    fake::get_mode,          fake::set_mode,          fake::get_vt_mode, fake::set_vt_mode,
    fake::release, fake::get_keyboard_mode, fake::set_keyboard_mode, fake::activate};

// Installs device on a terminal as found.
inline void use_terminal(const zr::console_device *device) {
    std::lock_guard<std::mutex> hold(term.lock);
    term.modes.clear();
    term.vt_modes.clear();
    term.answers.clear();
    term.refuse_vt = false;
    term.keyboard_mode = K_UNICODE;
    term.activated = 0;
    zr::set_console_device(device);
}

inline std::vector<int> set_modes() {
    std::lock_guard<std::mutex> hold(term.lock);
    return term.modes;
}
inline std::vector<int> answers() {
    std::lock_guard<std::mutex> hold(term.lock);
    return term.answers;
}
inline vt_mode last_vt_mode() {
    std::lock_guard<std::mutex> hold(term.lock);
    return term.vt_modes.empty() ? vt_mode{} : term.vt_modes.back();
}

// The function that handles sig now (sa_handler and sa_sigaction share it).
inline void *action_of(int sig) {
    struct sigaction now {};
    sigaction(sig, nullptr, &now);
    return (now.sa_flags & SA_SIGINFO) != 0 ? reinterpret_cast<void *>(now.sa_sigaction)
                                             : reinterpret_cast<void *>(now.sa_handler);
}

// Runs open() in a child that then raises sig (0: exit(3)) without closing;
// *status is the child's wait status, and the result what the terminal was told.
template <class Open>
std::vector<int> child_reports(Open open, int sig, int *status) {
    std::vector<int> got;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return got;
    const pid_t child = fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        term.report_fd = pipe_fds[1];
        if (open() != 0) _exit(9);
        if (sig != 0) raise(sig);
        std::exit(3);
    }
    ::close(pipe_fds[1]);
    int v = 0;
    while (got.size() < 16 && read(pipe_fds[0], &v, sizeof v) == static_cast<ssize_t>(sizeof v)) got.push_back(v);
    ::close(pipe_fds[0]);
    waitpid(child, status, 0);
    return got;
}

}  // namespace zr_test
