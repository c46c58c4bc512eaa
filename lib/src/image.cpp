// The one loader for every image: the file is read (or mapped) once, its
// first bytes pick a reader from the table, and that reader decodes it.
#include "image.hpp"

#include "bitmap.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace zr::image {
namespace {

// Tried in this order; no two claim the same first bytes.
constexpr const reader *readers[] = {&png_reader, &jpeg_reader, &bmp_reader};

bmp_t *decode(bytes file) {
    for (const reader *r : readers)
        if (r->sniff(file)) return r->read(file);
    return fail(ERR_IMAGE_HEADER);
}

// Files up to this size are read into one block: a mapping's setup and
// teardown (mmap, munmap and its TLB flush) cost more than copying them.
constexpr std::size_t read_limit = 128 * 1024;

// Reads up to n bytes from fd into p; the count read, or -1 on an error.
std::int64_t read_up_to(int fd, unsigned char *p, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, p + got, n - got);
        if (r == 0) break;
        if (r < 0) return -1;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<std::int64_t>(got);
}

}  // namespace

bmp_t *fail(int code) {
    zr_error_code = code;
    return nullptr;
}

bool too_large(std::int64_t width, std::int64_t height, bool alpha, std::int64_t decoder_bytes) {
    return width <= 0 || height <= 0 || width * height > INT32_MAX ||
           bmp::row_bytes(alpha ? 32 : 24, width) * height > bmp::max_pixel_bytes - decoder_bytes;
}

bmp_t *new_bitmap(std::int64_t width, std::int64_t height, bool alpha) {
    const int bits = alpha ? 32 : 24;
    if (too_large(width, height, alpha)) return fail(ERR_IMAGE_HEADER);
    bmp_t *b = zr_bmp_create(static_cast<int>(width), static_cast<int>(height), bits, 0);
    if (b != nullptr && alpha) b->dc.dc_type = DC_TYPE_ALPHA;
    return b;
}

// A larger file is mapped: no copy of it and no second block of its size
// beside the bitmap. Its pages are mapped as the reader walks them, which
// the kernel does in batches for a sequential walk; mapping them all up
// front (MAP_POPULATE) measured 1.5 times slower for a 6 MB file. A file
// cut shorter by another process while it is mapped would fault; the
// loaders read files that are not being rewritten.
file_bytes::file_bytes(const char *path, std::size_t other_limit) {
    const int fd = path != nullptr ? ::open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return;
    opened = true;
    struct stat st {};
    regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && static_cast<std::uint64_t>(st.st_size) > PTRDIFF_MAX) {
        error = ERR_OUT_OF_MEMORY;  // more than the address space holds
        ::close(fd);
        return;
    }
    const std::size_t want = regular ? static_cast<std::size_t>(st.st_size) : other_limit;
    if (regular && want > read_limit) {
        void *p = mmap(nullptr, want, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
            madvise(p, want, MADV_SEQUENTIAL);
            start_ = static_cast<unsigned char *>(p);
            size_ = want;
            mapped_ = true;
        }
    }
    if (!mapped_ && want > 0) {
        start_ = static_cast<unsigned char *>(std::malloc(want));
        const std::int64_t got = start_ != nullptr ? read_up_to(fd, start_, want) : 0;
        if (start_ == nullptr) error = ERR_OUT_OF_MEMORY;
        else if (got < 0) error = ERR_NO_IMAGE_FILE;
        else size_ = static_cast<std::size_t>(got);
    }
    ::close(fd);
}

file_bytes::~file_bytes() {
    if (mapped_)
        munmap(start_, size_);
    else
        std::free(start_);
}

}  // namespace zr::image

extern "C" {

// Anything but a regular file (a folder, a device, a pipe) is no image file.
ZR_API bmp_t *zr_image_open(const char *path) {
    using namespace zr::image;
    const file_bytes file(path, 0);
    if (!file.regular) return fail(ERR_NO_IMAGE_FILE);
    if (file.error != 0) return fail(file.error);
    return decode(file.data());
}

ZR_API bmp_t *zr_image_from_memory(const void *data, size_t size) {
    if (data == nullptr) return zr::image::fail(ERR_NO_IMAGE_FILE);
    return zr::image::decode({static_cast<const unsigned char *>(data), size});
}

}  // extern "C"
