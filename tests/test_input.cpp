// Input through the script seam (what zr-vfb --input hands over).
#include "capture.hpp"
#include "display.hpp"
#include "fake_terminal.hpp"
#include "input.hpp"
#include "memory_backend.hpp"
#include "temp_file.hpp"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace zr_test;
using zr::input::read_pointercal;
using zr::input::read_script;
using zr::input::screen_map;

namespace {

TEST(InputScript, ReadsEveryVerbAndRefusesTheFirstBadLine) {
    const std::string head = "0 add 1 keyboard\n0 add 2 touch 100 50 Panel one\n0 add 3 tablet 10 10\n0 add 4 mouse\n";
    const struct { const char *lines; int bad_line; /* 0: read */ } rows[] = {
        {"5 key 1 30 down\n6 key 1 30 up # comment\n\n   \n", 0},
        {"5 touch 2 down 15 99 49\r\n6 touch 2 motion 15 0 0\n7 touch 2 up 15\n", 0},
        {"5 position 3 9 9\n5 move 4 -5 7\n5 button 4 272 down\n5 wheel 4 0 -2\n9 remove 4\n10 add 4 keyboard\n", 0},
        {"5 key 1 30 sideways\n", 5},
        {"5 key 2 30 down\n", 5},            // a touchscreen has no keys
        {"5 touch 2 down 16 1 1\n", 5},      // slots 0 .. 15
        {"5 touch 2 down 0 100 1\n", 5},     // x in 0 .. 99
        {"5 touch 2 down 0 1 50\n", 5},      // y in 0 .. 49
        {"5 touch 2 down 0 -1 1\n", 5},
        {"5 position 4 1 1\n", 5},           // a mouse has no absolute axes
        {"5 key 1 30 down\n4 key 1 30 up\n", 6},  // back in time
        {"5 key 1 30 down extra\n", 5},
        {"5 jump 1\n", 5},
        {"5 key 65 30 down\n", 5},           // devices 1 .. 64
        {"5 key 9 30 down\n", 5},            // never added
        {"5 add 1 mouse\n", 5},              // added twice
        {"5 remove 4\n6 move 4 1 1\n", 6},  // gone
        {"5 add 5 touch 0 10\n", 5},
        {"5 add 5 joystick\n", 5},
        {"99999999999999 key 1 30 down\n", 5},
        {"5 key 1 768 down\n", 5},
        {"5 wheel 4 1001 0\n", 5},
        {"x key 1 30 down\n", 5},
        {"18446744073709551621 key 1 30 down\n", 5},  // 2^64 + 5: too long to read, never wrapped
        {"5 remove 9\n", 5},
    };
    for (const auto &r : rows) {
        const std::string text = head + r.lines;
        std::vector<zr::input::script_event> events;
        int bad = -1;
        EXPECT_EQ(read_script(text.data(), text.size(), &events, &bad), r.bad_line == 0) << r.lines;
        EXPECT_EQ(bad, r.bad_line) << r.lines;
    }
    std::vector<zr::input::script_event> events;
    int bad = -1;
    const std::string comments(zr::input::script_max_bytes + 1, '#');  // larger than the bound
    EXPECT_FALSE(read_script(comments.data(), comments.size(), &events, &bad));
    EXPECT_EQ(bad, 0);
    const std::string text = head + "7 touch 2 down 3 99 49\n";
    ASSERT_TRUE(read_script(text.data(), text.size(), &events, &bad));
    ASSERT_EQ(events.size(), 5u);
    const zr::input::script_event &t = events[4];
    EXPECT_EQ(std::string(events[1].name) + "," + events[3].name, "Panel one,mouse");
    EXPECT_EQ((std::vector<long long>{events[1].range_x, events[1].range_y, int(t.op), t.at_ms, t.device, t.slot, t.a, t.b}),
              (std::vector<long long>{100, 50, int(zr::input::script_op::touch_down), 7, 2, 3, 99, 49}));
}

TEST(Pointercal, ReadsSevenIntegersAndRefusesTheRest) {
    const struct { const char *text; bool ok; int c[7]; } rows[] = {
        {"1 0 0 0 1 0 1", true, {1, 0, 0, 0, 1, 0, 1}},
        {"  -65536 12 +3\n4\t5 -6 65536 800 480\n", true, {-65536, 12, 3, 4, 5, -6, 65536}},
        {"2147483647 -2147483648 0 0 0 0 1", true, {2147483647, -2147483647 - 1, 0, 0, 0, 0, 1}},
        {"2147483648 0 0 0 0 0 1", false, {}},
        {"-2147483649 0 0 0 0 0 1", false, {}},
        {"99999999999999999999 0 0 0 0 0 1", false, {}},
        {"1 0 0 0 1 0 0", false, {}},  // s divides
        {"1 0 0 0 1 0", false, {}},
        {"1 0 0 0 1 x 1", false, {}},
        {"", false, {}},
        {"- 1 2 3 4 5 6 7", false, {}},
    };
    for (const auto &r : rows) {
        int c[7]{};
        EXPECT_EQ(read_pointercal(r.text, std::char_traits<char>::length(r.text), c), r.ok) << r.text;
        if (r.ok) { EXPECT_EQ(std::vector<int>(c, c + 7), std::vector<int>(r.c, r.c + 7)) << r.text; }
    }
}

TEST(InputMap, ScalesCalibratesTurnsAndClamps) {
    static const int swap_halved[7] = {0, 32768, 0, 65536, 0, 0, 65536};  // x' = y / 2, y' = x
    static const int shifted[7] = {1, 0, 10, 0, 1, -5, 1};
    const struct { int pw, ph, rotation; const int *calibration; double fx, fy; int x, y; } rows[] = {
        {800, 480, 0, nullptr, 0.5, 0.25, 400, 120},
        {480, 480, 0, nullptr, 123.0 / 480, 123.0 / 480, 123, 123},  // a whole pixel, not a hair under
        {320, 240, 0, nullptr, 0.5, 0.25, 160, 60},
        {800, 480, 0, nullptr, 1.0, 1.0, 799, 479},    // the far edge is the last pixel
        {800, 480, 0, nullptr, -0.5, 2.0, 0, 479},     // clamped
        {800, 480, 0, shifted, 0.0, 0.0, 10, 0},       // calibration, then the clamp
        {800, 480, 0, shifted, 0.5, 0.5, 410, 235},
        {800, 480, 0, swap_halved, 0.5, 0.25, 60, 400},
        // The turn from the picture to the panel, undone: the panel's top-right
        // is the top-left of a picture turned 90 degrees.
        {800, 480, 90, nullptr, 0.999, 0.0, 0, 0},
        {800, 480, 90, nullptr, 0.0, 0.999, 479, 799},
        {800, 480, 90, nullptr, 0.25, 0.5, 240, 599},
        {800, 480, 180, nullptr, 0.25, 0.5, 599, 239},
        {800, 480, 270, nullptr, 0.0, 0.999, 0, 0},
        {800, 480, 270, nullptr, 0.25, 0.5, 239, 200},
        {800, 480, 90, shifted, 0.0, 0.0, 0, 789},     // calibrated on the panel, before the turn
    };
    for (const auto &r : rows) {
        screen_map m;
        m.panel_width = r.pw, m.panel_height = r.ph, m.rotation = r.rotation, m.calibration = r.calibration;
        int x = -1, y = -1, w = 0, h = 0;
        zr::input::map_absolute(m, r.fx, r.fy, &x, &y);
        zr::input::logical_size(m, &w, &h);
        const bool upright = r.rotation % 180 == 0;
        EXPECT_EQ((std::vector<int>{x, y, w, h}), (std::vector<int>{r.x, r.y, upright ? r.pw : r.ph, upright ? r.ph : r.pw}))
            << r.pw << "x" << r.ph << " turned " << r.rotation << " at " << r.fx << "," << r.fy;
    }
}

void write_file(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

class Input : public ::testing::Test {
protected:
    const temp_file script_file{"script"};
    const std::string script_path = script_file.path;
    zr_input_t *input = nullptr;
    int display_flags = 0;  // zr_init_ex's, for the display open() opens

    void SetUp() override {
        unsetenv("XKB_DEFAULT_LAYOUT");
        use_terminal(&fake_console);
    }
    void TearDown() override {
        zr_input_close(input);
        memory_display_close();
        zr::set_console_device(nullptr);
        zr::input::set_session_hooks(nullptr);
        unsetenv("ZR_VFB_INPUT");
    }
    // A display of this size, and input playing the script (both closed first).
    void open(const std::string &script, int width = 800, int height = 480, int flags = 0) {
        zr_input_close(input);
        input = nullptr;
        memory_display_close();
        memory_display d;
        d.width = width, d.height = height;
        ASSERT_EQ(memory_display_open(d, display_flags), 0);
        write_file(script_path, script);
        setenv("ZR_VFB_INPUT", script_path.c_str(), 1);
        input = zr_input_open(flags);
        ASSERT_NE(input, nullptr) << zr_error_code;
    }
    // Every event (of these types, when given) up to the first that does not
    // come within timeout_ms.
    std::vector<zr_event_t> events(int timeout_ms = 50, const std::vector<int> &types = {}) {
        std::vector<zr_event_t> got;
        zr_event_t e;
        while (zr_input_next(input, &e, timeout_ms) == 1)
            if (types.empty() || std::find(types.begin(), types.end(), e.type) != types.end()) got.push_back(e);
        return got;
    }
};

TEST_F(Input, OpenRefusesWhatItCannotRead) {
    memory_display d;
    ASSERT_EQ(memory_display_open(d, 0), 0);
    const struct { const char *script; /* null: no file */ int flags, code; } rows[] = {
        {"10 add 1 keyboard\n", 0, ERR_NO_INPUT},  // nothing at the start
        {"0 add 1 keyboard\n0 key 1 30 down up\n", 0, ERR_NO_INPUT},
        {nullptr, 0, ERR_NO_INPUT},
        {"0 add 1 keyboard\n", 0x100, ERR_INIT_FLAGS},
    };
    for (const auto &r : rows) {
        std::remove(script_path.c_str());
        if (r.script != nullptr) write_file(script_path, r.script);
        setenv("ZR_VFB_INPUT", script_path.c_str(), 1);
        zr_error_code = 0;
        EXPECT_EQ(zr_input_open(r.flags), nullptr) << (r.script != nullptr ? r.script : "no file");
        EXPECT_EQ(zr_error_code, r.code);
    }
    EXPECT_EQ(term.keyboard_mode, K_UNICODE);
}

TEST_F(Input, TabletAndMouseLandOnTheScreenAtTwoSizes) {
    const std::string script =
        "0 add 1 tablet 1000 1000\n0 add 2 mouse\n"
        "10 position 1 500 250\n20 button 1 272 down\n30 button 1 272 up\n"
        "40 move 2 -100000 5\n50 move 2 30 -7\n60 move 2 100000 100000\n70 wheel 2 -1 3\n";
    const int types[7] = {ZR_EVENT_POINTER_MOTION, ZR_EVENT_BUTTON_DOWN, ZR_EVENT_BUTTON_UP, ZR_EVENT_POINTER_MOTION,
                          ZR_EVENT_POINTER_MOTION, ZR_EVENT_POINTER_MOTION, ZR_EVENT_WHEEL};
    const struct { int w, h, at[7][2]; } rows[] = {
        {800, 480, {{400, 120}, {400, 120}, {400, 120}, {0, 125}, {30, 118}, {799, 479}, {799, 479}}},
        {320, 240, {{160, 60}, {160, 60}, {160, 60}, {0, 65}, {30, 58}, {319, 239}, {319, 239}}},
    };
    for (const auto &r : rows) {
        open(script, r.w, r.h);
        const std::vector<zr_event_t> got = events(50, {ZR_EVENT_POINTER_MOTION, ZR_EVENT_BUTTON_DOWN, ZR_EVENT_BUTTON_UP,
                                                  ZR_EVENT_WHEEL});
        ASSERT_EQ(got.size(), 7u) << r.w;
        for (int i = 0; i < 7; ++i)
            EXPECT_TRUE(got[i].type == types[i] && got[i].x == r.at[i][0] && got[i].y == r.at[i][1])
                << r.w << " #" << i << ": " << got[i].type << " at " << got[i].x << "," << got[i].y;
        EXPECT_EQ((std::vector<int>{got[1].key, got[1].device, got[3].device, got[6].wheel_x, got[6].wheel_y}),
                  (std::vector<int>{BTN_LEFT, 1, 2, -1, 3}));
    }
}

// On a turned screen a finger lands where the program drew under it.
TEST_F(Input, TouchesFollowATurnedScreen) {
    const struct { int flags, x, y; } rows[] = {{ZR_INIT_ROTATE_90, 120, 399}, {ZR_INIT_ROTATE_180, 399, 359}, {ZR_INIT_ROTATE_270, 359, 400}};
    for (const auto &r : rows) {
        display_flags = r.flags;
        open("0 add 1 touch 1000 1000\n10 touch 1 down 0 500 250\n");
        const std::vector<zr_event_t> got = events(50, {ZR_EVENT_TOUCH_DOWN});
        ASSERT_EQ(got.size(), 1u) << r.flags;
        EXPECT_EQ((std::vector<int>{got[0].x, got[0].y}), (std::vector<int>{r.x, r.y})) << r.flags;
    }
}

// More events due at once than the queue holds: the script waits, none is lost.
TEST_F(Input, ABurstLargerThanTheQueueArrivesWhole) {
    std::string script = "0 add 1 touch 5000 10\n0 touch 1 down 0 0 0\n";
    for (int i = 1; i < 5000; ++i) script += "0 touch 1 motion 0 " + std::to_string(i) + " 0\n";
    open(script, 5000, 10);
    const std::vector<zr_event_t> got = events(0, {ZR_EVENT_TOUCH_DOWN, ZR_EVENT_TOUCH_MOTION});
    ASSERT_EQ(got.size(), 5000u);
    EXPECT_EQ(got.back().x, 4999);
}

TEST_F(Input, CalibrationBySetAndByPointercal) {
    const temp_file pointercal_file("pointercal");
    const std::string &pointercal = pointercal_file.path;
    write_file(pointercal, "-65536 0 52428800 0 65536 -20 65536\n");  // x' = 800 - x, y' = y - 20 / 65536
    // Tablets keep their own: none from device 0's, at open or plugged in later.
    open("0 add 1 touch 800 480\n0 add 2 touch 800 480\n0 add 4 tablet 800 480\n"
         "300 touch 1 down 0 100 200\n300 touch 2 down 0 100 200\n300 position 4 100 200\n"
         "310 add 3 touch 800 480\n310 add 5 tablet 800 480\n320 touch 3 down 0 100 200\n320 position 5 100 200\n");
    EXPECT_EQ(events(0, {ZR_EVENT_DEVICE_ADDED}).size(), 3u);
    const int doubled[7] = {2, 0, 0, 0, 2, 0, 1};
    EXPECT_EQ(zr_input_set_calibration(input, 0, doubled), 0);
    EXPECT_EQ(zr_input_load_pointercal(input, 1, pointercal.c_str()), 0);
    const int no_divisor[7] = {1, 0, 0, 0, 1, 0, 0};
    EXPECT_NE(zr_input_set_calibration(input, 2, no_divisor), 0);
    EXPECT_EQ(zr_input_set_calibration(input, 9, doubled), ERR_NO_INPUT);
    EXPECT_NE(zr_input_load_pointercal(input, 1, (pointercal + ".missing").c_str()), 0);
    const std::vector<zr_event_t> got = events(400, {ZR_EVENT_TOUCH_DOWN, ZR_EVENT_POINTER_MOTION});
    ASSERT_EQ(got.size(), 5u);
    // The pointercal file's, every touchscreen's, a tablet's own, one plugged
    // in later (still every touchscreen's), a tablet's own.
    const int want[5][3] = {{ZR_EVENT_TOUCH_DOWN, 700, 199}, {ZR_EVENT_TOUCH_DOWN, 200, 400}, {ZR_EVENT_POINTER_MOTION, 100, 200},
                            {ZR_EVENT_TOUCH_DOWN, 200, 400}, {ZR_EVENT_POINTER_MOTION, 100, 200}};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ((std::vector<int>{got[i].type, got[i].x, got[i].y}), (std::vector<int>(want[i], want[i] + 3))) << i;
    EXPECT_EQ(zr_input_set_calibration(input, 3, nullptr), 0);
}

// Keys 30 (A), 21 (Y), 44 (Z), 16 (Q), 3 (2), shifted with 42 and held with
// Control (29), in the layout asked for.
TEST_F(Input, KeyTextFollowsTheLayout) {
    const std::string script =
        "0 add 1 keyboard\n"
        "1 key 1 30 down\n1 key 1 30 up\n2 key 1 21 down\n2 key 1 21 up\n3 key 1 44 down\n3 key 1 44 up\n"
        "4 key 1 16 down\n4 key 1 16 up\n5 key 1 42 down\n5 key 1 3 down\n5 key 1 3 up\n5 key 1 42 up\n"
        "6 key 1 29 down\n6 key 1 16 down\n6 key 1 16 up\n6 key 1 29 up\n";
    const struct { const char *layout; bool by_environment; const char *texts[7]; /* a, y, z, q, shift-2, shift, ctrl-q */ } rows[] = {
        {"us", false, {"a", "y", "z", "q", "@", "", "\x11"}},
        {"de", false, {"a", "z", "y", "q", "\"", "", "\x11"}},
        {"fr", true, {"q", "y", "w", "a", "2", "", "\x01"}},
    };
    for (const auto &r : rows) {
        if (r.by_environment) setenv("XKB_DEFAULT_LAYOUT", r.layout, 1);
        open(script);
        EXPECT_EQ(r.by_environment ? 0 : zr_input_set_layout(input, r.layout, nullptr, nullptr), 0);
        const std::vector<zr_event_t> got = events(50, {ZR_EVENT_KEY_DOWN});
        unsetenv("XKB_DEFAULT_LAYOUT");
        ASSERT_EQ(got.size(), 8u) << r.layout;
        const int text_of[7] = {0, 1, 2, 3, 5, 4, 7};  // shift comes before shift-2
        for (int i = 0; i < 7; ++i) EXPECT_STREQ(got[text_of[i]].text, r.texts[i]) << r.layout << " #" << i;
        EXPECT_EQ((std::vector<unsigned>{unsigned(got[0].key), unsigned(got[0].modifiers), unsigned(got[5].modifiers),
                                         unsigned(got[7].modifiers), got[4].keysym}),  // the last: Shift_L
                  (std::vector<unsigned>{30, 0, ZR_MOD_SHIFT, ZR_MOD_CTRL, 0xffe1u})) << r.layout;
    }
}

// Text beyond ASCII comes whole (Cyrillic: two bytes a letter); a layout
// that does not exist is refused and the one before stays.
TEST_F(Input, KeysOfOtherScriptsGiveTheirText) {
    open("0 add 1 keyboard\n1 key 1 30 down\n1 key 1 30 up\n");
    ASSERT_EQ(zr_input_set_layout(input, "ru", nullptr, nullptr), 0);
    EXPECT_NE(zr_input_set_layout(input, "no-such-layout", nullptr, nullptr), 0);
    const std::vector<zr_event_t> got = events(50, {ZR_EVENT_KEY_DOWN, ZR_EVENT_KEY_UP});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_STREQ(got[0].text, "\xd1\x84");  // U+0444, Cyrillic_ef
    EXPECT_STREQ(got[1].text, "");         // a release types nothing
    EXPECT_TRUE(got[0].keysym == 0x6c6u && got[1].keysym == 0x6c6u);
}

// Held 680 ms: repeats at 600, 640 and 680 ms, the last ahead of the
// release at the same moment; a
// modifier does not repeat, another keyboard's release of the same key
// does not stop it, and a key stops when its keyboard goes.
TEST_F(Input, HeldKeysRepeatAtTheirTimes) {
    open("0 add 1 keyboard\n0 add 2 keyboard\n"
         "0 key 1 42 down\n0 key 1 30 down\n680 key 1 30 up\n700 key 1 42 up\n"
         "710 key 2 48 down\n720 key 1 48 up\n1330 remove 2\n");
    const std::vector<zr_event_t> got = events(1000, {ZR_EVENT_KEY_DOWN, ZR_EVENT_KEY_UP, ZR_EVENT_KEY_REPEAT, ZR_EVENT_DEVICE_REMOVED});
    const int expect[][3] = {
        {ZR_EVENT_KEY_DOWN, 42, 0},     {ZR_EVENT_KEY_DOWN, 30, 0},      {ZR_EVENT_KEY_REPEAT, 30, 600},
        {ZR_EVENT_KEY_REPEAT, 30, 640}, {ZR_EVENT_KEY_REPEAT, 30, 680}, {ZR_EVENT_KEY_UP, 30, 680},
        {ZR_EVENT_KEY_UP, 42, 700},     {ZR_EVENT_KEY_DOWN, 48, 710},    {ZR_EVENT_KEY_UP, 48, 720},
        {ZR_EVENT_KEY_REPEAT, 48, 1310}, {ZR_EVENT_DEVICE_REMOVED, 0, 1330},
    };
    ASSERT_GE(got.size(), 11u);
    const std::uint64_t start = got[0].time_usec;
    for (int i = 0; i < 11; ++i)
        EXPECT_TRUE(got[i].type == expect[i][0] && got[i].key == expect[i][1] &&
                    got[i].time_usec - start == static_cast<std::uint64_t>(expect[i][2]) * 1000) << "#" << i;
    EXPECT_EQ(got.size(), 11u);  // none at 1350 ms
    EXPECT_STREQ(got[2].text, "A");
    EXPECT_EQ(got[2].modifiers, ZR_MOD_SHIFT);
}

TEST_F(Input, AModifierHeldAloneDoesNotRepeat) {
    open("0 add 1 keyboard\n0 key 1 42 down\n700 key 1 42 up\n");
    const std::vector<zr_event_t> got = events(800, {ZR_EVENT_KEY_DOWN, ZR_EVENT_KEY_UP, ZR_EVENT_KEY_REPEAT});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].type, ZR_EVENT_KEY_UP);
}

