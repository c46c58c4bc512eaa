// zr_image_open, zr_image_from_memory and zr_image_save_png: PngSuite and
// JPEG files against Pillow's pixels (written into the build folder by
// image_refs.py, a ctest fixture), small files made here, hostile input,
// every kind of DC saved.
#include "bmp_file.hpp"
#include "child_memory.hpp"
#include "pixels.hpp"
#include "shared_data.hpp"
#include "temp_file.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using zr_test::bmp_ptr;
using zr_test::bytes;
using zr_test::pixel;
using zr_test::read_all;

bmp_ptr load(const bytes &b) { return bmp_ptr(zr_image_from_memory(b.data(), b.size()), zr_bmp_close); }

// The code a refused buffer leaves; 0 when it loaded.
int refusal(const bytes &b) {
    zr_error_code = 0;
    return load(b) ? 0 : zr_error_code;
}

std::vector<std::string> files_in(const std::string &dir, const std::string &suffix) {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir, std::filesystem::directory_options::skip_permission_denied))
        if (e.path().extension() == suffix) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The first pixel further than tolerance from a reference that
// image_refs.py wrote (width and height, 32-bit little-endian, then RGBA
// rows top first), or "".
std::string compare(bmp_t *b, const std::string &reference, int tolerance) {
    const bytes r = read_all(reference);
    std::uint32_t w = 0, h = 0;
    if (r.size() >= 8) std::memcpy(&w, r.data(), 4), std::memcpy(&h, r.data() + 4, 4);
    if (r.size() != 8 + std::size_t{w} * h * 4) return "no reference " + reference;
    if (b->dc.width != static_cast<int>(w) || b->dc.height != static_cast<int>(h))
        return "size " + std::to_string(b->dc.width) + "x" + std::to_string(b->dc.height);
    for (int y = 0; y < b->dc.height; ++y)
        for (int x = 0; x < b->dc.width; ++x) {
            const std::vector<int> ours = pixel(&b->dc, x, y);
            for (int i = 0; i < 4; ++i) {
                const int theirs = r[8 + (static_cast<std::size_t>(y) * w + x) * 4 + i];
                if (std::abs(ours[i] - theirs) > tolerance)
                    return "pixel " + std::to_string(x) + "," + std::to_string(y) + " channel " + std::to_string(i) +
                           ": " + std::to_string(ours[i]) + " vs " + std::to_string(theirs);
            }
        }
    return "";
}

// The references image_refs.py writes, and why they are absent ("" when present).
const std::string refs = ZR_IMAGE_REFS_DIR;
std::string refs_missing() {
    if (std::ifstream(refs + "/NO-PILLOW")) return "Pillow (python3-pil) is missing: no reference pixels in " + refs;
    if (!std::ifstream(refs + "/stamp")) return "the image_refs fixture has not run: no " + refs + "/stamp";
    return "";
}

std::string pngsuite_dir() { return zr_test::shared_folder("ZR_PNGSUITE_DIR", "pngsuite"); }

