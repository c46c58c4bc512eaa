// zr_image_open and zr_image_from_memory: PngSuite against Pillow's
// pixels, JPEG files made at test time against libjpeg-turbo's (both
// written into the build folder by image_refs.py, a ctest fixture), hostile
// input, and alpha images blended by zr_bitblt.
#include "shared_data.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;
using bmp_ptr = std::unique_ptr<bmp_t, decltype(&zr_bmp_close)>;

bytes read_all(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

bmp_ptr load(const bytes &b) { return bmp_ptr(zr_image_from_memory(b.data(), b.size()), zr_bmp_close); }

// The code a refused buffer leaves; 0 when it loaded.
int refusal(const bytes &b) {
    zr_error_code = 0;
    return load(b) ? 0 : zr_error_code;
}

// What loading a file did in a forked child: the code it left (0 when it
// loaded; -1 when the child died) and how far it raised the child's peak
// resident memory, in KiB.
struct child_load {
    int code = -1;
    long peak_growth_kib = -1;
};

// Loads content in a child, so that a load that goes wrong cannot take the
// suite's memory with it. warm_up, when not empty, is loaded first, so that
// the decoder's code and lasting buffers are resident before the peak is
// read. A room over 0 limits the child's address space to that many bytes
// over what it uses before the load.
child_load load_in_child(const bytes &content, const bytes &warm_up = {}, rlim_t room = 0) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        if (!warm_up.empty()) load(warm_up);
        if (room > 0) {
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            std::ifstream status("/proc/self/statm");
            long pages = 0;
            status >> pages;
            limit.rlim_cur = std::min(limit.rlim_max, static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + room);
            setrlimit(RLIMIT_AS, &limit);
        }
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        child_load outcome;
        outcome.code = refusal(content);
        getrusage(RUSAGE_SELF, &after);
        outcome.peak_growth_kib = after.ru_maxrss - before.ru_maxrss;
        _exit(write(pipe_ends[1], &outcome, sizeof outcome) == static_cast<ssize_t>(sizeof outcome) ? 0 : 1);
    }
    close(pipe_ends[1]);
    child_load outcome;
    const bool got = child > 0 && read(pipe_ends[0], &outcome, sizeof outcome) == static_cast<ssize_t>(sizeof outcome);
    close(pipe_ends[0]);
    int status = 0;
    const bool ended = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return got && ended ? outcome : child_load{};
}

std::vector<std::string> files_in(const std::string &dir, const std::string &suffix) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct rgba_image {
    int width = 0, height = 0;
    bytes pixels;
};

bool read_reference(const std::string &path, rgba_image &out) {
    const bytes b = read_all(path);
    if (b.size() < 8) return false;
    std::uint32_t w = 0, h = 0;
    std::memcpy(&w, b.data(), 4);
    std::memcpy(&h, b.data() + 4, 4);
    out = {static_cast<int>(w), static_cast<int>(h), bytes(b.begin() + 8, b.end())};
    return out.pixels.size() == std::size_t{w} * h * 4;
}

// The first pixel further than tolerance from the reference, or "".
std::string compare(bmp_t *b, const rgba_image &ref, int tolerance) {
    if (b->dc.width != ref.width || b->dc.height != ref.height)
        return "size " + std::to_string(b->dc.width) + "x" + std::to_string(b->dc.height);
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            color_t c{};
            zr_get_pixel(&b->dc, x, y, &c);
            const unsigned char ours[4] = {c.red, c.green, c.blue, c.alpha};
            const unsigned char *r = &ref.pixels[(static_cast<std::size_t>(y) * ref.width + x) * 4];
            for (int i = 0; i < 4; ++i)
                if (std::abs(ours[i] - r[i]) > tolerance)
                    return "pixel " + std::to_string(x) + "," + std::to_string(y) + " channel " + std::to_string(i) +
                           ": " + std::to_string(ours[i]) + " vs " + std::to_string(r[i]);
        }
    return "";
}

// The references image_refs.py wrote; "" with a reason in *why when absent.
std::string refs_dir(std::string *why) {
    const std::string dir = ZR_IMAGE_REFS_DIR;
    if (std::ifstream(dir + "/NO-PILLOW")) *why = "Pillow (python3-pil) is missing: no reference pixels in " + dir;
    else if (!std::ifstream(dir + "/stamp")) *why = "the image_refs fixture has not run: no " + dir + "/stamp";
    else return dir;
    return "";
}

