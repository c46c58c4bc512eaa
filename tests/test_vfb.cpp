// zr-vfb as its users run it: its options, the pictures it takes of a program
// (vfb_probe) at every depth and for every way of presenting, the pace of its
// vertical blank, faults passed on, and one master per DRM node.
#include "vfb.hpp"
#include "vfb_probe.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include "png_picture.hpp"
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bytes = std::vector<unsigned char>;

namespace {

const std::string probe = std::string(" -- ") + ZR_VFB_PROBE + " ";

std::string read_text(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct run_result {
    int status = -1;
    std::string out, err;
    std::vector<fs::path> frames;  // base/out/frame-0001.png, ... in order
};

// "zr-vfb --out base/out ARGS", its output kept in base; ended after two
// minutes, as a program that never reaches its frames would hang.
run_result zr_vfb(const fs::path &base, const std::string &args, const std::string &env = "") {
    const std::string command = env + " timeout -s KILL 120 " + ZR_VFB_RUNNER + " --out " + (base / "out").string() +
                                " " + args + " > " +
                                (base / "stdout").string() + " 2> " + (base / "stderr").string();
    const int status = std::system(command.c_str());
    run_result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_text(base / "stdout");
    r.err = read_text(base / "stderr");
    for (int n = 1; fs::exists(base / "out" / ("frame-000" + std::to_string(n) + ".png")); ++n)
        r.frames.push_back(base / "out" / ("frame-000" + std::to_string(n) + ".png"));
    return r;
}

// Each test's runs keep their output in a folder of its own.
class VfbRunner : public ::testing::Test {
protected:
    void SetUp() override {
        base = fs::temp_directory_path() /
               ("zr-test-vfb-" + std::to_string(getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base);
        fs::create_directories(base);
    }
    void TearDown() override { fs::remove_all(base); }
    fs::path base;
};

// The frames are the probe's pictures, in order, on a screen that keeps the
// given bits of red, green and blue.
void expect_pictures(const run_result &r, const std::vector<int> &pictures, int width, int height, int bits = 8,
                     int green_bits = 8) {
    ASSERT_EQ(r.frames.size(), pictures.size()) << r.err;
    auto keep = [](unsigned char v, int b) { return static_cast<unsigned char>(v & (0xFF << (8 - b))); };
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const zr_test::probe_picture &p = zr_test::probe_pictures[pictures[i] % 6];
        bytes expected;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const color_t c = x == 1 && y == 1 ? p.dot : p.fill;
                expected.insert(expected.end(), {keep(c.red, bits), keep(c.green, green_bits), keep(c.blue, bits)});
            }
        const auto pic = zr_test::read_png(r.frames[i]);
        ASSERT_TRUE(pic) << r.frames[i];
        EXPECT_EQ(pic->width, width);
        EXPECT_EQ(pic->height, height);
        EXPECT_TRUE(pic->rgb == expected) << r.frames[i] << " is not picture " << pictures[i];
    }
}

// Help exits 0; a bad option or value exits 2, naming it.
TEST_F(VfbRunner, HelpsAndNamesWhatItRefuses) {
    EXPECT_EQ(zr_vfb(base, "--help").status, 0);
    const run_result unknown = zr_vfb(base, "--sise 9x9 true");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown option '--sise'"), std::string::npos) << unknown.err;
    for (const char *bad : {"--size 480x360 --line-length 959 true", "--bpp 1 --size 9x4 --line-length 1 true",
                            "--device a:b true", "--drm --bpp 8 true", "--frames x true"})
        EXPECT_EQ(zr_vfb(base, bad).status, 2) << bad;
    EXPECT_NE(zr_vfb(base, "--size 480x360 --line-length 959 true").err.find(" 960 "), std::string::npos);

    // Its own options after the program are the program's, with a warning; not after "--".
    const run_result late = zr_vfb(base, "/bin/echo --frames 1 --bpp=8 --other");
    EXPECT_EQ(late.out, "--frames 1 --bpp=8 --other\n");
    EXPECT_NE(late.err.find("'--frames'"), std::string::npos) << late.err;
    EXPECT_NE(late.err.find("'--bpp=8'"), std::string::npos) << late.err;
    EXPECT_EQ(late.err.find("--other"), std::string::npos) << late.err;
    EXPECT_EQ(zr_vfb(base, "-- /bin/echo --frames 1").err.find("warning"), std::string::npos);

    // /dev/fb, /dev/fb0 and each --device path are the device; no other.
    for (const char *path : {"/dev/fb0", "/tmp/zr-test-given", "/dev/zr-test-not-given"}) {
        const run_result r = zr_vfb(base, "--size 6x3 --bpp 32 --device /tmp/zr-test-given" + probe + "open " + path);
        const bool given = std::string(path) != "/dev/zr-test-not-given";
        EXPECT_EQ(r.status, given ? 0 : 4) << path;
        expect_pictures(r, given ? std::vector<int>{0} : std::vector<int>{}, 6, 3);
    }
}

// Row 0 as given, padding, then row 1 all zero (black): a row 1 read from
// the wrong place picks up the padding.
TEST_F(VfbRunner, PicturesShowEveryDepthRowByRowPastThePadding) {
    const struct {
        int depth, width;
        const char *row;  // the pixels of row 0, as stored
        bytes rgb;        // what they show
    } cases[] = {
        {32, 3, "56341200FF00800001020304", {0x12, 0x34, 0x56, 0x80, 0x00, 0xFF, 0x03, 0x02, 0x01}},
        {24, 3, "563412010203FFFFFE", {0x12, 0x34, 0x56, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0xFF}},
        {16, 4, "00F8E0071F002108", {248, 0, 0, 0, 252, 0, 0, 0, 248, 8, 4, 8}},
        {15, 4, "007CE0031F002184", {248, 0, 0, 0, 248, 0, 0, 0, 248, 8, 8, 8}},
        {8, 3, "007FFF", {0, 0, 0, 0x7F, 0x7F, 0x7F, 0xFF, 0xFF, 0xFF}},
        {4, 3, "F180", {240, 240, 240, 16, 16, 16, 128, 128, 128}},
        {1, 10, "A040", {128, 128, 128, 0, 0, 0, 128, 128, 128, 0, 0, 0, 0, 0, 0,
                         0,   0,   0,   0, 0, 0, 0,   0,   0,   0, 0, 0, 128, 128, 128}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("depth " + std::to_string(c.depth));
        const std::string options = "--size " + std::to_string(c.width) + "x2 --bpp " + std::to_string(c.depth) +
                                    " --line-length " + std::to_string(std::strlen(c.row) / 2 + 5);
        const run_result r = zr_vfb(base, options + probe + "raw " + c.row);
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.frames.size(), 1u) << r.err;
        const auto pic = zr_test::read_png(r.frames[0]);
        ASSERT_TRUE(pic && pic->width == c.width);
        const bytes &rgb = pic->rgb;
        EXPECT_EQ(bytes(rgb.begin(), rgb.begin() + static_cast<long>(c.rgb.size())), c.rgb);
        EXPECT_EQ(bytes(rgb.begin() + static_cast<long>(c.rgb.size()), rgb.end()), bytes(c.rgb.size(), 0));
    }
}

// Sleeps of each kind: with --snap-on-sleep a picture before every long one
// and none before the device is open; without it, one whenever the screen
// changed. Then the exit picture, --frames ending the program with status 0,
// and the signals that end it.
TEST_F(VfbRunner, PicturesOnSleepsAtExitAndOnSignals) {
    run_result r = zr_vfb(base, "--size 7x5 --line-length 20 --snap-on-sleep 1500000 --fast" + probe + "sleeps");
    EXPECT_EQ(r.status, 3);
    expect_pictures(r, {0, 1, 2, 3, 5}, 7, 5, 5, 6);
    r = zr_vfb(base, "--size 7x5 --bpp 15 --fast" + probe + "sleeps");
    EXPECT_EQ(r.status, 3);
    expect_pictures(r, {0, 1, 2, 3, 4, 5}, 7, 5, 5, 5);
    r = zr_vfb(base, "--size 7x5 --bpp 32 --fast --frames 2" + probe + "sleeps");
    EXPECT_EQ(r.status, 0);
    expect_pictures(r, {0, 1}, 7, 5);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        r = zr_vfb(base, "--size 6x3 --bpp 32" + probe + "signal " + std::to_string(sig));
        EXPECT_EQ(r.status, 128 + sig) << "the program should die of signal " << sig;
        expect_pictures(r, {0}, 6, 3);
    }
}

