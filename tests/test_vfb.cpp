// The virtual framebuffer: its PNG pictures (the conversion of every depth),
// the whole chain (zr-vfb, the preloaded device, its triggers) on a program,
// the options of zr-vfb, and the device's paths and rows linked in directly.
#include "snapshot.hpp"
#include "vfb_fixture.hpp"
#include "vfb_probe.hpp"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bytes = std::vector<unsigned char>;

namespace {

// A number between blanks, as messages quote it.
std::string spaced(long n) {
    char text[32];
    std::snprintf(text, sizeof text, " %ld ", n);
    return text;
}

struct conversion_case {
    int depth, bits_per_pixel, width;
    bytes row;  // the pixels of row 0 as stored
    bytes rgb;  // what they show
};

// Row 0 as given, then padding, then row 1 all zero (black): a row 1 read
// from the wrong place picks up the padding.
TEST(VfbPicture, EveryDepthConvertsRowByRowPastThePadding) {
    const conversion_case cases[] = {
        {32,
         32,
         3,
         {0x56, 0x34, 0x12, 0xAB, 0xFF, 0x00, 0x80, 0x00, 0x01, 0x02, 0x03, 0x04},
         {0x12, 0x34, 0x56, 0x80, 0x00, 0xFF, 0x03, 0x02, 0x01}},
        {24,
         24,
         3,
         {0x56, 0x34, 0x12, 0x01, 0x02, 0x03, 0xFF, 0xFF, 0xFE},
         {0x12, 0x34, 0x56, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0xFF}},
        {16,
         16,
         4,
         {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0x21, 0x08},
         {248, 0, 0, 0, 252, 0, 0, 0, 248, 8, 4, 8}},
        {15,
         16,
         4,
         {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0x21, 0x84},
         {248, 0, 0, 0, 248, 0, 0, 0, 248, 8, 8, 8}},
        {8, 8, 3, {0x00, 0x7F, 0xFF}, {0, 0, 0, 0x7F, 0x7F, 0x7F, 0xFF, 0xFF, 0xFF}},
        {4, 4, 3, {0xF1, 0x80}, {240, 240, 240, 16, 16, 16, 128, 128, 128}},
        {1, 1, 10, {0xA0, 0x40}, {128, 128, 128, 0, 0, 0, 128, 128, 128, 0, 0, 0, 0,   0,   0,
                                  0,   0,   0,   0, 0, 0, 0,   0,   0,   0, 0, 0, 128, 128, 128}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("depth " + std::to_string(c.depth));
        const long line = static_cast<long>(c.row.size()) + 5;
        const zr_vfb::geometry g{c.width, 2, c.depth, c.bits_per_pixel, line};
        bytes memory(static_cast<size_t>(line) * 2, 0);
        std::copy(c.row.begin(), c.row.end(), memory.begin());
        std::fill(memory.begin() + static_cast<long>(c.row.size()), memory.begin() + line, 0xEE);

        bytes out(3 * static_cast<size_t>(c.width) + 1, 0x5A);
        zr_vfb::to_rgb_row(g, memory.data(), out.data());
        EXPECT_EQ(bytes(out.begin(), out.end() - 1), c.rgb);
        EXPECT_EQ(out.back(), 0x5A) << "wrote past the row";
        zr_vfb::to_rgb_row(g, memory.data() + line, out.data());
        EXPECT_EQ(bytes(out.begin(), out.end() - 1), bytes(c.rgb.size(), 0));
    }
}

// Reads a PNG back as 8-bit RGB; checks that the file itself is 8-bit RGB.
bool read_png(const fs::path &path, int *width, int *height, bytes *rgb) {
    std::ifstream in(path, std::ios::binary);
    bytes head(26);
    if (!in.read(reinterpret_cast<char *>(head.data()), 26)) return false;
    EXPECT_EQ(head[24], 8) << "bit depth of " << path;
    EXPECT_EQ(head[25], PNG_COLOR_TYPE_RGB) << "colour type of " << path;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    rgb->resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr)) return false;
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    return true;
}