std::string pngsuite_dir() { return zr_test::shared_folder("ZR_PNGSUITE_DIR", "pngsuite"); }

// ---- small PNG and JPEG files made here

std::uint32_t crc32(const unsigned char *p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & (0 - (c & 1)));
    }
    return ~c;
}

void put_be32(unsigned char *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// An RGBA (or RGB) PNG of the given pixels, rows top first.
bytes encode_png(int w, int h, const bytes &pixels, bool alpha) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    img.width = static_cast<png_uint_32>(w);
    img.height = static_cast<png_uint_32>(h);
    img.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&img, nullptr, &size, 0, pixels.data(), 0, nullptr);
    bytes out(size);
    EXPECT_TRUE(png_image_write_to_memory(&img, out.data(), &size, 0, pixels.data(), 0, nullptr));
    out.resize(size);
    return out;
}

// A PNG's IHDR given a new width and height, its CRC made good again.
[[maybe_unused]] bytes with_png_size(bytes png, std::uint32_t w, std::uint32_t h, int depth, int type) {
    put_be32(&png[16], w);
    put_be32(&png[20], h);
    png[24] = static_cast<unsigned char>(depth);
    png[25] = static_cast<unsigned char>(type);
    put_be32(&png[29], crc32(&png[12], 17));
    return png;
}

// A PNG with chunks put in before its first IDAT chunk (after IHDR).
bytes with_png_chunks(bytes png, const bytes &chunks) {
    png.insert(png.begin() + 33, chunks.begin(), chunks.end());
    return png;
}

// One PNG chunk: length, type, data and CRC.
bytes png_chunk(const char *type, const bytes &data) {
    bytes c(8);
    put_be32(&c[0], static_cast<std::uint32_t>(data.size()));
    std::memcpy(&c[4], type, 4);
    c.insert(c.end(), data.begin(), data.end());
    c.resize(c.size() + 4);
    put_be32(&c[c.size() - 4], crc32(&c[4], c.size() - 8));
    return c;
}

// n bytes of one value as a zlib stream.
bytes deflated_run(std::size_t n, unsigned char value) {
    const bytes run(n, value);
    uLongf size = compressBound(static_cast<uLong>(n));
    bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, run.data(), static_cast<uLong>(n), 9), Z_OK);
    out.resize(size);
    return out;
}

// cjpeg -arithmetic -progressive of a black 4096 x 4096 greyscale image, its
// JFIF marker dropped: 191 bytes for 262144 blocks, in libjpeg's default
// greyscale script of 6 scans, each a pass over every block.
const bytes black_jpeg = {
    0xff, 0xd8, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x08, 0x06, 0x06, 0x07, 0x06, 0x05, 0x08, 0x07, 0x07,
    0x07, 0x09, 0x09, 0x08, 0x0a, 0x0c, 0x14, 0x0d, 0x0c, 0x0b, 0x0b, 0x0c, 0x19, 0x12, 0x13, 0x0f,
    0x14, 0x1d, 0x1a, 0x1f, 0x1e, 0x1d, 0x1a, 0x1c, 0x1c, 0x20, 0x24, 0x2e, 0x27, 0x20, 0x22, 0x2c,
    0x23, 0x1c, 0x1c, 0x28, 0x37, 0x29, 0x2c, 0x30, 0x31, 0x34, 0x34, 0x34, 0x1f, 0x27, 0x39, 0x3d,
    0x38, 0x32, 0x3c, 0x2e, 0x33, 0x34, 0x32, 0xff, 0xca, 0x00, 0x0b, 0x08, 0x10, 0x00, 0x10, 0x00,
    0x01, 0x01, 0x11, 0x00, 0xff, 0xcc, 0x00, 0x04, 0x00, 0x10, 0xff, 0xda, 0x00, 0x08, 0x01, 0x01,
    0x00, 0x00, 0x00, 0x01, 0xff, 0x00, 0x8c, 0x82, 0xa0, 0xff, 0xcc, 0x00, 0x04, 0x10, 0x05, 0xff,
    0xda, 0x00, 0x08, 0x01, 0x01, 0x00, 0x01, 0x05, 0x02, 0xa5, 0xe3, 0xff, 0xcc, 0x00, 0x04, 0x10,
    0x05, 0xff, 0xda, 0x00, 0x08, 0x01, 0x01, 0x00, 0x06, 0x3f, 0x02, 0xa5, 0xe3, 0xff, 0xcc, 0x00,
    0x04, 0x10, 0x05, 0xff, 0xda, 0x00, 0x08, 0x01, 0x01, 0x00, 0x01, 0x3f, 0x21, 0xa5, 0xe3, 0xff,
    0xda, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x00, 0x10, 0x4b, 0xc6, 0xff, 0xcc, 0x00, 0x04, 0x10,
    0x05, 0xff, 0xda, 0x00, 0x08, 0x01, 0x01, 0x00, 0x01, 0x3f, 0x10, 0xa5, 0xe3, 0xff, 0xd9,
};