// A picture for each frame presented, whatever the device grants, until
// --frames ends the program. Without --frames ("ticks"), each present waits
// for a later 1/60 s tick than the one before it where the vertical blank
// paces it, and the last frame is pictured once, whether the program leaves
// the screen panned away or puts the console back.
TEST_F(VfbRunner, EveryWayOfPresentingReachesTheFramesAsked) {
    const int D = ZR_INIT_DOUBLE_BUFFER, T = ZR_INIT_TRIPLE_BUFFER, S = ZR_INIT_SHADOW, V = ZR_INIT_VSYNC;
    const struct {
        bool drm;
        int flags;
        const char *fail, *how;  // still: no pauses, presents alone take pictures
    } modes[] = {{false, 0, "", ""},   {false, D, "", "ticks"}, {false, T, "", ""},       {false, S, "", ""},
                 {false, S | V, "", "ticks"}, {false, D, "pan", ""}, {true, 0, "", "still"}, {true, D, "", "ticks"},
                 {true, T, "", ""},    {true, S, "", ""},     {true, D, "drm-no-flip", "still"},
                 {true, D, "drm-dirty-needed", ""}, {true, D, "drm-prefer-shadow", ""}};
    for (const auto &m : modes) {
        if (m.drm && !ZR_VFB_TEST_DRM) continue;
        SCOPED_TRACE(std::string(m.drm ? "DRM" : "fbdev") + " flags " + std::to_string(m.flags) + " " + m.fail);
        const bool ticks = std::string(m.how) == "ticks";
        const run_result r = zr_vfb(base, std::string(m.drm ? "--drm " : "") + "--size 8x6 --bpp 32" +
                                              (ticks ? "" : " --fast --frames 3") + probe + "present " +
                                              std::to_string(m.flags) + (ticks ? " 3 " : " 0 ") + m.how,
                                    std::string("ZR_VFB_FAIL=") + m.fail);
        EXPECT_EQ(r.status, 0) << r.err;
        expect_pictures(r, {0, 1, 2}, 8, 6);
        std::istringstream lines(r.out);
        std::vector<long long> got;
        std::string word;
        for (long long t; lines >> word >> t;) got.push_back(t);
        EXPECT_TRUE(!ticks || (got.size() == 3 && got[0] < got[1] && got[1] < got[2])) << r.out;
    }
}

