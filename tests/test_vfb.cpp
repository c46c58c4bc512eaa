// The virtual framebuffer's PNG pictures: the conversion of every depth, and
// the whole chain (zr-vfb, the preloaded device, its triggers) on a program.
#include "snapshot.hpp"
#include "vfb_probe.hpp"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bytes = std::vector<unsigned char>;

namespace {

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

}  // namespace