// A 1 x 1 24-bit BMP.
const bytes tiny_bmp = {'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0,
                        24, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 0};

// A JPEG with its first scan (header and entropy-coded data) given n more
// times right after it.
bytes with_first_scan_repeated(bytes jpg, int n) {
    std::size_t i = 2;
    while (i + 4 < jpg.size() && jpg[i + 1] != 0xDA) i += 2 + (std::size_t{jpg[i + 2]} << 8 | jpg[i + 3]);
    std::size_t end = i + 2 + (std::size_t{jpg[i + 2]} << 8 | jpg[i + 3]);
    while (end + 1 < jpg.size() && !(jpg[end] == 0xFF && jpg[end + 1] != 0 && (jpg[end + 1] & 0xF8) != 0xD0)) ++end;
    const bytes scan(jpg.begin() + static_cast<std::ptrdiff_t>(i), jpg.begin() + static_cast<std::ptrdiff_t>(end));
    for (int k = 0; k < n; ++k) jpg.insert(jpg.begin() + static_cast<std::ptrdiff_t>(end), scan.begin(), scan.end());
    return jpg;
}

// A JPEG whose frame header declares another size.
[[maybe_unused]] bytes with_jpeg_size(bytes jpg, std::uint16_t w, std::uint16_t h) {
    // SOF0 to SOF15, less DHT (C4), JPG (C8) and DAC (CC).
    const auto frame = [](unsigned char m) { return (m & 0xF0) == 0xC0 && m != 0xC4 && m != 0xC8 && m != 0xCC; };
    for (std::size_t i = 2; i + 9 < jpg.size(); ++i)
        if (jpg[i] == 0xFF && frame(jpg[i + 1])) {
            jpg[i + 5] = static_cast<unsigned char>(h >> 8), jpg[i + 6] = static_cast<unsigned char>(h);
            jpg[i + 7] = static_cast<unsigned char>(w >> 8), jpg[i + 8] = static_cast<unsigned char>(w);
            return jpg;
        }
    ADD_FAILURE() << "no frame header";
    return jpg;
}

bytes gradient(int w, int h, bool alpha) {
    bytes p;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            p.insert(p.end(), {static_cast<unsigned char>(x * 255 / w), static_cast<unsigned char>(y * 255 / h),
                               static_cast<unsigned char>((x * 7 + y * 13) & 0xFF)});
            if (alpha) p.push_back(static_cast<unsigned char>((x * 37 + y * 11) % 256));
        }
    return p;
}

// ---- PNG