// While a program (here this test) is master of a node, another on the same
// node is refused as a kernel refuses it, and so is one told that a fault.
TEST_F(VfbRunner, OneProgramAtATimeIsMasterOfTheNode) {
    if (!ZR_VFB_TEST_DRM) GTEST_SKIP() << "no DRM node in this build";
    fs::create_directories(base / "out");
    setenv("ZR_VFB_DRM_DEVICE", "/dev/zr-test-dri", 1);
    setenv("ZR_VFB_MEMORY", (base / "out" / "fb.mem").c_str(), 1);
    const int fd = open("/dev/zr-test-dri", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(zr_vfb::drm_master_held());
    const std::string run = "--drm --size 8x6 --bpp 32" + probe + "present 0 1";
    EXPECT_EQ(zr_vfb(base, run).status, ERR_DRM_MASTER);
    close(fd);
    unsetenv("ZR_VFB_DRM_DEVICE");
    unsetenv("ZR_VFB_MEMORY");
    EXPECT_EQ(zr_vfb(base, run, "ZR_VFB_FAIL=drm-not-master").status, ERR_DRM_MASTER);
    const run_result alone = zr_vfb(base, run);
    EXPECT_EQ(alone.status, 0) << alone.err;
    expect_pictures(alone, {0}, 8, 6);
}

}  // namespace
