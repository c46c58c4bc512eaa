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

// A JPEG whose frame header declares another size.
[[maybe_unused]] bytes with_jpeg_size(bytes jpg, std::uint16_t w, std::uint16_t h) {
    for (std::size_t i = 2; i + 9 < jpg.size(); ++i)
        if (jpg[i] == 0xFF && (jpg[i + 1] == 0xC0 || jpg[i + 1] == 0xC2)) {
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
    const bytes bmp = {'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0,
                       0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 0};
    bmp_ptr b = load(bmp);
    ASSERT_TRUE(b);
    color_t c{};
    zr_get_pixel(&b->dc, 0, 0, &c);
    EXPECT_EQ((std::vector<int>{c.red, c.green, c.blue}), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(refusal(bytes(bmp.begin(), bmp.begin() + 40)), ERR_IMAGE_HEADER);
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
// the refusal keeps its own code instead of ERR_OUT_OF_MEMORY.
TEST(ImageHostile, DecompressionBombsAreRefusedBeforeAllocating) {
#if defined(ZR_TEST_SANITIZED)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit this test sets";
#else
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
        cases.emplace_back("progressive jpeg 16000 x 16000",
                           with_jpeg_size(read_all(refs + "/jpeg/progressive.jpg"), 16000, 16000), ERR_IMAGE_DATA);
    }
    if (cases.empty()) GTEST_SKIP() << "no decoder or no files";
    for (const auto &[what, content, code] : cases) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            std::ifstream status("/proc/self/statm");
            long pages = 0;
            status >> pages;
            limit.rlim_cur = std::min(limit.rlim_max, static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (256u << 20));
            setrlimit(RLIMIT_AS, &limit);
            _exit(refusal(content));
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << what;
        EXPECT_EQ(WEXITSTATUS(status), code) << what;
    }
#endif
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