TEST(ImagePng, SuiteMatchesPillowAndCorruptFilesAreRefused) {
    if (!ZR_HAVE_PNG) {
        EXPECT_EQ(refusal(encode_png(2, 2, gradient(2, 2, false), false)), ERR_IMAGE_HEADER);
        GTEST_SKIP() << "the library was built without libpng: PNG files are refused";
    }
    const std::string suite = pngsuite_dir();
    if (!std::ifstream(suite + "/basn0g01.png"))
        ZR_MISSING_SHARED_DATA("PngSuite is not in " + suite + "; set ZR_PNGSUITE_DIR to its folder");
    std::string why;
    const std::string refs = refs_dir(&why);
    if (refs.empty()) GTEST_SKIP() << why;
    int decoded = 0, refused = 0, differing = 0;
    for (const std::string &name : files_in(suite, ".png")) {
        const bytes file = read_all(suite + "/" + name);
        zr_error_code = 0;
        bmp_ptr b = load(file);
        if (name[0] == 'x') {
            EXPECT_FALSE(b) << name;
            EXPECT_TRUE(zr_error_code == ERR_IMAGE_HEADER || zr_error_code == ERR_IMAGE_DATA ||
                        zr_error_code == ERR_PALETTE)
                << name << " code " << zr_error_code;
            refused += b ? 0 : 1;
            continue;
        }
        ASSERT_TRUE(b) << name << " code " << zr_error_code;
        ++decoded;
        // Alpha channels and tRNS chunks, and nothing else, give alpha DCs.
        const bool alpha = (file[25] & 4) != 0 || std::string(file.begin(), file.end()).find("tRNS") != std::string::npos;
        EXPECT_EQ(b->dc.dc_type, alpha ? DC_TYPE_ALPHA : DC_TYPE_BITMAP) << name;
        EXPECT_EQ(b->dc.colors, alpha ? 32 : 24) << name;
        rgba_image ref;
        ASSERT_TRUE(read_reference(refs + "/png/" + name.substr(0, name.size() - 4) + ".rgba", ref)) << name;
        const std::string diff = compare(b.get(), ref, 0);
        differing += diff.empty() ? 0 : 1;
        EXPECT_EQ(diff, "") << name;
    }
    std::printf("[pngsuite] %d decoded, %d refused, %d differing from Pillow\n", decoded, refused, differing);
    EXPECT_EQ(decoded, 161);
    EXPECT_EQ(refused, 14);
}

TEST(ImagePng, RowsAreBottomUpBgrAndFilesOpenFromDisk) {
    if (!ZR_HAVE_PNG) GTEST_SKIP() << "the library was built without libpng";
    const bytes pixels = gradient(5, 3, false);
    const bytes png = encode_png(5, 3, pixels, false);
    const std::string path = testing::TempDir() + "zr-image-" + std::to_string(getpid()) + ".bmp";  // name misleads
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(png.data()), static_cast<std::streamsize>(png.size()));
    bmp_ptr b(zr_image_open(path.c_str()), zr_bmp_close);
    std::remove(path.c_str());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->dc.bytes_per_line, 16);  // 15 bytes padded to 4
    // The top row is stored last; bytes blue, green, red.
    const unsigned char *top = b->data + 2 * 16;
    EXPECT_EQ((std::vector<int>{top[3], top[4], top[5]}), (std::vector<int>{pixels[5], pixels[4], pixels[3]}));
}

// ---- JPEG

TEST(ImageJpeg, FilesMatchLibjpegTurboWithOrientationApplied) {
    if (!ZR_HAVE_JPEG) {
        EXPECT_EQ(refusal(read_all(std::string(ZR_SOURCE_DIR) + "/fuzz/seeds/baseline.jpg")), ERR_IMAGE_HEADER);
        GTEST_SKIP() << "the library was built without libjpeg-turbo: JPEG files are refused";
    }
    std::string why;
    const std::string refs = refs_dir(&why);
    if (refs.empty()) GTEST_SKIP() << why;
    const std::vector<std::string> names = files_in(refs + "/jpeg", ".jpg");
    EXPECT_GE(names.size(), 13u);
    for (const std::string &name : names) {
        bmp_ptr b(zr_image_open((refs + "/jpeg/" + name).c_str()), zr_bmp_close);
        ASSERT_TRUE(b) << name << " code " << zr_error_code;
        EXPECT_EQ(b->dc.dc_type, DC_TYPE_BITMAP);
        EXPECT_EQ(b->dc.colors, 24);
        rgba_image ref;
        ASSERT_TRUE(read_reference(refs + "/jpeg/" + name.substr(0, name.size() - 4) + ".rgba", ref)) << name;
        EXPECT_EQ(compare(b.get(), ref, 1), "") << name;
    }
}

TEST(ImageJpeg, CmykIsRefused) {
    if (!ZR_HAVE_JPEG) GTEST_SKIP() << "the library was built without libjpeg-turbo";
    std::string why;
    const std::string refs = refs_dir(&why);
    if (refs.empty()) GTEST_SKIP() << why;
    // Three components become four: the frame header names a fourth, and an
    // Adobe marker would not be needed for libjpeg to call it CMYK.
    bytes jpg = read_all(refs + "/jpeg/baseline-444.jpg");
    for (std::size_t i = 2; i + 19 < jpg.size(); ++i)
        if (jpg[i] == 0xFF && jpg[i + 1] == 0xC0) {
            jpg[i + 3] = static_cast<unsigned char>(jpg[i + 3] + 3);  // length
            jpg[i + 9] = 4;
            const unsigned char fourth[3] = {4, 0x11, 0};
            jpg.insert(jpg.begin() + static_cast<std::ptrdiff_t>(i + 19), fourth, fourth + 3);
            break;
        }
    EXPECT_EQ(refusal(jpg), ERR_COLOR_DEPTH);
}

