// The demo program end to end, under the virtual framebuffer: what it
// prints, what the screen shows at the bitmap pauses, and that it runs pass
// after pass without growing.
#include "demo_runner.hpp"
#include "zr.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using e2e::run_options;

const std::vector<std::string> all_images = {"bpp-01.bmp", "bpp-04.bmp", "bpp-08.bmp", "bpp-24.bmp", "bpp-32.bmp"};

// "[zr error:CODE]MESSAGE (called from main)\n", EUC-KR; each code's message
// is the error channel's own test.
const std::string from_main = " (\xb8\xde\xc0\xce\xbf\xa1\xbc\xad \xc8\xa3\xc3\xe2)\n";
const std::string no_bpp04_line =
    "[zr error:6]\xc0\xcc\xb9\xcc\xc1\xf6 \xc6\xc4\xc0\xcf\xc0\xcc \xbe\xf8\xc0\xbd (bpp-04.bmp)\n";

// A run in cwd that keeps its files in tmp.
run_options in(const fs::path &cwd, const e2e::temp_dir &tmp) { return {.cwd = cwd, .scratch = tmp.path()}; }

// The snapshot shows the BMP file centred as the demo places it, each pixel
// as zr_bmp_open decodes it and a screen of this depth stores it (5-6-5 at
// 16 bits, unchanged at 32).
testing::AssertionResult shows_centred(const fs::path &snapshot, const fs::path &bmp_file, int bpp, int screen_w,
                                       int screen_h) {
    const auto frame = e2e::read_png(snapshot);
    if (!frame || frame->width != screen_w || frame->height != screen_h)
        return testing::AssertionFailure() << "no readable snapshot of the screen's size: " << snapshot;
    const std::unique_ptr<bmp_t, void (*)(bmp_t *)> bmp(zr_bmp_open(bmp_file.c_str()), zr_bmp_close);
    if (!bmp) return testing::AssertionFailure() << "cannot load " << bmp_file << ": " << zr_error_code;
    const int w = bmp->dc.width, h = bmp->dc.height, left = screen_w / 2 - w / 2, top = screen_h / 2 - h / 2;
    const int keep[3] = {bpp == 16 ? 0xF8 : 0xFF, bpp == 16 ? 0xFC : 0xFF, bpp == 16 ? 0xF8 : 0xFF};
    int compared = 0;
    for (int y = std::max(0, -top); y < h && top + y < screen_h; ++y)
        for (int x = std::max(0, -left); x < w && left + x < screen_w; ++x, ++compared) {
            color_t c{};
            zr_get_pixel(&bmp->dc, x, y, &c);
            const unsigned char *got = frame->at(left + x, top + y), want[3] = {c.red, c.green, c.blue};
            for (int i = 0; i < 3; ++i)
                if (got[i] != (want[i] & keep[i]))
                    return testing::AssertionFailure() << snapshot.filename() << " vs " << bmp_file.filename() << ": image ("
                                                       << x << "," << y << ") channel " << i << " wants "
                                                       << (want[i] & keep[i]) << ", screen has " << int(got[i]);
        }
    if (compared == 0) return testing::AssertionFailure() << bmp_file << " lies off the screen";
    return testing::AssertionSuccess();
}

// The last screen is smaller than the images (clipped on every side),
// odd-sized and with padded rows. On the first bpp-04.bmp is missing: it is
// reported on each of two passes and the others still show.
TEST(Demo, BitmapPausesShowEachImageCentredAsDecoded) {
    const struct { int bpp, width, height; long line_length; bool missing; } screens[] = {
        {16, 320, 240, 0, true}, {32, 320, 240, 0, false}, {16, 175, 101, 400, false}};
    for (const auto &s : screens) {
        SCOPED_TRACE(std::to_string(s.bpp) + " bits, " + std::to_string(s.width) + "x" + std::to_string(s.height));
        e2e::temp_dir tmp;
        const fs::path images = tmp / "images", snaps = tmp / "snaps";
        fs::create_directory(images);
        fs::create_directory(snaps);
        std::vector<std::string> shown;
        for (const std::string &name : all_images)
            if (!s.missing || name != "bpp-04.bmp") fs::copy_file(fs::path(ZR_SAMPLE_DIR) / name, images / name), shown.push_back(name);
        const int frames = s.missing ? 8 : 5;
        run_options opt = in(images, tmp);
        opt.env = e2e::snapshot_env(snaps, s.bpp, s.width, s.height, frames);
        opt.env.emplace_back("ZR_VFB_LINE_LENGTH", std::to_string(s.line_length));
        const e2e::run_result r = e2e::run_demo(opt);
        ASSERT_EQ(r.exit_code, 0) << r.describe();
        EXPECT_EQ(r.out, s.missing ? no_bpp04_line + no_bpp04_line : "");
        for (int k = 0; k < frames; ++k)
            EXPECT_TRUE(shows_centred(e2e::frame_path(snaps, k + 1), images / shown[std::size_t(k) % shown.size()], s.bpp,
                                      s.width, s.height));
    }
}