fs::path fresh_dir(const std::string &name) {
    const fs::path dir =
        fs::temp_directory_path() / ("zr-test-vfb-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TEST(VfbPicture, WritesWidePaddedPicturesAndFailsCleanly) {
    const fs::path dir = fresh_dir("write");
    const zr_vfb::geometry g{4000, 3, 32, 32, 4000 * 4 + 12};
    bytes memory(static_cast<size_t>(g.line_length) * g.height);
    for (size_t i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<unsigned char>(i * 7 + i / 13);
    ASSERT_TRUE(zr_vfb::write_png((dir / "wide.png").c_str(), g, memory.data()));

    int w = 0, h = 0;
    bytes rgb;
    ASSERT_TRUE(read_png(dir / "wide.png", &w, &h, &rgb));
    ASSERT_EQ(w, g.width);
    ASSERT_EQ(h, g.height);
    bytes expected(static_cast<size_t>(g.width) * 3 * g.height);
    for (int y = 0; y < g.height; ++y)
        zr_vfb::to_rgb_row(g, memory.data() + y * g.line_length, expected.data() + y * g.width * 3);
    EXPECT_TRUE(rgb == expected);

    EXPECT_FALSE(zr_vfb::write_png((dir / "no-such-dir" / "x.png").c_str(), g, memory.data()));
    fs::remove_all(dir);
}

// ---- end to end: zr-vfb running vfb_probe ----------------------------------

struct run_result {
    int status = -1;  // exit status of zr-vfb, which passes on the program's
    std::vector<fs::path> frames;
    double seconds = 0;
};

// Runs the probe with pictures going to base/out and the output to base/log.
run_result run_probe(const fs::path &base, const std::string &options, const std::string &args) {
    const fs::path out = base / "out";
    const std::string command = std::string(ZR_VFB_RUNNER) + " " + options + " --out " +
                                out.string() + " -- " + ZR_VFB_PROBE + " " + args + " > " +
                                (base / "log").string() + " 2>&1";
    const auto start = std::chrono::steady_clock::now();
    const int wait_status = std::system(command.c_str());
    run_result r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(wait_status)) r.status = WEXITSTATUS(wait_status);
    for (int n = 1; fs::exists(out / ("frame-000" + std::to_string(n) + ".png")); ++n)
        r.frames.push_back(out / ("frame-000" + std::to_string(n) + ".png"));
    size_t files = 0;
    for ([[maybe_unused]] const auto &e : fs::directory_iterator(out)) ++files;
    EXPECT_EQ(files, r.frames.size()) << "stray files in " << out;
    return r;
}

// The picture a probe picture becomes on a device that keeps the given
// number of bits of red, green and blue.
bytes expected_picture(int picture, int width, int height, int red_bits, int green_bits,
                       int blue_bits) {
    auto keep = [](unsigned char v, int bits) {
        return static_cast<unsigned char>(v & (0xFF << (8 - bits)));
    };
    const zr_test::probe_picture &p = zr_test::probe_pictures[picture];
    bytes rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const color_t c = (x == 1 && y == 1) ? p.dot : p.fill;
            rgb.push_back(keep(c.red, red_bits));
            rgb.push_back(keep(c.green, green_bits));
            rgb.push_back(keep(c.blue, blue_bits));
        }
    }
    return rgb;
}

struct device_case {
    int depth, bytes_per_pixel, red_bits, green_bits, blue_bits;
};

void expect_frames(const run_result &r, const std::vector<int> &pictures, const device_case &d,
                   int width, int height) {
    ASSERT_EQ(r.frames.size(), pictures.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE(r.frames[i].string());
        int w = 0, h = 0;
        bytes rgb;
        ASSERT_TRUE(read_png(r.frames[i], &w, &h, &rgb));
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
        EXPECT_TRUE(rgb == expected_picture(pictures[i], width, height, d.red_bits, d.green_bits,
                                            d.blue_bits))
            << "frame does not show picture " << pictures[i];
    }
}

// Pictures before each long sleep of every kind and at exit, none before the
// device is open or for a short sleep; fast sleeps; the status passed on.
TEST(VfbRunner, PicturesOnLongSleepsAndAtExitOnPaddedScreens) {
    const device_case devices[] = {{15, 2, 5, 5, 5}, {16, 2, 5, 6, 5}, {32, 4, 8, 8, 8}};
    for (const auto &d : devices) {
        SCOPED_TRACE("depth " + std::to_string(d.depth));
        const fs::path out = fresh_dir("sleeps-" + std::to_string(d.depth));
        const std::string geometry = "--size 7x5 --bpp " + std::to_string(d.depth) +
                                     " --line-length " + std::to_string(7 * d.bytes_per_pixel + 6);
        const run_result r = run_probe(out, geometry + " --snap-on-sleep 1500000 --fast", "sleeps");
        EXPECT_EQ(r.status, 3);
        // Unshortened, the program sleeps 10 seconds.
        EXPECT_LT(r.seconds, 6.0);
        expect_frames(r, {0, 1, 2, 3, 5}, d, 7, 5);
        fs::remove_all(out);
    }
}