// A blank image, which arithmetic coding makes in a few bytes at any size,
// loads: the floor on blocks a byte and the budget of decoding work admit
// it, in the default greyscale script (the most passes of libjpeg's default
// scripts). Given its first scan, a pass over every block, 14 times more, it
// passes the budget and is refused. Many scans whose data pays for them
// still load.
TEST(ImageJpeg, BlankArithmeticImageLoadsAndScansPastTheBudgetAreRefused) {
    if (!ZR_HAVE_JPEG) GTEST_SKIP() << "the library was built without libjpeg-turbo";
    bmp_ptr b = load(black_jpeg);
    ASSERT_TRUE(b) << zr_error_code;
    EXPECT_EQ(b->dc.width, 4096);
    EXPECT_EQ(b->dc.height, 4096);
    color_t c{};
    zr_get_pixel(&b->dc, 4095, 4095, &c);
    EXPECT_EQ((std::vector<int>{c.red, c.green, c.blue}), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(refusal(with_first_scan_repeated(black_jpeg, 14)), ERR_IMAGE_DATA);
    std::string why;
    const std::string refs = refs_dir(&why);
    if (refs.empty()) GTEST_SKIP() << why;
    // 50 scans, each over the 90 blocks; the 41 DC scans hold about 65 bytes of data each.
    EXPECT_EQ(refusal(with_first_scan_repeated(read_all(refs + "/jpeg/progressive.jpg"), 40)), 0);
}

// ---- every kind

// A load that succeeds leaves zr_error_code as it found it.
TEST(ImageAny, SuccessLeavesTheErrorCodeAlone) {
    std::vector<std::pair<std::string, bytes>> files = {{"bmp", tiny_bmp}};
    if (ZR_HAVE_PNG) files.emplace_back("png", encode_png(3, 2, gradient(3, 2, true), true));
    if (ZR_HAVE_JPEG) files.emplace_back("jpeg", black_jpeg);
    for (const auto &[what, file] : files) {
        zr_error_code = ERR_PALETTE;
        EXPECT_TRUE(load(file)) << what;
        EXPECT_EQ(zr_error_code, ERR_PALETTE) << what;
    }
}

// ---- hostile input

TEST(ImageHostile, NullEmptyMissingAndUnknownInput) {
    EXPECT_EQ(zr_image_from_memory(nullptr, 10), nullptr);
    EXPECT_EQ(zr_error_code, ERR_NO_IMAGE_FILE);
    EXPECT_EQ(zr_image_open(nullptr), nullptr);
    EXPECT_EQ(zr_error_code, ERR_NO_IMAGE_FILE);
    EXPECT_EQ(zr_image_open("/nonexistent/zr.png"), nullptr);
    EXPECT_EQ(zr_error_code, ERR_NO_IMAGE_FILE);
    EXPECT_EQ(zr_image_open("/"), nullptr);
    EXPECT_EQ(zr_error_code, ERR_NO_IMAGE_FILE);
    const unsigned char one = 0x89;
    EXPECT_EQ(zr_image_from_memory(&one, 0), nullptr);
    EXPECT_EQ(zr_error_code, ERR_IMAGE_HEADER);
    for (const bytes &b : {bytes{0x89, 'P', 'N', 'G'}, bytes{0xFF, 0xD8}, bytes{'B'}, bytes{'G', 'I', 'F', '8', '9', 'a'}})
        EXPECT_EQ(refusal(b), ERR_IMAGE_HEADER);
    // BMP goes to the BMP reader, from memory as from a file.
    bmp_ptr b = load(tiny_bmp);
    ASSERT_TRUE(b);
    color_t c{};
    zr_get_pixel(&b->dc, 0, 0, &c);
    EXPECT_EQ((std::vector<int>{c.red, c.green, c.blue}), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(refusal(bytes(tiny_bmp.begin(), tiny_bmp.begin() + 40)), ERR_IMAGE_HEADER);
}

// Every cut of a file is refused with a code, never loaded as if whole.
TEST(ImageHostile, TruncatedFilesAreRefusedAtEveryCut) {
    std::vector<std::pair<std::string, bytes>> files;
    if (ZR_HAVE_PNG) {
        files.emplace_back("png", encode_png(23, 17, gradient(23, 17, true), true));
        const std::string interlaced = pngsuite_dir() + "/basi6a16.png";
        if (std::ifstream(interlaced)) files.emplace_back("interlaced png", read_all(interlaced));
    }
    std::string why;
    const std::string refs = refs_dir(&why);
    for (const char *name : {"baseline-420.jpg", "progressive.jpg", "orientation-6.jpg"})
        if (ZR_HAVE_JPEG && !refs.empty()) files.emplace_back(name, read_all(refs + "/jpeg/" + name));
    if (files.empty()) GTEST_SKIP() << "no decoder or no files to cut";
    for (const auto &[what, whole] : files) {
        ASSERT_EQ(refusal(whole), 0) << what;
        for (std::size_t cut = 1; cut < whole.size(); cut += 1 + cut / 16) {
            const bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
            const int code = refusal(part);
            EXPECT_TRUE(code == ERR_IMAGE_HEADER || code == ERR_IMAGE_DATA) << what << " cut at " << cut << ": " << code;
        }
    }
}

// Small files that declare huge images are refused before the bitmap is
// allocated: in a child with far less address space than the image needs,
// the refusal keeps its own code instead of ERR_OUT_OF_MEMORY. The
// sanitizers reserve more address space than that limit, so there the
// children run without it and only the codes are checked.
TEST(ImageHostile, DecompressionBombsAreRefusedBeforeAllocating) {
#if defined(ZR_TEST_SANITIZED)
    const rlim_t room = 0;
#else
    const rlim_t room = 256u << 20;
#endif
    std::vector<std::tuple<std::string, bytes, int>> cases;
    if (ZR_HAVE_PNG) {
        const bytes png = encode_png(8, 8, gradient(8, 8, false), false);
        // Over the 1 GiB cap, and under it (1 bit grey: 972 MB as 24-bit
        // rows) with far less data than deflate could expand to the rows.
        cases.emplace_back("png 30000 x 30000 rgb", with_png_size(png, 30000, 30000, 8, 2), ERR_IMAGE_HEADER);
        cases.emplace_back("png 18000 x 18000 grey", with_png_size(png, 18000, 18000, 1, 0), ERR_IMAGE_DATA);
    }
    std::string why;
    const std::string refs = refs_dir(&why);
    if (ZR_HAVE_JPEG && !refs.empty()) {
        const bytes jpg = read_all(refs + "/jpeg/baseline-420.jpg");
        cases.emplace_back("jpeg 65000 x 65000", with_jpeg_size(jpg, 65000, 65000), ERR_IMAGE_HEADER);
        cases.emplace_back("jpeg 16000 x 16000", with_jpeg_size(jpg, 16000, 16000), ERR_IMAGE_DATA);
        // 768 MB of rows and as much again of coefficients.
        cases.emplace_back("progressive jpeg 16000 x 16000",
                           with_jpeg_size(read_all(refs + "/jpeg/progressive.jpg"), 16000, 16000), ERR_IMAGE_HEADER);
    }
    if (ZR_HAVE_JPEG) {
        // 363 MB of rows and 242 MB of coefficients, under the cap together,
        // from 191 bytes: far more blocks a byte than even a blank image.
        cases.emplace_back("arithmetic jpeg 11000 x 11000", with_jpeg_size(black_jpeg, 11000, 11000), ERR_IMAGE_DATA);
        // 675 MB of rows and 450 MB of coefficients: over the cap together.
        cases.emplace_back("arithmetic jpeg 15000 x 15000", with_jpeg_size(black_jpeg, 15000, 15000), ERR_IMAGE_HEADER);
        // Bytes enough for the size, but 501 scans.
        cases.emplace_back("jpeg 11000 x 11000 of 501 scans",
                           with_first_scan_repeated(with_jpeg_size(black_jpeg, 11000, 11000), 495), ERR_IMAGE_DATA);
    }
    if (cases.empty()) GTEST_SKIP() << "no decoder or no files";
    for (const auto &[what, content, code] : cases) EXPECT_EQ(load_in_child(content, {}, room).code, code) << what;
}

// Ancillary chunks are skipped unread: a 1 x 1 PNG with 16 text chunks of 8
// MiB each once held 128 MiB of inflated text. The child's resident peak is
// read once a first load has brought the decoder in, so that what the
// sanitizers or an emulator add is there before and after alike.
TEST(ImageHostile, PngTextChunksAreNeitherInflatedNorKept) {
    if (!ZR_HAVE_PNG) GTEST_SKIP() << "the library was built without libpng";
    const bytes text = deflated_run((8 << 20) - 64, '0');  // under libpng's 8 MiB a chunk
    bytes chunks;
    for (int i = 0; i < 8; ++i) {
        bytes z = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};  // keyword, compression method
        z.insert(z.end(), text.begin(), text.end());
        bytes it = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 1, 0, 0, 0};  // compressed, no language or translation
        it.insert(it.end(), text.begin(), text.end());
        for (const bytes &c : {png_chunk("zTXt", z), png_chunk("iTXt", it)}) chunks.insert(chunks.end(), c.begin(), c.end());
    }
    const bytes plain = encode_png(1, 1, gradient(1, 1, false), false);
    const child_load outcome = load_in_child(with_png_chunks(plain, chunks), plain);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_GE(outcome.peak_growth_kib, 0);
    EXPECT_LT(outcome.peak_growth_kib, 8 << 10) << "KiB: more than one chunk's text";
}

