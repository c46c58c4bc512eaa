// PNG pictures of the virtual framebuffer's memory.
#include "snapshot.hpp"

#include <fcntl.h>
#include <png.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace zr_vfb {

void to_rgb_row(const geometry &g, const unsigned char *row, unsigned char *rgb) {
    for (int x = 0; x < g.width; ++x, rgb += 3) {
        const unsigned char *p = row + static_cast<std::size_t>(x) * g.bits_per_pixel / 8;
        unsigned r = 0, gr = 0, b = 0;
        switch (g.depth) {
            case 1:
                r = gr = b = ((row[x / 8] >> (7 - x % 8)) & 0x1u) << 7;
                break;
            case 4:
                r = gr = b = ((row[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 0xFu) << 4;
                break;
            case 8:
                r = gr = b = p[0];
                break;
            case 15:
            case 16: {
                const unsigned v = p[0] | (p[1] << 8);
                if (g.depth == 16) {
                    r = ((v >> 11) & 0x1Fu) << 3;
                    gr = ((v >> 5) & 0x3Fu) << 2;
                } else {
                    r = ((v >> 10) & 0x1Fu) << 3;
                    gr = ((v >> 5) & 0x1Fu) << 3;
                }
                b = (v & 0x1Fu) << 3;
                break;
            }
            case 24:
            case 32:
                b = p[0];
                gr = p[1];
                r = p[2];
                break;
            default:
                break;
        }
        rgb[0] = static_cast<unsigned char>(r);
        rgb[1] = static_cast<unsigned char>(gr);
        rgb[2] = static_cast<unsigned char>(b);
    }
}

namespace {

// All of libpng's and zlib's memory for one picture comes from one anonymous
// mapping, handed out front to back and dropped as a whole.
struct arena {
    unsigned char *base = nullptr;
    std::size_t size = 0, used = 0;
};

void *arena_take(arena *a, std::size_t n) {
    n = (n + 15) & ~std::size_t{15};
    if (n > a->size - a->used) return nullptr;
    void *p = a->base + a->used;
    a->used += n;
    return p;
}

png_voidp png_take(png_structp png, png_alloc_size_t n) {
    return arena_take(static_cast<arena *>(png_get_mem_ptr(png)), n);
}
void png_give_back(png_structp, png_voidp) {}

// Errors end the picture (setjmp in encode); warnings are of no interest.
[[noreturn]] void on_png_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void on_png_warning(png_structp, png_const_charp) {}

void write_bytes(png_structp png, png_bytep data, std::size_t n) {
    const int fd = *static_cast<const int *>(png_get_io_ptr(png));
    while (n > 0) {
        const ssize_t done = write(fd, data, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) png_error(png, "write");
        data += done;
        n -= static_cast<std::size_t>(done);
    }
}
void flush_nothing(png_structp) {}

// The libpng calls proper; an error inside them comes back here by longjmp.
bool write_rows(png_structp png, png_infop info, int *fd, const geometry &g,
                const unsigned char *memory, png_bytep rgb) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, fd, write_bytes, flush_nothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(g.width), static_cast<png_uint_32>(g.height),
                 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    // Pictures are taken often while a program runs: favour speed.
    png_set_compression_level(png, 1);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_write_info(png, info);
    for (int y = 0; y < g.height; ++y) {
        to_rgb_row(
            g, memory + static_cast<std::size_t>(y) * static_cast<std::size_t>(g.line_length), rgb);
        png_write_row(png, rgb);
    }
    png_write_end(png, nullptr);
    return true;
}

bool encode(int fd, arena *a, const geometry &g, const unsigned char *memory) {
    auto *rgb = static_cast<png_bytep>(arena_take(a, static_cast<std::size_t>(g.width) * 3));
    png_structp png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, nullptr, on_png_error,
                                                on_png_warning, a, png_take, png_give_back);
    if (rgb == nullptr || png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    return info != nullptr && write_rows(png, info, &fd, g, memory, rgb);
}

}  // namespace

bool write_png(const char *path, const geometry &g, const unsigned char *memory) {
    if (g.width <= 0 || g.height <= 0 || g.width > 1 << 20 || g.height > 1 << 20) return false;
    // Room for zlib's window and hash tables, libpng's records and its few
    // row buffers, with a wide margin.
    arena a;
    a.size = (std::size_t{2} << 20) + 16 * (static_cast<std::size_t>(g.width) * 3 + 64);
    void *base = mmap(nullptr, a.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return false;
    a.base = static_cast<unsigned char *>(base);
    bool ok = false;
    const int fd = openat(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ok = encode(fd, &a, g, memory);
        if (close(fd) != 0) ok = false;
        if (!ok) unlinkat(AT_FDCWD, path, 0);
    }
    munmap(base, a.size);
    return ok;
}

}  // namespace zr_vfb
