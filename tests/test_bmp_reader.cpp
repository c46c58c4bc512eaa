// The BMP reader: small files built here byte by byte, then the public BMP
// test suite in ZR_SHARED_DIR/bmpsuite checked against its reference PNGs.
#include "bitmap.hpp"
#include "pixel_format.hpp"
#include "shared_data.hpp"

#include <gtest/gtest.h>
#if ZR_HAVE_PNG
#include <png.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;
using bmp_ptr = std::unique_ptr<bmp_t, decltype(&zr_bmp_close)>;

void put16(bytes &b, size_t at, unsigned v) { zr::store_le16(&b[at], static_cast<std::uint16_t>(v)); }
void put32(bytes &b, size_t at, std::uint32_t v) { zr::store_le32(&b[at], v); }

// A BMP file described field by field; bytes() lays it out.
struct bmp_file {
    std::uint32_t info_size = 40;
    std::int32_t width = 1, height = 1;
    unsigned bits = 24;
    std::uint32_t compression = 0, size_image = 0;
    std::vector<std::uint32_t> header_masks{};  // at offset 54, inside a longer header
    std::vector<std::uint32_t> table{};         // right after the info header
    bytes pixels{};
    std::int64_t off_bits = -1;           // -1: right after the table
    std::uint32_t declared_off_bits = 0;  // when set: bfOffBits, with nothing placed there

    bytes data() const {
        bytes f(std::max<size_t>(54, 14 + info_size + 4 * table.size()));
        f[0] = 'B';
        f[1] = 'M';
        put32(f, 10, off_bits >= 0 ? static_cast<std::uint32_t>(off_bits) : static_cast<std::uint32_t>(f.size()));
        put32(f, 14, info_size);
        put32(f, 18, static_cast<std::uint32_t>(width));
        put32(f, 22, static_cast<std::uint32_t>(height));
        put16(f, 26, 1);
        put16(f, 28, bits);
        put32(f, 30, compression);
        put32(f, 34, size_image);
        for (size_t i = 0; i < header_masks.size(); ++i) put32(f, 54 + 4 * i, header_masks[i]);
        for (size_t i = 0; i < table.size(); ++i) put32(f, 14 + info_size + 4 * i, table[i]);
        f.resize(std::max<size_t>(f.size(), off_bits >= 0 ? static_cast<size_t>(off_bits) : 0));
        f.insert(f.end(), pixels.begin(), pixels.end());
        put32(f, 2, static_cast<std::uint32_t>(f.size()));
        if (declared_off_bits) put32(f, 10, declared_off_bits);
        return f;
    }
};

std::string temp_path() {
    static int serial = 0;
    return testing::TempDir() + "zr-bmp-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".bmp";
}

bmp_ptr open_bytes(const bytes &content) {
    const std::string path = temp_path();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(content.data()),
                                                static_cast<std::streamsize>(content.size()));
    bmp_ptr b(zr_bmp_open(path.c_str()), zr_bmp_close);
    std::remove(path.c_str());
    return b;
}

// The code a refused file leaves; 0 when it loaded.
int refusal(const bytes &content) {
    zr_error_code = 0;
    return open_bytes(content) ? 0 : zr_error_code;
}

color_t pixel(bmp_t *b, int x, int y) {
    color_t c{};
    b->dc.get_pixel(&b->dc, x, y, &c);
    return c;
}
std::vector<int> rgba(color_t c) { return {c.red, c.green, c.blue, c.alpha}; }

// An 8-bit image's indexes as digits, rows top first, separated by '|'.
std::string indexes(bmp_t *b) {
    std::string s;
    for (int y = 0; y < b->dc.height; ++y) {
        const unsigned char *row = b->data + (b->dc.height - 1 - y) * b->dc.bytes_per_line;
        if (y) s += '|';
        for (int x = 0; x < b->dc.width; ++x) s += static_cast<char>('0' + row[x]);
    }
    return s;
}

TEST(BmpReader, RefusesMissingFilesAndLoadsReadOnlyOnes) {
    zr_error_code = 0;
    EXPECT_EQ(zr_bmp_open("/nonexistent/zr.bmp"), nullptr);
    EXPECT_EQ(zr_error_code, ERR_NO_IMAGE_FILE);
    bmp_file f;
    f.pixels = {1, 2, 3, 0};
    const bytes content = f.data();
    const std::string path = temp_path();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(content.data()), 58);
    chmod(path.c_str(), 0444);
    bmp_ptr b(zr_bmp_open(path.c_str()), zr_bmp_close);
    std::remove(path.c_str());
    ASSERT_TRUE(b);
    EXPECT_EQ(pixel(b.get(), 0, 0).red, 3);
    EXPECT_EQ(b->biSizeImage, 4u);  // 0 in the file
    EXPECT_EQ(b->encoded, nullptr);  // no second copy of the pixels kept
}