// ---- alpha

// The blend rule of the API: the nearest integer to
// ((255 - a) * backdrop + a * source) / 255.
int blended(int a, int s, int b) { return static_cast<int>(std::lround(((255 - a) * b + a * s) / 255.0)); }

TEST(ImageAlpha, PngAlphaBlendsLikeAnAlphaBitmapAndTheRule) {
    if (!ZR_HAVE_PNG) GTEST_SKIP() << "the library was built without libpng";
    constexpr int w = 37, h = 9;
    const bytes pixels = gradient(w, h, true);
    bmp_ptr png(load(encode_png(w, h, pixels, true)));
    ASSERT_TRUE(png);
    ASSERT_EQ(png->dc.dc_type, DC_TYPE_ALPHA);
    // The same pixels in a 32-bit bitmap marked as alpha by hand.
    bmp_ptr same(zr_bmp_create(w, h, 32, 0), zr_bmp_close);
    ASSERT_TRUE(same);
    same->dc.dc_type = DC_TYPE_ALPHA;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const unsigned char *p = &pixels[(static_cast<std::size_t>(y) * w + x) * 4];
            zr_set_pixel(&same->dc, x, y, zr_color(p[0], p[1], p[2], p[3]));
        }
    for (int depth : {16, 32}) {
        zr_test::vfb_config cfg;
        cfg.depth = depth;
        ASSERT_EQ(zr_test::vfb_open(cfg), 0);
        dc_t *a = zr_get_buffer_dc(w + 4, h + 4), *b = zr_get_buffer_dc(w + 4, h + 4);
        ASSERT_TRUE(a && b);
        for (dc_t *dc : {a, b}) zr_clear(dc, zr_color(200, 40, 90, 255));
        zr_bitblt(a, 2, 3, &png->dc, 0, 0, w, h);
        zr_bitblt(b, 2, 3, &same->dc, 0, 0, w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                color_t ca{}, cb{};
                zr_get_pixel(a, x + 2, y + 3, &ca);
                zr_get_pixel(b, x + 2, y + 3, &cb);
                ASSERT_EQ((std::vector<int>{ca.red, ca.green, ca.blue}), (std::vector<int>{cb.red, cb.green, cb.blue}))
                    << depth << " bits at " << x << "," << y;
                if (depth != 32) continue;  // at 16 bits the backdrop itself is rounded
                const unsigned char *p = &pixels[(static_cast<std::size_t>(y) * w + x) * 4];
                EXPECT_EQ((std::vector<int>{ca.red, ca.green, ca.blue}),
                          (std::vector<int>{blended(p[3], p[0], 200), blended(p[3], p[1], 40), blended(p[3], p[2], 90)}))
                    << x << "," << y;
            }
        zr_release_dc(a);
        zr_release_dc(b);
        zr_test::vfb_close();
    }
}

}  // namespace