TEST_F(Input, HotplugNumbersDevicesAndCancelsTheirTouches) {
    open("0 add 1 touch 100 100\n"
         "10 add 2 keyboard Late\n20 touch 1 down 4 50 50\n20 touch 1 down 6 10 10\n20 touch 1 up 4\n"
         "30 remove 1\n40 remove 2\n50 add 1 mouse\n");
    const std::vector<zr_event_t> got =
        events(100, {ZR_EVENT_DEVICE_ADDED, ZR_EVENT_DEVICE_REMOVED, ZR_EVENT_TOUCH_CANCEL});
    const int expect[][3] = {
        {ZR_EVENT_DEVICE_ADDED, 1, ZR_DEVICE_TOUCH},   {ZR_EVENT_DEVICE_ADDED, 2, ZR_DEVICE_KEYBOARD},
        {ZR_EVENT_TOUCH_CANCEL, 1, 6},                 {ZR_EVENT_DEVICE_REMOVED, 1, ZR_DEVICE_TOUCH},
        {ZR_EVENT_DEVICE_REMOVED, 2, ZR_DEVICE_KEYBOARD}, {ZR_EVENT_DEVICE_ADDED, 3, ZR_DEVICE_POINTER},
    };
    ASSERT_EQ(got.size(), 6u);
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(got[i].type == expect[i][0] && got[i].device == expect[i][1] &&
                    (got[i].type == ZR_EVENT_TOUCH_CANCEL ? got[i].slot : got[i].capabilities) == expect[i][2]) << "#" << i;
    EXPECT_STREQ(got[0].name, "touch");  // an unnamed device is called by its kind
    EXPECT_STREQ(got[4].name, "Late");
}