TEST(Demo, StartupFailurePrintsOneLineAndExitsWithZero) {
    const struct {
        const char *what;
        bool virtual_device;
        std::vector<std::pair<std::string, std::string>> env;
        std::string code;  // "N]"; empty: any
    } failures[] = {
        {"no device", false, {}, "1]"},
        {"mapping refused", true, {{"ZR_VFB_FAIL", "mmap"}}, "5]"},
        // A depth without a drawing family: no screen DC, the device is closed again.
        {"no screen DC", true, {{"ZR_VFB_BPP", "12"}}, ""},
    };
    for (const auto &f : failures) {
        SCOPED_TRACE(f.what);
        // A real device would be drawn on for ever.
        if (!f.virtual_device && access("/dev/fb", F_OK) == 0) {
            std::printf("skipped: this machine has a real /dev/fb\n");
            continue;
        }
        e2e::temp_dir tmp;
        run_options opt = in(ZR_SAMPLE_DIR, tmp);
        opt.virtual_device = f.virtual_device;
        opt.env = f.env;
        opt.timeout_seconds = 20;
        const e2e::run_result r = e2e::run_demo(opt);
        EXPECT_EQ(r.exit_code, 0) << r.describe();
        EXPECT_TRUE(r.out.starts_with("[zr error:" + f.code) && r.out.ends_with(from_main) && r.out.find('\n') == r.out.size() - 1)
            << r.out;
    }
}

// Runs the demo for the given number of full passes; each pass ends with five bitmap pauses.
e2e::run_result run_passes(int passes, std::vector<std::string> wrapper = {}, int timeout_seconds = 120) {
    e2e::temp_dir tmp;
    const fs::path snaps = tmp / "snaps";
    fs::create_directory(snaps);
    run_options opt = in(ZR_SAMPLE_DIR, tmp);
    opt.wrapper = std::move(wrapper);
    opt.timeout_seconds = timeout_seconds;
    opt.env = e2e::snapshot_env(snaps, 16, 240, 180, 5 * passes);
    e2e::run_result r = e2e::run_demo(opt);
    if (!fs::exists(e2e::frame_path(snaps, 5 * passes))) r.err += "\n(last snapshot missing)";
    return r;
}

// Without sanitizers: the peak memory of 17 passes is that of 2 passes. The
// five images take about 260 KiB a pass, so leaking any of the larger ones
// would add well over a megabyte.
TEST(DemoSoak, MemoryStaysFlatFromPassToPass) {
    if (ZR_E2E_SANITIZED) GTEST_SKIP() << "the sanitizers keep freed memory in quarantine";
    const e2e::run_result few = run_passes(2), many = run_passes(17);
    ASSERT_EQ(few.exit_code, 0) << few.describe();
    ASSERT_EQ(many.exit_code, 0) << many.describe();
    EXPECT_LT(many.max_rss_kb - few.max_rss_kb, 1024) << few.max_rss_kb << " KiB vs " << many.max_rss_kb << " KiB";
}

TEST(DemoSoak, ThreePassesUnderValgrindLoseNothing) {
    const std::string valgrind = ZR_VALGRIND;
    if (ZR_E2E_SANITIZED) GTEST_SKIP() << "valgrind does not run sanitized programs";
    if (valgrind.empty()) GTEST_SKIP() << "no valgrind that reads this build's debug info";
    const e2e::run_result r = run_passes(
        3, {valgrind, "--quiet", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
            "--error-exitcode=99"},
        240);
    EXPECT_EQ(r.exit_code, 0) << r.describe();
    EXPECT_EQ(r.out, "");
}

}  // namespace
