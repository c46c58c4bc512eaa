// The console's switch to graphics and back, on a terminal of the test's own
// (a descriptor of /dev/null whose modes are recorded): text again at
// zr_close, at exit and on SIGINT, SIGTERM and SIGHUP, with the program's own
// handlers run and put back.
#include "display.hpp"
#include "memory_backend.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/kd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

using namespace zr_test;

namespace {

constexpr int mode_found = KD_TEXT1;  // what the terminal was in: put back as it was
int modes[8], mode_count = 0;         // each KDSETMODE, in order
int report_fd = -1;                   // where a forked child writes its modes too

int fake_open() { return open("/dev/null", O_RDWR | O_CLOEXEC); }
int fake_get_mode(int, int *mode) {
    *mode = mode_found;
    return 0;
}
int fake_set_mode(int, int mode) {
    if (mode_count < 8) modes[mode_count++] = mode;
    if (report_fd >= 0) (void)!write(report_fd, &mode, sizeof mode);
    return 0;
}
// A terminal that cannot be followed (VT_SETMODE on /dev/null fails): switches
// are test_session's.
const zr::console_device terminal{fake_open, fake_get_mode, fake_set_mode, nullptr, nullptr, nullptr};

int handled_signal = 0, handled_info_signo = 0;
void plain_handler(int sig) { handled_signal = sig; }
void info_handler(int sig, siginfo_t *info, void *) {
    handled_signal = sig;
    handled_info_signo = info->si_signo;
}

enum class before { handler, siginfo, ignored };

void install(int sig, before b) {
    struct sigaction a {};
    sigemptyset(&a.sa_mask);
    if (b == before::siginfo) {
        a.sa_flags = SA_SIGINFO;
        a.sa_sigaction = info_handler;
    } else {
        a.sa_handler = b == before::ignored ? SIG_IGN : plain_handler;
    }
    sigaction(sig, &a, nullptr);
}

// The function that handles sig now (sa_handler and sa_sigaction share it).
void *action_of(int sig) {
    struct sigaction now {};
    sigaction(sig, nullptr, &now);
    return (now.sa_flags & SA_SIGINFO) != 0 ? reinterpret_cast<void *>(now.sa_sigaction)
                                             : reinterpret_cast<void *>(now.sa_handler);
}

void *expected_action(before b) {
    return b == before::siginfo   ? reinterpret_cast<void *>(info_handler)
           : b == before::ignored ? reinterpret_cast<void *>(SIG_IGN)
                                  : reinterpret_cast<void *>(plain_handler);
}

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        zr::set_console_device(&terminal);
        mode_count = 0;
        handled_signal = handled_info_signo = 0;
    }
    void TearDown() override {
        memory_display_close();
        zr::set_console_device(nullptr);
        for (const int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
    }
    static void open_with_console() {
        ASSERT_EQ(memory_display_open(memory_display{}, ZR_INIT_CONSOLE), 0);
        zr_display_info_t i{};
        zr_display_info(&i);
        ASSERT_EQ(i.console, 1);
        ASSERT_EQ(mode_count, 1);
        EXPECT_EQ(modes[0], KD_GRAPHICS);
    }
};

// Each signal, whatever the program had installed for it: the terminal gets
// its mode back once, the program's handler runs (a SA_SIGINFO one with the
// signal in its siginfo) and is the signal's action again; an ignored signal
// was never taken over and ends nothing.
TEST_F(Console, EachSignalRestoresTheTerminalAndPassesItOn) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        for (const before b : {before::handler, before::siginfo, before::ignored}) {
            SCOPED_TRACE("signal " + std::to_string(sig) + ", before " + std::to_string(static_cast<int>(b)));
            install(sig, b);
            mode_count = 0;
            handled_signal = handled_info_signo = 0;
            open_with_console();
            raise(sig);
            const bool taken = b != before::ignored;
            ASSERT_EQ(mode_count, taken ? 2 : 1);
            if (taken) {
                EXPECT_EQ(modes[1], mode_found);
            }
            EXPECT_EQ(handled_signal, taken ? sig : 0);
            EXPECT_EQ(handled_info_signo, b == before::siginfo ? sig : 0);
            EXPECT_EQ(action_of(sig), expected_action(b));
            memory_display_close();
            EXPECT_EQ(mode_count, 2) << "restored once, by the signal or by zr_close";
            EXPECT_EQ(action_of(sig), expected_action(b));
            signal(sig, SIG_DFL);
        }
}

// zr_close gives the terminal its mode and every signal its action back,
// except where the program installed a handler of its own since.
TEST_F(Console, CloseRestoresTheModeAndTheHandlersStillOurs) {
    install(SIGINT, before::siginfo);
    install(SIGTERM, before::handler);
    open_with_console();
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) EXPECT_NE(action_of(sig), nullptr);
    EXPECT_NE(action_of(SIGINT), expected_action(before::siginfo));
    signal(SIGTERM, SIG_IGN);  // the program's own, set after zr_init
    memory_display_close();
    ASSERT_EQ(mode_count, 2);
    EXPECT_EQ(modes[1], mode_found);
    EXPECT_EQ(action_of(SIGINT), expected_action(before::siginfo));
    EXPECT_EQ(action_of(SIGTERM), reinterpret_cast<void *>(SIG_IGN));
    EXPECT_EQ(action_of(SIGHUP), reinterpret_cast<void *>(SIG_DFL));
    raise(SIGINT);  // ours no longer: straight to the program's
    EXPECT_EQ(handled_signal, SIGINT);
    EXPECT_EQ(mode_count, 2);
}

// Endings that end the process: a signal left at its default still kills it,
// after the terminal got its mode back; so does exit without zr_close.
TEST_F(Console, AProcessThatEndsGivesTheTerminalBack) {
    const struct {
        int sig;  // 0: exit(3)
    } endings[] = {{SIGHUP}, {SIGTERM}, {0}};
    for (const auto &e : endings) {
        SCOPED_TRACE("signal " + std::to_string(e.sig));
        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipe_fds[0]);
            report_fd = pipe_fds[1];
            if (memory_display_open(memory_display{}, ZR_INIT_CONSOLE) != 0) _exit(9);
            if (e.sig != 0) raise(e.sig);
            std::exit(3);
        }
        close(pipe_fds[1]);
        int got[4]{}, n = 0;
        while (n < 4 && read(pipe_fds[0], &got[n], sizeof got[n]) == static_cast<ssize_t>(sizeof got[n])) ++n;
        close(pipe_fds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (e.sig != 0) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == e.sig) << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
        }
        ASSERT_EQ(n, 2);
        EXPECT_EQ(got[0], KD_GRAPHICS);
        EXPECT_EQ(got[1], mode_found);
    }
}

}  // namespace
