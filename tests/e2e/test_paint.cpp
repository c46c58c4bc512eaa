// The paint demo end to end: zr-vfb plays an input script to it, and its
// last picture shows each finger's stroke in its colour, the mouse's in
// white, the typed text on its line, and nothing once Escape cleared it.
#include "demo_runner.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// Runs paint under zr-vfb with the script; the last picture it left.
std::optional<e2e::rgb_picture> paint_picture(const e2e::temp_dir &tmp, const std::string &script, int *status) {
    const fs::path script_path = tmp / "input.script";
    std::ofstream(script_path) << script;
    const fs::path out = tmp / "shots";
    const std::string command = std::string("timeout 60 ") + ZR_VFB_RUNNER + " --size 800x480 --bpp 32 --input " +
                                script_path.string() + " --out " + out.string() + " -- " + ZR_PAINT_EXE + " >" +
                                (tmp / "log").string() + " 2>&1";
    *status = std::system(command.c_str());
    fs::path last;
    for (const auto &entry : fs::directory_iterator(out))
        if (entry.path().extension() == ".png" && entry.path() > last) last = entry.path();
    return e2e::read_png(last);
}

// Two fingers, a tablet stroke with the button held, "Hi!" typed, Ctrl-Q.
const std::string strokes_and_text =
    "0 add 1 touch 800 480 Panel\n0 add 2 keyboard\n0 add 3 tablet 800 480 Tablet\n"
    "100 touch 1 down 0 100 100\n100 touch 1 down 1 100 300\n120 touch 1 motion 0 300 100\n120 touch 1 motion 1 300 300\n"
    "140 touch 1 motion 0 300 200\n140 touch 1 up 1\n160 touch 1 up 0\n"
    "200 position 3 500 100\n210 button 3 272 down\n220 position 3 700 100\n230 position 3 700 250\n"
    "240 button 3 272 up\n250 position 3 500 400\n"
    "300 key 2 42 down\n301 key 2 35 down\n302 key 2 35 up\n303 key 2 42 up\n304 key 2 23 down\n305 key 2 23 up\n"
    "306 key 2 42 down\n307 key 2 2 down\n308 key 2 2 up\n309 key 2 42 up\n";
const std::string quit = "400 key 2 29 down\n401 key 2 16 down\n";

bool is(const e2e::rgb_picture &p, int x, int y, int r, int g, int b) {
    const unsigned char *px = p.at(x, y);
    return px[0] == r && px[1] == g && px[2] == b;
}

TEST(Paint, ScriptedStrokesAndTextShowAndEscapeClears) {
    const struct { const char *what; std::string script; bool cleared; } rows[] = {
        {"strokes", strokes_and_text + quit, false},
        {"escape", strokes_and_text + "350 key 2 1 down\n350 key 2 1 up\n" + quit, true},
    };
    for (const auto &r : rows) {
        e2e::temp_dir tmp;
        int status = -1;
        const std::optional<e2e::rgb_picture> p = paint_picture(tmp, r.script, &status);
        EXPECT_EQ(status, 0) << r.what;  // Ctrl-Q ended it
        ASSERT_TRUE(p.has_value()) << r.what;
        ASSERT_EQ(p->width, 800);
        // Finger 0, finger 1, the tablet with its button held.
        const struct { int x, y, r, g, b; } strokes[] = {
            {200, 100, 230, 60, 60}, {300, 150, 230, 60, 60}, {200, 300, 60, 200, 60}, {600, 100, 255, 255, 255}, {700, 200, 255, 255, 255}};
        for (const auto &s : strokes)
            EXPECT_EQ(is(*p, s.x, s.y, s.r, s.g, s.b), !r.cleared) << r.what << " at " << s.x << "," << s.y;
        EXPECT_TRUE(is(*p, 200, 200, 0, 0, 0)) << r.what;
        EXPECT_TRUE(is(*p, 600, 300, 0, 0, 0)) << r.what;  // moved without the button: no stroke
        // The text line: "> Hi!_" in white on its strip, or "> _" once cleared
        // (12-pixel characters: "i!" at 42 .. 65).
        int white = 0;
        for (int y = 452; y < 480; ++y)
            for (int x = 44; x < 64; ++x) white += is(*p, x, y, 255, 255, 255);
        EXPECT_EQ(white > 5, !r.cleared) << r.what << ": " << white << " white pixels where i! goes";
        EXPECT_TRUE(is(*p, 400, 470, 30, 30, 40)) << r.what;
    }
}

}  // namespace