// The session's descriptor appears after open; its events come through with
// device 0, and the one descriptor wakes a poll for them.
int session_fd = -1;
std::vector<int> session_events;
int hook_fd() { return session_fd; }
int hook_take() {
    if (session_events.empty()) return 0;
    const int e = session_events.front();
    session_events.erase(session_events.begin());
    std::uint64_t n = 0;
    if (session_events.empty()) (void)!read(session_fd, &n, sizeof n);
    return e;
}
const zr::input::session_hooks hooks{hook_fd, hook_take};

bool readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

TEST_F(Input, SessionEventsWakeThePollAndPassThrough) {
    session_fd = -1;
    zr::input::set_session_hooks(&hooks);
    open("0 add 1 keyboard\n");
    events(0);
    const int fd = zr_input_fd(input);
    EXPECT_FALSE(readable(fd, 0));
    session_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(session_fd, 0);
    EXPECT_FALSE(readable(zr_input_fd(input), 0));  // asking again takes the session's descriptor in
    session_events = {ZR_EVENT_SCREEN_LEFT, ZR_EVENT_SCREEN_BACK};
    const std::uint64_t one = 1;
    ASSERT_EQ(write(session_fd, &one, sizeof one), 8);
    EXPECT_TRUE(readable(fd, 100));
    const std::vector<zr_event_t> got = events(0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].type == ZR_EVENT_SCREEN_LEFT && got[0].device == 0 && got[1].type == ZR_EVENT_SCREEN_BACK);
    EXPECT_FALSE(readable(fd, 0));
    zr_input_close(input);
    input = nullptr;
    close(session_fd);
    session_fd = -1;
}