TEST(BmpReader, MasksComeFromTheHeaderOrTheTableArea) {
    bmp_file f;
    f.bits = 16;
    f.pixels = {0xFF, 0xFF, 0, 0};
    f.table = {0};  // bfOffBits 58: a colour table in an uncompressed 16-bit file
    EXPECT_EQ(refusal(f.data()), ERR_PALETTE);
    f.compression = 3;
    f.table = {0xF800, 0x07E0};  // bit fields without all three masks
    EXPECT_EQ(refusal(f.data()), ERR_PALETTE);

    bmp_file v5;  // 32 bits, masks inside a V5 header, alpha included
    v5.info_size = 124;
    v5.bits = 32;
    v5.compression = 3;
    v5.pixels = {0x10, 0x20, 0x30, 0x40};
    v5.header_masks = {0xFF, 0xFF00, 0xFF0000, 0xFF000000};
    EXPECT_EQ(rgba(pixel(open_bytes(v5.data()).get(), 0, 0)), (std::vector<int>{0x10, 0x20, 0x30, 0x40}));
    v5.header_masks = {0xFF0000, 0xFF00, 0xFF, 0};  // default masks: the fourth byte is alpha
    EXPECT_EQ(rgba(pixel(open_bytes(v5.data()).get(), 0, 0)), (std::vector<int>{0x30, 0x20, 0x10, 0x40}));

    // The entry count is what the file holds: three masks after a 40-byte
    // header (bfOffBits 66), four in a 56-byte header, whose alpha mask is
    // read for every pixel.
    bmp_file three;
    three.bits = 32;
    three.compression = 3;
    three.table = {0xFF0000, 0xFF00, 0xFF};
    three.pixels = {1, 2, 3, 4};
    bmp_ptr b = open_bytes(three.data());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->bfOffBits, 66u);
    EXPECT_EQ(b->palette_count, 3);
    bmp_file h56;
    h56.info_size = 56;
    h56.bits = 32;
    h56.compression = 3;
    h56.width = 4;
    h56.header_masks = {0xFF00, 0xFF0000, 0xFF000000, 0xFF};  // alpha in the low byte
    h56.pixels = {0x00, 0x11, 0x22, 0x33, 0x80, 0x44, 0x55, 0x66, 0xFF, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF};
    b = open_bytes(h56.data());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->palette_count, 4);
    const std::vector<std::vector<int>> want = {
        {0x11, 0x22, 0x33, 0x00}, {0x44, 0x55, 0x66, 0x80}, {0, 0, 0, 0xFF}, {0xFF, 0xFF, 0xFF, 0x7F}};
    for (int x = 0; x < 4; ++x) EXPECT_EQ(rgba(pixel(b.get(), x, 0)), want[x]) << x;
}

TEST(BmpReader, BadHeadersAreRefusedBeforeAnythingLargeIsAllocated) {
    struct header_case {
        const char *what;
        void (*change)(bmp_file &);
        int code;
    } cases[] = {
        {"not BM", [](bmp_file &f) { f.info_size = 0x4142; }, ERR_IMAGE_HEADER},
        {"width 0", [](bmp_file &f) { f.width = 0; }, ERR_IMAGE_HEADER},
        {"height 0", [](bmp_file &f) { f.height = 0; }, ERR_IMAGE_HEADER},
        {"height INT_MIN", [](bmp_file &f) { f.height = INT_MIN; }, ERR_IMAGE_HEADER},
        {"bfOffBits inside the header", [](bmp_file &f) { f.off_bits = 50; }, ERR_IMAGE_HEADER},
        {"8 G pixels at 1 bit", [](bmp_file &f) { f.bits = 1, f.width = INT_MAX, f.height = 4; }, ERR_IMAGE_HEADER},
        {"RLE8 at 4 bits", [](bmp_file &f) { f.bits = 4, f.compression = 1; }, ERR_IMAGE_DATA},
        {"bit fields at 8 bits", [](bmp_file &f) { f.bits = 8, f.compression = 3; }, ERR_IMAGE_DATA},
        {"OS/2 Huffman", [](bmp_file &f) { f.info_size = 64, f.bits = 16, f.compression = 3; }, ERR_IMAGE_DATA},
        {"table past the end", [](bmp_file &f) { f.bits = 8, f.declared_off_bits = 0x7FFFFFF0; }, ERR_PALETTE},
        {"pixels past the end",
         [](bmp_file &f) {
             f.bits = 16, f.compression = 3, f.table = {0x7C00, 0x3E0, 0x1F};
             f.declared_off_bits = 0x7FFFFFF0;
         },
         ERR_IMAGE_DATA},
    };
    for (const auto &c : cases) {
        bmp_file f;
        f.pixels = {1, 2, 3, 0};
        c.change(f);
        bytes content = f.data();
        if (f.info_size == 0x4142) content[1] = 'A', content.resize(30);
        EXPECT_EQ(refusal(content), c.code) << c.what;
    }
}