TEST(VfbRunner, EndsWithStatusZeroAfterTheLastFrameAsked) {
    const fs::path out = fresh_dir("frames");
    const run_result r =
        run_probe(out, "--size 9x4 --bpp 16 --snap-on-sleep 1 --fast --frames 2", "sleeps");
    EXPECT_EQ(r.status, 0);
    expect_frames(r, {0, 1}, {16, 2, 5, 6, 5}, 9, 4);
    fs::remove_all(out);
}

TEST(VfbRunner, SignalsTakeAPictureThenEndTheProgram) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE("signal " + std::to_string(sig));
        const fs::path out = fresh_dir("signal-" + std::to_string(sig));
        const run_result r = run_probe(out, "--size 6x3 --bpp 32", "signal " + std::to_string(sig));
        EXPECT_EQ(r.status, 128 + sig) << "the program should die of the signal";
        expect_frames(r, {0}, {32, 4, 8, 8, 8}, 6, 3);
        fs::remove_all(out);
    }
}

// ---- zr-vfb's options ------------------------------------------------------

std::string read_text(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct runner_output {
    int status = -1;
    std::string out, err;
};

// Runs "zr-vfb ARGS" with its standard output and error kept apart in base.
runner_output run_runner(const fs::path &base, const std::string &args) {
    const std::string command = std::string(ZR_VFB_RUNNER) + " " + args + " > " +
                                (base / "stdout").string() + " 2> " + (base / "stderr").string();
    const int wait_status = std::system(command.c_str());
    runner_output r;
    if (WIFEXITED(wait_status)) r.status = WEXITSTATUS(wait_status);
    r.out = read_text(base / "stdout");
    r.err = read_text(base / "stderr");
    return r;
}

// Options end at the program: every option --help lists, given after the
// program, still goes to the program, with a warning that names it.
TEST(VfbRunner, WarnsOfItsOwnOptionsAfterTheProgram) {
    const fs::path base = fresh_dir("late-options");
    const runner_output help = run_runner(base, "--help");
    ASSERT_EQ(help.status, 0);
    std::string options;
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("  --", 0) == 0) options += " " + line.substr(2, line.find(' ', 2) - 2);
    ASSERT_NE(options.find("--frames"), std::string::npos) << help.out;

    const runner_output r = run_runner(
        base, "--out " + (base / "out").string() + " /bin/echo" + options + " --bpp=8 --other");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, options.substr(1) + " --bpp=8 --other\n");
    std::istringstream names(options + " --bpp=8");
    for (std::string name; names >> name;)
        EXPECT_NE(r.err.find("'" + name + "'"), std::string::npos) << name << " in:\n" << r.err;
    EXPECT_EQ(r.err.find("--other"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("before the program"), std::string::npos) << r.err;
    // "--" says where the runner's options end: then they are the program's own.
    const runner_output quiet = run_runner(base, "--out " + (base / "out").string() + " -- /bin/echo --frames 1");
    EXPECT_EQ(quiet.out, "--frames 1\n");
    EXPECT_EQ(quiet.err.find("warning"), std::string::npos) << quiet.err;
    fs::remove_all(base);
}

// Rows shorter than their pixels are refused whatever the order of the
// options; exactly the pixels' bytes, or 0 (no padding), are taken.
TEST(VfbRunner, RefusesRowsShorterThanTheirPixels) {
    struct row_case {
        const char *options;
        int shortest;  // bytes of the pixels of a row; 0: accepted
    };
    const row_case cases[] = {
        {"--size 480x360 --bpp 16 --line-length 500", 960},
        {"--line-length 959 --size 480x360", 960},
        {"--size 480x360 --bpp 15 --line-length 959", 960},
        {"--size 480x360 --bpp 32 --line-length 1000", 1920},
        {"--size 9x4 --bpp 1 --line-length 1", 2},
        {"--bpp 24 --line-length 2399", 2400},
        {"--line-length 1000 --size 480x360", 0},
        {"--size 480x360 --line-length 960", 0},
        {"--size 9x4 --bpp 1 --line-length 2", 0},
        {"--line-length 0", 0},
    };
    const fs::path base = fresh_dir("line-length");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        const runner_output r =
            run_runner(base, std::string(c.options) + " --out " + (base / "out").string() + " true");
        if (c.shortest == 0) {
            EXPECT_EQ(r.status, 0) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("--line-length"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(spaced(c.shortest)), std::string::npos) << r.err;
    }
    fs::remove_all(base);
}

