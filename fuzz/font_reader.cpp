// libFuzzer target: any bytes, opened as a font file by zr_font_open, which
// takes a path: the bytes go into one memory file per process (a temporary
// file where memfd_create is missing), named by its /proc/self/fd path. Most
// seeds are fonts FreeType reads (TrueType, OpenType, BDF, PCF); a PSF file
// or a gzip stream takes zr's own reader instead. Each font is opened small
// and at the largest height, and a font that opens is measured and drawn
// onto a small bitmap: ASCII, a character no seed has, U+FFFD itself, an
// ill-formed byte and a second line, with glyphs repeated so that large
// glyphs have to share the cache.
#include "zr.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct font_file {
    int fd = -1;
    std::string path;
};

font_file make_file() {
    font_file f;
    f.fd = memfd_create("zr-fuzz-font", MFD_CLOEXEC);
    if (f.fd >= 0) {
        f.path = "/proc/self/fd/" + std::to_string(f.fd);
        if (access(f.path.c_str(), R_OK) == 0) return f;
        close(f.fd);
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zr-fuzz-font-XXXXXX";
    f.fd = mkstemp(name.data());
    if (f.fd < 0) {
        std::perror("fuzz_font_reader: no file for the input");
        std::abort();
    }
    f.path = name;
    static std::string to_remove;
    to_remove = name;
    std::atexit([] { unlink(to_remove.c_str()); });
    return f;
}

// The file holding exactly the input.
const char *store(const std::uint8_t *data, std::size_t size) {
    static const font_file file = make_file();
    if (ftruncate(file.fd, 0) != 0) std::abort();
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = pwrite(file.fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
    return file.path.c_str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const char *path = store(data, size);
    // "Ag", U+10FFFD (private use, in no seed), U+FFFD, a stray continuation
    // byte, then a line with Hangul and a character outside the BMP.
    static const char text[] = "Ag?\xF4\x8F\xBF\xBD gA\xEF\xBF\xBD\x80 AgAg\n\xED\x95\x9C \xF0\x9F\x98\x80 A";
    for (const int height : {13, 1024}) {
        zr_font_t *font = zr_font_open(path, height);
        if (font == nullptr) continue;
        int ascent = 0, descent = 0, line = 0;
        zr_font_metrics(font, &ascent, &descent, &line);
        int width = 0, lines = 0;
        zr_text_size(font, text, &width, &lines);
        bmp_t *bmp = zr_bmp_create(61, 37, 32, 0);
        if (bmp != nullptr) {
            const color_t ink{30, 200, 90, static_cast<unsigned char>(size)};
            zr_text_out(&bmp->dc, font, -5, -3, text, ink);
            zr_text_out(&bmp->dc, font, 40, 30 - ascent, "gA\xEF\xBF\xBD", ink);
            zr_bmp_close(bmp);
        }
        zr_font_close(font);
    }
    return 0;
}