// A file that declares a large image but cannot hold it is refused before
// the pixel memory is allocated: run in a child whose address space has room
// for far less than the declared 1 GiB, the refusal must still carry its own
// code, not ERR_OUT_OF_MEMORY.
TEST(BmpReader, ShortFilesAreRefusedWithoutAllocatingTheirImage) {
#if defined(ZR_TEST_SANITIZED)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit this test sets";
#elif ZR_TEST_EMULATED
    GTEST_SKIP() << "under qemu-user the limit binds the emulator, whose forked child can spin forever";
#else
    struct short_case {
        const char *what;
        bmp_file file;
        int code;
    } cases[] = {
        {"1 GiB of rows, 4 bytes present", {.width = 16384, .height = 16384, .bits = 32, .pixels = {1, 2, 3, 4}},
         ERR_IMAGE_DATA},
        {"top-down, 1 GiB of rows, 4 bytes present",
         {.width = 16384, .height = -16384, .bits = 32, .pixels = {1, 2, 3, 4}}, ERR_IMAGE_DATA},
        {"bit fields, 512 MiB of rows, 4 bytes present",
         {.width = 16384, .height = 16384, .bits = 16, .compression = 3, .table = {0x7C00, 0x3E0, 0x1F}, .pixels = {1, 2, 3, 4}},
         ERR_IMAGE_DATA},
        {"colour table past the end",
         {.width = 16384, .height = 16384, .bits = 8, .pixels = {1, 2, 3, 4}, .declared_off_bits = 0x7FFFFFF0},
         ERR_PALETTE},
    };
    for (const auto &c : cases) {
        const bytes content = c.file.data();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            std::ifstream status("/proc/self/statm");
            long pages = 0;
            status >> pages;
            const rlim_t room = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (256u << 20);
            limit.rlim_cur = std::min(limit.rlim_max, room);
            setrlimit(RLIMIT_AS, &limit);
            _exit(refusal(content));
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << c.what;
        EXPECT_EQ(WEXITSTATUS(status), c.code) << c.what;
    }
#endif
}

TEST(BmpReader, RunLengthStreamsDecodeAndStayInside) {
    struct rle_case {
        const char *what;
        int width, height;
        bytes stream;
        const char *rows;  // top row first
    } cases[] = {
        {"run, end of line, run", 4, 2, {4, 1, 0, 0, 4, 2, 0, 1}, "2222|1111"},
        {"a full row then end of line skips no row", 2, 3, {2, 5, 0, 0, 2, 6, 0, 1}, "00|66|55"},
        {"odd absolute run is padded", 4, 1, {0, 3, 7, 8, 9, 0xEE, 1, 4, 0, 1}, "7894"},
        {"even absolute run is not", 4, 1, {0, 4, 1, 2, 3, 4, 0, 1}, "1234"},
        {"delta", 4, 2, {0, 2, 1, 1, 1, 9, 0, 1}, "0900|0000"},
        {"runs stop at the row's end", 2, 2, {5, 3, 0, 3, 4, 5, 6, 0}, "00|33"},
        {"delta past the last row", 2, 1, {0, 2, 0, 5, 2, 7}, "00"},
        {"stream ends without end of bitmap", 2, 1, {2, 4, 0}, "44"},
        {"absolute run longer than the stream", 4, 1, {0, 9, 1, 2}, "1200"},
    };
    for (const auto &c : cases) {
        bmp_file f;
        f.bits = 8;
        f.compression = 1;
        f.width = c.width;
        f.height = c.height;
        f.pixels = c.stream;
        f.size_image = 0xFFFFFFF0;  // far more than the file holds
        bmp_ptr b = open_bytes(f.data());
        ASSERT_TRUE(b) << c.what;
        EXPECT_EQ(indexes(b.get()), c.rows) << c.what;
        EXPECT_EQ(b->encoded, nullptr);
    }
}