// /dev/fb, /dev/fb0 and every path given with --device are emulated; no other.
TEST(VfbRunner, EmulatesTheUsualDevicesAndEachOneGiven) {
    struct device_case {
        const char *path;
        bool emulated;
    };
    const device_case cases[] = {{"/dev/fb", true},
                                 {"/dev/fb0", true},
                                 {"/dev/zr-test-a", true},
                                 {"/tmp/zr-test-b", true},
                                 {"/dev/zr-test-c", false}};
    const std::string options = "--size 6x3 --bpp 32 --device /dev/zr-test-a --device /tmp/zr-test-b";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const fs::path out = fresh_dir("device");
        const run_result r = run_probe(out, options, std::string("open ") + c.path);
        if (c.emulated) {
            EXPECT_EQ(r.status, 0);
            expect_frames(r, {0}, {32, 4, 8, 8, 8}, 6, 3);
        } else {
            EXPECT_EQ(r.status, 4);
            EXPECT_TRUE(r.frames.empty());
        }
        fs::remove_all(out);
    }
    const fs::path base = fresh_dir("bad-device");
    for (const char *bad : {"''", "/dev/a:/dev/b"})
        EXPECT_EQ(run_runner(base, std::string("--device ") + bad + " true").status, 2) << bad;
    fs::remove_all(base);
}

// ---- the device linked in --------------------------------------------------

// What fn writes to standard error.
std::string stderr_of(const std::function<void()> &fn) {
    std::fflush(stderr);
    FILE *file = std::tmpfile();
    const int saved = dup(2);
    dup2(fileno(file), 2);
    fn();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

// ZR_VFB_DEVICE lists the paths; each is answered for, nothing else.
TEST(VfbDevice, AnswersForEveryPathOfItsListAndNoOther) {
    ASSERT_EQ(zr_test::vfb_open({}), 0);
    zr_test::vfb_close();
    setenv("ZR_VFB_DEVICE", "/dev/zr-test-a:/tmp/zr-test-b:/dev/zr-test-c", 1);
    for (const char *path : {"/dev/zr-test-a", "/tmp/zr-test-b", "/dev/zr-test-c"}) {
        EXPECT_EQ(zr_init(path), 0) << path;
        zr_close();
    }
    for (const char *path :
         {"/dev/zr-test", "/dev/zr-test-ab", "/dev/zr-test-a:/tmp/zr-test-b", ""})
        EXPECT_EQ(zr_init(path), ERR_NO_DEVICE) << path;
    std::remove(std::getenv("ZR_VFB_MEMORY"));
}

// A ZR_VFB_LINE_LENGTH shorter than the row's pixels, or not a number, keeps
// the device from opening and says why; exactly the pixels' bytes are taken.
TEST(VfbDevice, RefusesRowsShorterThanTheirPixels) {
    struct row_case {
        int width, depth;
        long line_length;
        int shortest;  // bytes of the pixels of a row; 0: accepted
    };
    const row_case cases[] = {{480, 16, 500, 960}, {480, 16, 959, 960}, {480, 15, 959, 960},
                              {9, 1, 1, 2},        {3, 24, 8, 9},       {480, 16, 960, 0},
                              {9, 1, 2, 0},        {3, 24, 9, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " pixels at " + std::to_string(c.depth) + " bits, " +
                     std::to_string(c.line_length) + " bytes");
        int result = -1;
        const std::string err = stderr_of([&] {
            result = zr_test::vfb_open(
                {.width = c.width, .height = 4, .depth = c.depth, .line_length = c.line_length});
        });
        if (c.shortest == 0) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(zr_fb.bytes_per_line, c.line_length);
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(result, ERR_ACCESS);
            EXPECT_NE(err.find("ZR_VFB_LINE_LENGTH " + std::to_string(c.line_length) + " "),
                      std::string::npos) << err;
            EXPECT_NE(err.find(spaced(c.shortest)), std::string::npos) << err;
        }
        zr_test::vfb_close();
    }
    ASSERT_EQ(zr_test::vfb_open({}), 0);
    zr_test::vfb_close();
    setenv("ZR_VFB_LINE_LENGTH", "96O", 1);
    int result = -1;
    const std::string err = stderr_of([&] { result = zr_init(zr_test::vfb_device_path()); });
    EXPECT_EQ(result, ERR_ACCESS);
    EXPECT_NE(err.find("ZR_VFB_LINE_LENGTH 96O "), std::string::npos) << err;
    zr_close();
    std::remove(std::getenv("ZR_VFB_MEMORY"));
}

}  // namespace
