// Sessions: the program follows the switches of its virtual terminal. With
// ZR_INIT_CONSOLE the terminal is put in VT_PROCESS mode, so a switch away
// waits until the program has let go of the screen, and a switch back is
// told to it; the program hears of both as session events.
//
// Who answers. The kernel asks by a signal, and the switch waits for the
// answer however idle the program is (blocked in its own read, asleep). A
// handler may do little, so it only writes a byte to a pipe; a small thread
// of the library's own reads it and answers at once, in order:
//   release: display_leave (the screen DCs draw into memory, the backend
//            lets go: DRM drops master), then VT_RELDISP 1, then the event
//            ZR_EVENT_SCREEN_LEFT. Without memory for the copy the switch
//            is refused (VT_RELDISP 0): nothing of the program may reach
//            the other terminal's screen.
//   acquire: VT_ACKACQ, then display_enter (master, the mode and the
//            picture again), then ZR_EVENT_SCREEN_BACK. While the device
//            cannot be had (another program still holds DRM master), it is
//            tried again every retry_ms; the event waits for it.
// The core holds its lock through leave and enter, so a zr_present in
// progress finishes first and the next one sees where drawing goes.
//
// The signals: two real-time signals that nothing handles yet, from
// SIGRTMIN + 2 up (glibc and the threads libraries take the first ones),
// else SIGUSR1 and SIGUSR2 if they are free; a signal the program handles
// is never taken over. Their actions are put back by session_stop.
#include "display.hpp"
#include "zr_internal.hpp"

#include <fcntl.h>
#include <linux/vt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace zr {
namespace {

constexpr int retry_ms = 100;  // between attempts to take the device back

// What the handlers tell the thread, and what stops it.
constexpr char ask_release = 'r', ask_acquire = 'a', ask_stop = 'q';

struct session_state {
    bool following = false;
    int release_signal = 0, acquire_signal = 0;
    struct sigaction before[2]{};  // the actions of the two signals before ours
    int wake[2] = {-1, -1};        // handlers and session_stop -> thread
    int events[2] = {-1, -1};      // thread -> program: one byte an event
    std::thread thread;
    bool exit_hook = false;
};
session_state s;

// The handlers' descriptor, read once per signal (async-signal-safe).
std::atomic<int> wake_fd{-1};

void tell_thread(char what) {
    const int fd = wake_fd.load(std::memory_order_relaxed);
    if (fd >= 0) (void)!write(fd, &what, 1);
}

void on_release(int) {
    const int saved = errno;
    tell_thread(ask_release);
    errno = saved;
}

void on_acquire(int) {
    const int saved = errno;
    tell_thread(ask_acquire);
    errno = saved;
}

bool is_free(int sig) {
    struct sigaction now {};
    return sigaction(sig, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) == 0 && now.sa_handler == SIG_DFL;
}

// Two free signals into release and acquire; false when there are none.
bool pick_signals(int *release, int *acquire) {
    int found[2] = {0, 0}, n = 0;
    for (int sig = SIGRTMIN + 2; sig <= SIGRTMAX && n < 2; ++sig)
        if (is_free(sig)) found[n++] = sig;
    if (n < 2) {
        n = 0;
        for (const int sig : {SIGUSR1, SIGUSR2})
            if (is_free(sig)) found[n++] = sig;
    }
    if (n < 2) return false;
    *release = found[0];
    *acquire = found[1];
    return true;
}

void queue_event(int type) {
    const char byte = static_cast<char>(type);
    if (write(s.events[1], &byte, 1) != 1)
        debug("session event %d dropped: the program has not read the events before it", type);
}

// The thread: answers each switch as its signal comes.
void run() {
    bool left = false;      // the core has left the device (LEFT told)
    bool entering = false;  // the terminal is back, the device not yet
    bool told_waiting = false;
    for (;;) {
        pollfd p{s.wake[0], POLLIN, 0};
        const int ready = poll(&p, 1, entering ? retry_ms : -1);
        char what = 0;
        if (ready > 0 && read(s.wake[0], &what, 1) != 1) what = 0;
        if (what == ask_stop) return;
        if (what == ask_release) {
            entering = false;
            if (!left && !display_leave()) {
                console_answer_switch(0);
                debug("the switch of virtual terminal is refused: no memory to draw in while away");
                continue;
            }
            if (!console_answer_switch(1)) debug("VT_RELDISP: %s", std::strerror(errno));
            if (!left) {
                debug("another virtual terminal has the screen: drawing goes to memory, zr_present returns "
                      "ERR_SCREEN_AWAY");
                queue_event(ZR_EVENT_SCREEN_LEFT);
            }
            left = true;
            continue;
        }
        if (what == ask_acquire) {
            console_answer_switch(VT_ACKACQ);
            entering = left;
            told_waiting = false;
        }
        if (!entering) continue;
        if (display_enter()) {
            entering = left = false;
            debug("the virtual terminal is back: the device and its mode taken again");
            queue_event(ZR_EVENT_SCREEN_BACK);
        } else if (!told_waiting) {
            told_waiting = true;
            debug("the virtual terminal is back but the device is not (see above): trying every %d ms", retry_ms);
        }
    }
}

void close_pipes() {
    for (int *pair : {s.wake, s.events})
        for (int i = 0; i < 2; ++i) {
            if (pair[i] >= 0) close(pair[i]);
            pair[i] = -1;
        }
}

void stop_at_exit() { session_stop(); }

}  // namespace