// ---- the public BMP suite

struct png_pixels {
    int width = 0, height = 0;
    bytes rgba;
};

bool read_png(const std::string &path, png_pixels &out) {
#if ZR_HAVE_PNG
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return false;
    img.format = PNG_FORMAT_RGBA;
    out.rgba.resize(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, out.rgba.data(), 0, nullptr)) return false;
    out.width = static_cast<int>(img.width);
    out.height = static_cast<int>(img.height);
    return true;
#else  // built without libpng (cross builds): nothing to compare with
    (void)path;
    (void)out;
    return false;
#endif
}

// First mismatch against the reference, or "" when every pixel matches.
// Channels narrower than 8 bits are compared at the precision they are stored
// in: the reader widens by shifting, reference decoders scale.
std::string compare(bmp_t *b, const png_pixels &ref) {
    if (ref.width != b->dc.width || ref.height != b->dc.height) return "size differs";
    const bool sixteen = b->dc.colors == 16;
    const int lens[4] = {sixteen ? b->red_len : 8, sixteen ? b->green_len : 8, sixteen ? b->blue_len : 8, 8};
    const bool alpha = b->dc.colors == 32 && b->palette_count >= 4 && b->palette[3] != 0;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            const std::vector<int> ours = rgba(pixel(b, x, y));
            const unsigned char *r = &ref.rgba[(static_cast<size_t>(y) * ref.width + x) * 4];
            for (int i = 0; i < (alpha ? 4 : 3); ++i) {
                const int len = std::min(lens[i], 8);
                if ((ours[i] >> (8 - len)) != std::lround(r[i] * ((1 << len) - 1) / 255.0))
                    return "pixel " + std::to_string(x) + "," + std::to_string(y) + " channel " +
                           std::to_string(i) + ": " + std::to_string(ours[i]) + " vs " + std::to_string(r[i]);
            }
        }
    return "";
}

// What the reader makes of each file that it refuses (all others load).
const std::map<std::string, int> expected_refusals = {
    {"g/pal4rle.bmp", ERR_IMAGE_DATA},      // RLE4
    {"g/pal8os2.bmp", ERR_IMAGE_HEADER},    // 12-byte OS/2 header
    {"b/badbitcount.bmp", ERR_COLOR_DEPTH}, {"b/badheadersize.bmp", ERR_IMAGE_HEADER},
    {"b/badrle4.bmp", ERR_IMAGE_DATA},      {"b/badrle4bis.bmp", ERR_IMAGE_DATA},
    {"b/badrle4ter.bmp", ERR_IMAGE_DATA},   {"b/badwidth.bmp", ERR_IMAGE_HEADER},
    {"b/reallybig.bmp", ERR_IMAGE_HEADER},  {"b/rletopdown.bmp", ERR_IMAGE_HEADER},
    {"b/shortfile.bmp", ERR_IMAGE_DATA},
};

