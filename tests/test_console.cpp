// The console's switch to graphics and back: text again at zr_close, at exit
// and on SIGINT, SIGTERM and SIGHUP, with the program's own handlers run and
// put back.
#include "fake_terminal.hpp"
#include "memory_backend.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace zr_test;

namespace {

int handled_signal = 0, handled_info_signo = 0;
void plain_handler(int sig) { handled_signal = sig; }
void info_handler(int sig, siginfo_t *info, void *) {
    handled_signal = sig;
    handled_info_signo = info->si_signo;
}

enum class before { handler, siginfo, ignored };

void *install(int sig, before b) {
    struct sigaction a {};
    a.sa_flags = b == before::siginfo ? SA_SIGINFO : 0;
    if (b == before::siginfo) a.sa_sigaction = info_handler;
    else a.sa_handler = b == before::ignored ? SIG_IGN : plain_handler;
    sigaction(sig, &a, nullptr);
    return action_of(sig);
}

class Console : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }
    static void fresh() {
        use_terminal(&fake_console);
        handled_signal = handled_info_signo = 0;
    }
    void TearDown() override {
        memory_display_close();
        zr::set_console_device(nullptr);
        for (const int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
    }
    static void open_with_console() {
        ASSERT_EQ(memory_display_open(memory_display{}, ZR_INIT_CONSOLE), 0);
        ASSERT_EQ(set_modes(), std::vector<int>{KD_GRAPHICS});
    }
};

// Whatever the program had installed: the terminal gets its mode back once,
// the program's handler runs (a SA_SIGINFO one with the signal in its
// siginfo) and is the action again; an ignored signal was never taken over.
TEST_F(Console, EachSignalRestoresTheTerminalAndPassesItOn) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        for (const before b : {before::handler, before::siginfo, before::ignored}) {
            SCOPED_TRACE("signal " + std::to_string(sig) + ", before " + std::to_string(static_cast<int>(b)));
            void *const action = install(sig, b);
            fresh();
            open_with_console();
            raise(sig);
            const bool taken = b != before::ignored;
            EXPECT_EQ(set_modes().size(), taken ? 2u : 1u);
            EXPECT_EQ(set_modes().back(), taken ? found_mode : KD_GRAPHICS);
            EXPECT_EQ(handled_signal, taken ? sig : 0);
            EXPECT_EQ(handled_info_signo, b == before::siginfo ? sig : 0);
            EXPECT_EQ(action_of(sig), action);
            memory_display_close();
            EXPECT_EQ(set_modes(), (std::vector<int>{KD_GRAPHICS, found_mode})) << "restored once";
            EXPECT_EQ(action_of(sig), action);
            signal(sig, SIG_DFL);
        }
}

// zr_close gives the terminal its mode and every signal its action back,
// except where the program installed a handler of its own since.
TEST_F(Console, CloseRestoresTheModeAndTheHandlersStillOurs) {
    void *const info_action = install(SIGINT, before::siginfo);
    install(SIGTERM, before::handler);
    open_with_console();
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) EXPECT_NE(action_of(sig), nullptr);
    EXPECT_NE(action_of(SIGINT), info_action);
    signal(SIGTERM, SIG_IGN);  // the program's own, set after zr_init
    memory_display_close();
    EXPECT_EQ(set_modes(), (std::vector<int>{KD_GRAPHICS, found_mode}));
    EXPECT_EQ(action_of(SIGINT), info_action);
    EXPECT_EQ(action_of(SIGTERM), reinterpret_cast<void *>(SIG_IGN));
    EXPECT_EQ(action_of(SIGHUP), reinterpret_cast<void *>(SIG_DFL));
    raise(SIGINT);  // ours no longer: straight to the program's
    EXPECT_EQ(handled_signal, SIGINT);
    EXPECT_EQ(set_modes().size(), 2u);
}

// A signal left at its default still kills the process, after the terminal
// got its mode and its switching back; so does exit without zr_close.
TEST_F(Console, AProcessThatEndsGivesTheTerminalBack) {
    use_terminal(&fake_switching_console);
    for (const int sig : {SIGHUP, SIGTERM, 0}) {
        SCOPED_TRACE("signal " + std::to_string(sig));
        int status = 0;
        std::vector<int> got =
            child_reports([] { return memory_display_open(memory_display{}, ZR_INIT_CONSOLE); }, sig, &status);
        EXPECT_TRUE(sig != 0 ? WIFSIGNALED(status) && WTERMSIG(status) == sig
                             : WIFEXITED(status) && WEXITSTATUS(status) == 3)
            << status;
        ASSERT_EQ(got.size(), 4u);
        std::sort(got.begin() + 2, got.end());  // the mode and the switching come back in either order
        EXPECT_EQ(got, (std::vector<int>{KD_GRAPHICS, reported_vt_process, found_mode, found_frsig}));
    }
}

}  // namespace