TEST_F(Input, TheDescriptorWakesWhenAnEventIsDueAndWhileEventsWait) {
    open("0 add 1 keyboard\n150 key 1 30 down\n150 key 1 30 up\n");
    const int fd = zr_input_fd(input);
    zr_event_t e{};
    const auto next = [&] { return zr_input_next(input, &e, 0) == 1 ? e.type : 0; };
    // The device's event waits; nothing until the key is due; then its release waits in the queue.
    EXPECT_EQ((std::vector<int>{readable(fd, 0), next(), readable(fd, 0), next(), readable(fd, 2000), next(), readable(fd, 0),
                                next(), next(), zr_input_next(nullptr, &e, 0), zr_input_fd(nullptr)}),
              (std::vector<int>{1, ZR_EVENT_DEVICE_ADDED, 0, 0, 1, ZR_EVENT_KEY_DOWN, 1, ZR_EVENT_KEY_UP, 0, -1, -1}));
}

// Off, the keyboard no longer switches terminals by itself: Ctrl+Alt+F2 does
// through the library, F2 alone and Ctrl+F3 do not.
TEST_F(Input, TheConsoleKeyboardIsOffWhileOpenUnlessAskedToLeaveIt) {
    open("0 add 1 keyboard\n1 key 1 60 down\n1 key 1 60 up\n2 key 1 29 down\n2 key 1 61 down\n2 key 1 61 up\n"
         "3 key 1 56 down\n3 key 1 60 down\n");
    EXPECT_EQ(term.keyboard_mode, K_OFF);
    events();
    EXPECT_EQ(term.activated, 2);
    zr_input_close(input);
    input = nullptr;
    EXPECT_EQ(term.keyboard_mode, K_UNICODE);
    open("0 add 1 keyboard\n", 800, 480, ZR_INPUT_CONSOLE_KEYS);
    EXPECT_EQ(term.keyboard_mode, K_UNICODE);
}

}  // namespace