// The suite lives outside the tree: ZR_BMPSUITE_DIR, or bmpsuite/ in the
// folder beside the checkout. Without it the test skips, unless
// ZR_REQUIRE_SHARED_DATA=1 (CI) makes that a failure.
TEST(BmpSuite, GoodFilesMatchTheirReferencesAndBadOnesAreHandled) {
    const std::string dir = zr_test::shared_folder("ZR_BMPSUITE_DIR", "bmpsuite") + "/";
    std::ifstream index(dir + "INDEX.tsv");
    if (!index) ZR_MISSING_SHARED_DATA("the BMP suite is not in " + dir + " (no INDEX.tsv); set ZR_BMPSUITE_DIR to its folder");
    std::string line;
    std::getline(index, line);  // column names
    std::map<char, int> loaded, refused;
    while (std::getline(index, line)) {
        const std::string path = line.substr(0, line.find('\t'));
        const char folder = path[0];
        zr_error_code = 0;
        bmp_ptr b(zr_bmp_open((dir + path).c_str()), zr_bmp_close);
        const auto expected = expected_refusals.find(path);
        if (!b) {
            ++refused[folder];
            std::printf("[suite] %s refused, code %d\n", path.c_str(), zr_error_code);
            if (folder != 'q') {
                ASSERT_NE(expected, expected_refusals.end()) << path << " refused, code " << zr_error_code;
                EXPECT_EQ(zr_error_code, expected->second) << path;
            }
            continue;
        }
        ++loaded[folder];
        EXPECT_TRUE(expected == expected_refusals.end()) << path << " loaded";
        // Every pixel is read: the sanitizer build sees any access outside the buffers.
        unsigned sum = 0;
        for (int y = 0; y < b->dc.height; ++y)
            for (int x = 0; x < b->dc.width; ++x) sum += pixel(b.get(), x, y).red;
        (void)sum;
        if (folder != 'g' || !ZR_HAVE_PNG) continue;
        png_pixels ref;
        const std::string png = dir + path.substr(0, path.size() - 4) + ".png";
        ASSERT_TRUE(read_png(png, ref)) << png;
        EXPECT_EQ(compare(b.get(), ref), "") << path;
    }
    for (char folder : {'g', 'q', 'b'})
        std::printf("[suite] %c/: %d loaded, %d refused\n", folder, loaded[folder], refused[folder]);
    EXPECT_EQ(loaded['g'], 25);
}


// The image loader's reader on the same suite: every file of g/ and every
// file of q/ that other decoders read (those with a reference picture) loads
// and matches; q/rgb24rle24.bmp, which none of them reads, must show the
// 252-colour picture of g/pal8.bmp.
TEST(BmpSuite, TheWiderReaderLoadsWhatOtherDecodersRead) {
    const std::string dir = zr_test::shared_folder("ZR_BMPSUITE_DIR", "bmpsuite") + "/";
    std::ifstream index(dir + "INDEX.tsv");
    if (!index) ZR_MISSING_SHARED_DATA("the BMP suite is not in " + dir + " (no INDEX.tsv); set ZR_BMPSUITE_DIR to its folder");
    const auto open_any = [](const std::string &path) {
        std::FILE *f = std::fopen(path.c_str(), "rb");
        return bmp_ptr(f != nullptr ? zr::bmp::read_bmp_any(f) : nullptr, zr_bmp_close);
    };
    std::string line;
    std::getline(index, line);  // column names
    std::map<char, int> loaded;
    while (std::getline(index, line)) {
        std::vector<std::string> cols;
        for (std::size_t at = 0, tab;; at = tab + 1) {
            tab = line.find('\t', at);
            cols.push_back(line.substr(at, tab - at));
            if (tab == std::string::npos) break;
        }
        const std::string &path = cols[0];
        const char folder = path[0];
        zr_error_code = 0;
        bmp_ptr b = open_any(dir + path);
        if (folder == 'b') continue;  // the sanitizer build watches these
        const bool has_reference = cols.size() > 8 && cols[8] != "no";
        if (!b) {
            EXPECT_FALSE(has_reference) << path << " refused, code " << zr_error_code;
            continue;
        }
        ++loaded[folder];
        if (!ZR_HAVE_PNG || !has_reference || cols[9].find("approximate") != std::string::npos) continue;
        png_pixels ref;
        const std::string png = dir + path.substr(0, path.size() - 4) + ".png";
        ASSERT_TRUE(read_png(png, ref)) << png;
        EXPECT_EQ(compare(b.get(), ref), "") << path;
    }
    EXPECT_EQ(loaded['g'], 27);
    std::printf("[suite] wider reader: g/ %d of 27, q/ %d of 43 loaded\n", loaded['g'], loaded['q']);
    bmp_ptr rle24 = open_any(dir + "q/rgb24rle24.bmp"), pal8 = open_any(dir + "g/pal8.bmp");
    ASSERT_TRUE(rle24 && pal8);
    ASSERT_EQ(rle24->dc.width, pal8->dc.width);
    ASSERT_EQ(rle24->dc.height, pal8->dc.height);
    for (int y = 0; y < pal8->dc.height; ++y)
        for (int x = 0; x < pal8->dc.width; ++x)
            ASSERT_EQ(rgba(pixel(rle24.get(), x, y)), rgba(pixel(pal8.get(), x, y))) << x << "," << y;
}

}  // namespace