bool session_start() {
    if (s.following) return true;
    int release = 0, acquire = 0;
    if (!pick_signals(&release, &acquire)) {
        debug("no two free signals for the switches of the virtual terminal: they happen without the program");
        return false;
    }
    if (pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(s.events, O_CLOEXEC | O_NONBLOCK) != 0) {
        debug("no pipe for the switches of the virtual terminal: %s", std::strerror(errno));
        close_pipes();
        return false;
    }
    wake_fd.store(s.wake[1]);
    struct sigaction ours {};
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = SA_RESTART;
    ours.sa_handler = on_release;
    sigaction(release, &ours, &s.before[0]);
    ours.sa_handler = on_acquire;
    sigaction(acquire, &ours, &s.before[1]);
    s.release_signal = release;
    s.acquire_signal = acquire;
    if (!s.exit_hook) s.exit_hook = std::atexit(stop_at_exit) == 0;
    bool started = s.exit_hook;
    if (started) {
        try {
            s.thread = std::thread(run);
        } catch (...) {
            started = false;
        }
    }
    if (!started || !console_follow_switches(release, acquire)) {
        debug("the virtual terminal cannot be followed (VT_SETMODE VT_PROCESS refused): it switches without "
              "the program");
        s.following = true;  // undone by session_stop
        session_stop();
        return false;
    }
    s.following = true;
    debug("following the switches of the virtual terminal (signals %d and %d)", release, acquire);
    return true;
}

void session_stop() {
    if (!s.following) return;
    s.following = false;
    // The terminal switches by itself again before the thread goes: no
    // switch waits for an answer that never comes.
    console_stop_following();
    if (s.thread.joinable()) {
        tell_thread(ask_stop);
        s.thread.join();
    }
    for (int i = 0; i < 2; ++i) {
        const int sig = i == 0 ? s.release_signal : s.acquire_signal;
        struct sigaction now {};
        if (sigaction(sig, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) == 0 &&
            (now.sa_handler == on_release || now.sa_handler == on_acquire))
            sigaction(sig, &s.before[i], nullptr);
    }
    wake_fd.store(-1);
    close_pipes();
    s.release_signal = s.acquire_signal = 0;
}

bool session_following() { return s.following; }

int session_event_fd() { return s.events[0]; }  // -1 while not following

int session_take_event() {
    char byte = 0;
    return read(s.events[0], &byte, 1) == 1 ? static_cast<unsigned char>(byte) : 0;
}

}  // namespace zr