#if ZR_HAVE_SEAT
// Without a seat manager the devices are opened directly, and none is ever
// started: libseat left to itself would run a seatd of its own inside the
// program (its "builtin" backend). LIBSEAT_BACKEND is left as it was. While
// the display follows the terminal's switches itself none is asked: one
// bound to the terminal would take them over.
TEST_F(Input, WithoutASeatManagerDevicesAreOpenedDirectly) {
    const temp_file socket("no-seatd.sock");
    std::remove(socket.c_str());
    setenv("SEATD_SOCK", socket.c_str(), 1);
    setenv("ZR_DEBUG", "1", 1);
    unsetenv("ZR_VFB_INPUT");
    const char *direct = "zr: no seat manager (seatd, logind) answered: input devices opened directly";
    const struct { const char *backend; /* null: unset */ bool console; /* ZR_INIT_CONSOLE */ const char *said; } rows[] = {
        {nullptr, false, direct},
        {"seatd", false, direct},
        {"builtin", false, "zr: LIBSEAT_BACKEND=builtin is not a seat manager (seatd, logind): none used"},
        {"noop", false, "zr: LIBSEAT_BACKEND=noop is not a seat manager (seatd, logind): none used"},
        {"seatd", true, "zr: the display follows the virtual terminal itself (ZR_INIT_CONSOLE): no seat manager used"},
    };
    for (const auto &r : rows) {
        if (r.backend != nullptr) setenv("LIBSEAT_BACKEND", r.backend, 1);
        else unsetenv("LIBSEAT_BACKEND");
        if (r.console) {
            use_terminal(&fake_switching_console);
            ASSERT_EQ(memory_display_open(memory_display{}, ZR_INIT_CONSOLE), 0);
        }
        // The build machine may have devices of its own: its console's keyboard is left alone.
        const std::string said = capture_stderr([&] { input = zr_input_open(ZR_INPUT_CONSOLE_KEYS); });
        zr_input_close(input);
        input = nullptr;
        memory_display_close();
        const char *left = std::getenv("LIBSEAT_BACKEND");
        EXPECT_EQ(left != nullptr ? std::string(left) : "(unset)", r.backend != nullptr ? r.backend : "(unset)");
        EXPECT_TRUE(said.find(r.said) != std::string::npos && said.find("seat manager (libseat's") == std::string::npos &&
                    said.find("embedded seatd") == std::string::npos) << said;
    }
    unsetenv("LIBSEAT_BACKEND");
    unsetenv("SEATD_SOCK");
    unsetenv("ZR_DEBUG");
}
#endif