void put_be32(unsigned char *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// One PNG chunk: length, type, data and CRC.
bytes png_chunk(const char *type, const bytes &data) {
    // Sized once and filled: growing a short vector by insert trips g++ 12's
    // -Warray-bounds at -O3.
    bytes c(8 + data.size() + 4);
    put_be32(&c[0], static_cast<std::uint32_t>(data.size()));
    std::memcpy(&c[4], type, 4);
    std::copy(data.begin(), data.end(), c.begin() + 8);
    put_be32(&c[c.size() - 4], static_cast<std::uint32_t>(crc32(0, &c[4], static_cast<uInt>(c.size() - 8))));
    return c;
}

// The bytes as a zlib stream.
bytes deflated(const bytes &raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
    out.resize(size);
    return out;
}

// A PNG of the colour type, depth and size whose first two rows of pixel
// data (all it holds) are bytes of 1 (a palette image: index 1 at 8 bits),
// with chunks before and after its one IDAT chunk.
bytes png_file(int type, int depth, const std::vector<bytes> &before, const std::vector<bytes> &after = {},
               std::uint32_t w = 4, std::uint32_t h = 2) {
    bytes ihdr(13), raw;
    put_be32(&ihdr[0], w);
    put_be32(&ihdr[4], h);
    ihdr[8] = static_cast<unsigned char>(depth), ihdr[9] = static_cast<unsigned char>(type);
    for (int y = 0; y < 2; ++y) {
        raw.push_back(0);  // no filter
        raw.insert(raw.end(), (std::size_t{w} * depth * (type == 2 ? 3 : type == 6 ? 4 : 1) + 7) / 8, 1);
    }
    bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<bytes> chunks = {png_chunk("IHDR", ihdr)};
    chunks.insert(chunks.end(), before.begin(), before.end());
    chunks.push_back(png_chunk("IDAT", deflated(raw)));
    chunks.insert(chunks.end(), after.begin(), after.end());
    chunks.push_back(png_chunk("IEND", {}));
    for (const bytes &c : chunks) png.insert(png.end(), c.begin(), c.end());
    return png;
}

// Two small JPEG files kept in tests/data. cjpeg -arithmetic -progressive of
// a black 4096 x 4096 greyscale image, its JFIF marker dropped: 191 bytes
// for 262144 blocks, in libjpeg's default greyscale script of 6 scans, each
// a pass over every block. And a baseline 24 x 16 greyscale image of six flat
// 8 x 8 blocks, which decode exactly: A B C over D E F, grey 20, 60, 100,
// 140, 180 and 220.
const bytes black_jpeg = read_all(std::string(ZR_SOURCE_DIR) + "/tests/data/black-4096-arithmetic.jpg");
const bytes blocks_jpeg = read_all(std::string(ZR_SOURCE_DIR) + "/tests/data/blocks-24x16.jpg");

// The JPEG with an APP1 Exif block after SOI: a TIFF header in Intel or
// Motorola (big-endian) byte order, and one IFD right after it whose one
// entry is the orientation (SHORT, one value, held in the entry).
bytes with_exif(bytes jpg, int o, bool big) {
    const auto v = static_cast<unsigned char>(o);
    const bytes tiff = big ? bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 1, 0x12, 0, 3, 0, 0, 0, 1, 0, v, 0, 0, 0, 0, 0, 0}
                           : bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3, 0, 1, 0, 0, 0, v, 0, 0, 0, 0, 0, 0, 0};
    bytes app1 = {0xFF, 0xE1, 0, static_cast<unsigned char>(8 + tiff.size()), 'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), tiff.begin(), tiff.end());
    jpg.insert(jpg.begin() + 2, app1.begin(), app1.end());
    return jpg;
}

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
bytes with_jpeg_size(bytes jpg, std::uint16_t w, std::uint16_t h) {
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

// Every valid file matches Pillow; of the corrupt ones, the one whose IDAT
// data fails its checksum is bad data, the others (signature, IHDR, no
// IDAT) bad headers.
TEST(ImagePng, SuiteMatchesPillowAndCorruptFilesAreRefusedWithTheirCode) {
    if (!ZR_HAVE_PNG) {
        EXPECT_EQ(refusal(png_file(2, 8, {})), ERR_IMAGE_HEADER);
        GTEST_SKIP() << "the library was built without libpng: PNG files are refused";
    }
    const std::string suite = pngsuite_dir();
    if (!std::ifstream(suite + "/basn0g01.png"))
        ZR_MISSING_SHARED_DATA("PngSuite is not in " + suite + "; set ZR_PNGSUITE_DIR to its folder");
    if (const std::string why = refs_missing(); !why.empty()) GTEST_SKIP() << why;
    int decoded = 0, refused = 0;
    for (const std::string &name : files_in(suite, ".png")) {
        const bytes file = read_all(suite + "/" + name);
        if (name[0] == 'x') {
            EXPECT_EQ(refusal(file), name == "xcsn0g01.png" ? ERR_IMAGE_DATA : ERR_IMAGE_HEADER) << name;
            ++refused;
            continue;
        }
        bmp_ptr b = load(file);
        ASSERT_TRUE(b) << name << " code " << zr_error_code;
        ++decoded;
        // Alpha channels and tRNS chunks, and nothing else, give alpha DCs.
        const bool alpha = (file[25] & 4) != 0 || std::string(file.begin(), file.end()).find("tRNS") != std::string::npos;
        EXPECT_EQ((std::pair{int(b->dc.dc_type), b->dc.colors}), (std::pair{alpha ? DC_TYPE_ALPHA : DC_TYPE_BITMAP, alpha ? 32 : 24})) << name;
        EXPECT_EQ(compare(b.get(), refs + "/png/" + name.substr(0, name.size() - 4) + ".rgba", 0), "") << name;
    }
    EXPECT_EQ(decoded, 161);
    EXPECT_EQ(refused, 14);
}

TEST(ImagePng, PaletteFaultsAreErrPalette) {
    if (!ZR_HAVE_PNG) GTEST_SKIP() << "the library was built without libpng";
    const bytes plte = png_chunk("PLTE", {10, 20, 30, 40, 50, 60});
    bmp_ptr good = load(png_file(3, 8, {plte}));
    ASSERT_TRUE(good);
    EXPECT_EQ(pixel(&good->dc, 3, 1), (std::vector<int>{40, 50, 60, 255}));
    const std::pair<const char *, bytes> cases[] = {
        {"no PLTE", png_file(3, 8, {})}, {"PLTE after IDAT", png_file(3, 8, {}, {plte})},
        {"two PLTE chunks", png_file(3, 8, {plte, plte})}, {"PLTE of no entries", png_file(3, 8, {png_chunk("PLTE", {})})},
        {"PLTE of a partial entry", png_file(3, 8, {png_chunk("PLTE", {1, 2, 3, 4})})},
        {"PLTE of 257 entries", png_file(3, 8, {png_chunk("PLTE", bytes(3 * 257, 9))})},
    };
    for (const auto &[what, file] : cases) EXPECT_EQ(refusal(file), ERR_PALETTE) << what;
}

TEST(ImageJpeg, FilesMatchLibjpegTurbo) {
    if (!ZR_HAVE_JPEG) {
        EXPECT_EQ(refusal(blocks_jpeg), ERR_IMAGE_HEADER);
        GTEST_SKIP() << "the library was built without libjpeg-turbo: JPEG files are refused";
    }
    if (const std::string why = refs_missing(); !why.empty()) GTEST_SKIP() << why;
    const std::vector<std::string> names = files_in(refs + "/jpeg", ".jpg");
    EXPECT_GE(names.size(), 6u);
    for (const std::string &name : names) {
        bmp_ptr b(zr_image_open((refs + "/jpeg/" + name).c_str()), zr_bmp_close);
        ASSERT_TRUE(b) << name << " code " << zr_error_code;
        EXPECT_EQ((std::pair{int(b->dc.dc_type), b->dc.colors}), (std::pair{DC_TYPE_BITMAP, 24})) << name;
        EXPECT_EQ(compare(b.get(), refs + "/jpeg/" + name.substr(0, name.size() - 4) + ".rgba", 1), "") << name;
    }
}

// The six blocks as a viewer shows them for each orientation, rows top
// first: mirrored (2), turned half way (3), flipped (4), transposed (5),
// turned a quarter clockwise (6), transversed (7), turned a quarter
// anticlockwise (8). Every pixel is checked, in both byte orders.
TEST(ImageJpeg, EachExifOrientationPlacesEveryPixel) {
    if (!ZR_HAVE_JPEG) GTEST_SKIP() << "the library was built without libjpeg-turbo";
    const std::string shown[9] = {"ABC|DEF", "ABC|DEF", "CBA|FED", "FED|CBA", "DEF|ABC",
                                  "AD|BE|CF", "DA|EB|FC", "FC|EB|DA", "CF|BE|AD"};
    for (int o = 0; o <= 9; ++o)
        for (bool big : {false, true}) {
            const std::string &want = shown[o % 9];  // 0 and 9 are no orientation: as stored
            const int cols = static_cast<int>(want.find('|')), rows = static_cast<int>(want.size() + 1) / (cols + 1);
            bmp_ptr b = load(with_exif(blocks_jpeg, o, big));
            ASSERT_TRUE(b) << o;
            ASSERT_EQ((std::pair{b->dc.width, b->dc.height}), (std::pair{8 * cols, 8 * rows})) << o;
            std::string seen(want.size(), '|');
            for (int y = 0; y < b->dc.height; ++y)
                for (int x = 0; x < b->dc.width; ++x) {
                    const char block = static_cast<char>('A' + pixel(&b->dc, x, y)[0] / 40);
                    char &cell = seen[static_cast<std::size_t>(y / 8 * (cols + 1) + x / 8)];
                    if (cell == '|' || cell == block) cell = block;
                    else cell = '?';  // a block of two shades
                }
            EXPECT_EQ(seen, want) << "orientation " << o << (big ? ", big-endian" : ", little-endian");
        }
}

// Four components (libjpeg calls that CMYK even without an Adobe marker).
TEST(ImageJpeg, CmykIsRefused) {
    if (!ZR_HAVE_JPEG) GTEST_SKIP() << "the library was built without libjpeg-turbo";
    bytes jpg = blocks_jpeg;
    const std::size_t sof = 71;  // after SOI and the quantisation table
    ASSERT_EQ(jpg[sof + 1], 0xC0);
    jpg[sof + 3] += 9, jpg[sof + 9] = 4;
    jpg.insert(jpg.begin() + sof + 13, {2, 0x11, 0, 3, 0x11, 0, 4, 0x11, 0});
    EXPECT_EQ(refusal(jpg), ERR_COLOR_DEPTH);
}

// A blank image, a few bytes at any size under arithmetic coding, loads in
// libjpeg's default greyscale script (its most passes); its first scan, a
// pass over every block, 14 times more passes the budget of decoding work.
// Many scans whose data pays for them still load.
TEST(ImageJpeg, BlankArithmeticImageLoadsAndScansPastTheBudgetAreRefused) {
    if (!ZR_HAVE_JPEG) GTEST_SKIP() << "the library was built without libjpeg-turbo";
    bmp_ptr b = load(black_jpeg);
    ASSERT_TRUE(b) << zr_error_code;
    EXPECT_EQ((std::pair{b->dc.width, b->dc.height}), (std::pair{4096, 4096}));
    EXPECT_EQ(pixel(&b->dc, 4095, 4095), (std::vector<int>{0, 0, 0, 255}));
    EXPECT_EQ(refusal(with_first_scan_repeated(black_jpeg, 14)), ERR_IMAGE_DATA);
    if (const std::string why = refs_missing(); !why.empty()) GTEST_SKIP() << why;
    // 50 scans, each over the 90 blocks; the 41 DC scans hold about 65 bytes of data each.
    EXPECT_EQ(refusal(with_first_scan_repeated(read_all(refs + "/jpeg/progressive.jpg"), 40)), 0);
}

TEST(ImageHostile, NullEmptyMissingUnknownAndNonFileInput) {
    EXPECT_EQ(zr_image_from_memory(nullptr, 10), nullptr);
    EXPECT_EQ(zr_error_code, ERR_NO_IMAGE_FILE);
    for (const char *path : {static_cast<const char *>(nullptr), "/nonexistent/zr.png", "/", "/dev/zero"}) {
        zr_error_code = 0;
        EXPECT_EQ(zr_image_open(path), nullptr);
        EXPECT_EQ(zr_error_code, ERR_NO_IMAGE_FILE) << (path != nullptr ? path : "null");
    }
    const unsigned char one = 0x89;
    EXPECT_EQ(zr_image_from_memory(&one, 0), nullptr);
    EXPECT_EQ(zr_error_code, ERR_IMAGE_HEADER);
    for (const bytes &b : {bytes{0x89, 'P', 'N', 'G'}, bytes{0xFF, 0xD8}, bytes{'B'}, bytes{'G', 'I', 'F', '8', '9', 'a'}})
        EXPECT_EQ(refusal(b), ERR_IMAGE_HEADER);
    // A load that succeeds leaves zr_error_code as it found it.
    std::vector<bytes> files = {zr_test::bmp_file{.pixels = {1, 2, 3, 0}}.bytes()};
    if (ZR_HAVE_PNG) files.push_back(png_file(6, 8, {}));
    if (ZR_HAVE_JPEG) files.push_back(blocks_jpeg);
    for (const bytes &file : files) {
        zr_error_code = ERR_PALETTE;
        EXPECT_TRUE(load(file)) << file[0];
        EXPECT_EQ(zr_error_code, ERR_PALETTE) << file[0];
    }
}

// Every cut of a file is refused with a code, never loaded as if whole.
TEST(ImageHostile, TruncatedFilesAreRefusedAtEveryCut) {
    std::vector<std::pair<std::string, bytes>> files;
    if (ZR_HAVE_PNG) {
        for (const char *name : {"basn6a08.png", "basi6a16.png"})  // RGBA, and interlaced 16-bit RGBA
            if (std::ifstream(pngsuite_dir() + "/" + name)) files.emplace_back(name, read_all(pngsuite_dir() + "/" + name));
    }
    for (const char *name : {"baseline-420.jpg", "progressive.jpg", "orientation-6.jpg"})
        if (ZR_HAVE_JPEG && refs_missing().empty()) files.emplace_back(name, read_all(refs + "/jpeg/" + name));
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
    std::vector<std::tuple<std::string, bytes, int>> cases;
    if (ZR_HAVE_PNG) {
        // Over the 1 GiB cap, and under it (1 bit grey: 972 MB as 24-bit
        // rows) with far less data than deflate could expand to the rows.
        cases.emplace_back("png 30000 x 30000 rgb", png_file(2, 8, {}, {}, 30000, 30000), ERR_IMAGE_HEADER);
        cases.emplace_back("png 18000 x 18000 grey", png_file(0, 1, {}, {}, 18000, 18000), ERR_IMAGE_DATA);
    }
    if (ZR_HAVE_JPEG) {
        // Baseline: over the cap, and under it with fewer bytes than blocks.
        cases.emplace_back("jpeg 65000 x 65000", with_jpeg_size(blocks_jpeg, 65000, 65000), ERR_IMAGE_HEADER);
        cases.emplace_back("jpeg 16000 x 16000", with_jpeg_size(blocks_jpeg, 16000, 16000), ERR_IMAGE_DATA);
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
    for (const auto &[what, content, code] : cases) {
        const bytes &file = content;  // a binding cannot be captured
        EXPECT_EQ(zr_test::exit_code_with_room(256u << 20, [&file] { return refusal(file); }), code) << what;
    }
}

// Ancillary chunks are skipped unread: a 1 x 1 PNG with 16 text chunks of 8
// MiB each once held 128 MiB of inflated text. The child's resident peak is
// read once a first load has brought the decoder in.
TEST(ImageHostile, PngTextChunksAreNeitherInflatedNorKept) {
    if (!ZR_HAVE_PNG) GTEST_SKIP() << "the library was built without libpng";
    const bytes text = deflated(bytes((8 << 20) - 64, '0'));  // under libpng's 8 MiB a chunk
    std::vector<bytes> chunks;
    for (int i = 0; i < 16; ++i) {
        // A keyword, then the compression method, or (iTXt) compressed and no language.
        const bytes head = i % 2 ? bytes{'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 1, 0, 0, 0} : bytes{'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};
        bytes data(head.size() + text.size());  // sized once: growth trips g++ 12 at -O3
        std::copy(head.begin(), head.end(), data.begin());
        std::copy(text.begin(), text.end(), data.begin() + static_cast<std::ptrdiff_t>(head.size()));
        chunks.push_back(png_chunk(i % 2 ? "iTXt" : "zTXt", data));
    }
    const bytes png = png_file(2, 8, chunks), plain = png_file(2, 8, {});
    EXPECT_EQ(refusal(png), 0);
    EXPECT_LT(zr_test::peak_growth_mib([&] { load(png); }, [&] { load(plain); }), 8) << "MiB: more than one chunk's text";
}

// Every kind of DC is saved and loaded again (under a name that says BMP):
// the same colours, alpha DCs with their alpha as alpha DCs, every other
// kind opaque.
TEST(ImageSave, EveryKindOfDcComesBackThroughZrImageOpen) {
    bmp_ptr probe(zr_bmp_create(2, 2, 24, 0), zr_bmp_close);
    const zr_test::temp_file file(".bmp");
    if (!ZR_HAVE_PNG) {
        EXPECT_EQ(zr_image_save_png(&probe->dc, file.c_str()), ERR_IMAGE_HEADER);
        GTEST_SKIP() << "the library was built without libpng";
    }
    constexpr int w = 13, h = 5;
    const auto colour = [](int x, int y) { return zr_color(x * 19 + y * 40, 255 - x * 7 - y * 30, x * y * 11, 30 + x * 13 + y * 7); };
    const auto round_trip = [&](const std::string &what, dc_t *dc) {
        zr_error_code = ERR_PALETTE;
        ASSERT_EQ(zr_image_save_png(dc, file.c_str()), 0) << what;
        EXPECT_EQ(zr_error_code, ERR_PALETTE) << what;
        bmp_ptr back(zr_image_open(file.c_str()), zr_bmp_close);
        ASSERT_TRUE(back) << what;
        const bool alpha = dc->dc_type == DC_TYPE_ALPHA;
        EXPECT_EQ(back->dc.dc_type, alpha ? DC_TYPE_ALPHA : DC_TYPE_BITMAP) << what;
        ASSERT_EQ((std::pair{back->dc.width, back->dc.height}), (std::pair{dc->width, dc->height})) << what;
        for (int y = 0; y < dc->height; ++y)
            for (int x = 0; x < dc->width; ++x) {
                std::vector<int> want = pixel(dc, x, y);
                if (!alpha) want[3] = 255;
                ASSERT_EQ(pixel(&back->dc, x, y), want) << what << " at " << x << "," << y;
            }
    };
    for (int bits : {1, 4, 8, 16, 24, 32, -32}) {  // -32: an alpha DC
        const int depth = std::abs(bits);
        bmp_ptr b(zr_bmp_create(w, h, depth, depth <= 8 ? 1 << depth : 0), zr_bmp_close);
        for (int i = 0; i < b->palette_count; ++i) b->palette[i] = static_cast<std::uint32_t>(i * 0x0F0A05 + 0x102030) & 0xFFFFFF;
        for (int i = 0; i < b->dc.bytes && depth <= 8; ++i) b->data[i] = static_cast<unsigned char>(i * 37 + 11);  // any indexes
        for (int y = 0; y < h && depth > 8; ++y)
            for (int x = 0; x < w; ++x) zr_set_pixel(&b->dc, x, y, colour(x, y));
        if (bits < 0) b->dc.dc_type = DC_TYPE_ALPHA;
        round_trip(bits < 0 ? "alpha DC" : std::to_string(bits) + "-bit bitmap", &b->dc);
    }
    for (int depth : {16, 32}) {
        zr_test::vfb_config cfg;
        cfg.width = w, cfg.height = h, cfg.depth = depth;
        ASSERT_EQ(zr_test::vfb_open(cfg), 0);
        dc_t *screen = zr_get_screen_dc(), *buffer = zr_get_buffer_dc(w + 1, h - 1);
        for (dc_t *dc : {screen, buffer})
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w + 1; ++x) zr_set_pixel(dc, x, y, colour(x, y));
        round_trip(std::to_string(depth) + "-bit screen", screen);
        round_trip(std::to_string(depth) + "-bit buffer", buffer);
        zr_release_dc(buffer);
        zr_release_dc(screen);
        zr_test::vfb_close();
    }

    // What cannot be written: no DC, a DC of no pixels, no path, a path that
    // cannot be created, a folder.
    bmp_ptr empty(zr_bmp_create(0, 3, 24, 0), zr_bmp_close);
    const struct { dc_t *dc; const char *path; int code; } cases[] = {
        {nullptr, file.c_str(), ERR_IMAGE_DC},    {&empty->dc, file.c_str(), ERR_IMAGE_DC},
        {&probe->dc, nullptr, ERR_NO_IMAGE_FILE}, {&probe->dc, "/nonexistent/zr.png", ERR_NO_IMAGE_FILE},
        {&probe->dc, "/", ERR_NO_IMAGE_FILE}};
    for (const auto &c : cases) {
        zr_error_code = 0;
        EXPECT_EQ(zr_image_save_png(c.dc, c.path), c.code) << (c.path != nullptr ? c.path : "null");
        EXPECT_EQ(zr_error_code, c.code);
    }
    // A write that fails (past a file-size limit, in a child) fails the call
    // and leaves no file behind.
    EXPECT_EQ(zr_test::exit_code_in_child([&] {
                  signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{16, 16};
                  setrlimit(RLIMIT_FSIZE, &limit);
                  const int code = zr_image_save_png(&probe->dc, file.c_str());
                  return code == ERR_NO_IMAGE_FILE && access(file.c_str(), F_OK) != 0 ? 0 : 1;
              }),
              0);
}

}  // namespace
