// PNG through libpng: every colour type and depth becomes BGR or BGRA rows
// written by libpng straight into the bitmap (row pointers, bottom-up).
// Sixteen-bit channels keep their high byte; no gamma is applied.
//
// libpng reports errors by longjmp: read_into below keeps only trivially
// destructible locals, and what the error branch frees lives in the job.
#include "image.hpp"

#include "bitmap.hpp"

#include <cstring>

#if ZR_HAVE_PNG
#include <png.h>

#include <csetjmp>
#include <cstdlib>
#endif

namespace zr::image {
namespace {

#if ZR_HAVE_PNG

// Deflate gives at most about 1032 bytes out for one byte in, so a file
// that declares more filtered image data than that ratio allows cannot be
// whole; it is refused before the bitmap is allocated.
constexpr std::int64_t max_inflate_ratio = 1032;

// The most memory libpng may give one ancillary chunk, should it read one.
constexpr png_alloc_size_t max_chunk_bytes = 8 << 20;

struct png_job {
    const unsigned char *data;
    std::size_t size, pos;
    int code;  // what a libpng error means at the current step
    bmp_t *bmp;
    png_bytep *rows;
};

void on_error(png_structp png, png_const_charp message) {
    auto *job = static_cast<png_job *>(png_get_error_ptr(png));
    if (std::strstr(message, "PLTE") != nullptr || std::strstr(message, "palette") != nullptr)
        job->code = ERR_PALETTE;
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void read_bytes(png_structp png, png_bytep out, std::size_t n) {
    auto *job = static_cast<png_job *>(png_get_io_ptr(png));
    if (job->size - job->pos < n) png_error(png, "truncated");
    std::memcpy(out, job->data + job->pos, n);
    job->pos += n;
}

// Filtered bytes the image's IDAT stream inflates to (at least: interlaced
// images have more).
std::int64_t filtered_bytes(png_structp png, png_infop info) {
    const std::int64_t bits = std::int64_t{png_get_channels(png, info)} * png_get_bit_depth(png, info);
    return std::int64_t{png_get_image_height(png, info)} * (1 + (bits * png_get_image_width(png, info) + 7) / 8);
}

bmp_t *read_into(png_job *job, png_structp png, png_infop info) {
    if (setjmp(png_jmpbuf(png))) return nullptr;
    job->code = ERR_IMAGE_HEADER;
    png_read_info(png, info);
    job->code = ERR_IMAGE_DATA;
    const png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
    const int type = png_get_color_type(png, info);
    const bool alpha = (type & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (too_large(width, height, alpha)) {
        job->code = ERR_IMAGE_HEADER;
        return nullptr;
    }
    if (filtered_bytes(png, info) > max_inflate_ratio * static_cast<std::int64_t>(job->size)) return nullptr;

    png_set_expand(png);  // palette to colours, grey below 8 bits to 8, tRNS to alpha
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != std::size_t{width} * (alpha ? 4 : 3)) return nullptr;

    job->bmp = new_bitmap(width, height, alpha);
    if (job->bmp == nullptr) {
        job->code = zr_error_code;
        return nullptr;
    }
    job->rows = static_cast<png_bytep *>(std::malloc(sizeof(png_bytep) * height));
    if (job->rows == nullptr) {
        job->code = ERR_OUT_OF_MEMORY;
        return nullptr;
    }
    for (png_uint_32 y = 0; y < height; ++y) job->rows[y] = bmp::bitmap_row(&job->bmp->dc, static_cast<int>(y));
    png_read_image(png, job->rows);
    png_read_end(png, nullptr);  // a file cut short after its pixels is still refused
    bmp_t *done = job->bmp;
    job->bmp = nullptr;
    return done;
}

bmp_t *read_png(bytes file) {
    png_job job{file.data(), file.size(), 0, ERR_OUT_OF_MEMORY, nullptr, nullptr};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, on_error, on_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return fail(ERR_OUT_OF_MEMORY);
    }
    png_set_read_fn(png, &job, read_bytes);
    png_set_chunk_malloc_max(png, max_chunk_bytes);
    // Ancillary chunks are skipped unread, tRNS alone excepted (it gives
    // alpha): text, ICC profiles and the like are never inflated or kept,
    // however many a small file holds. Where libpng cannot skip known chunks,
    // its chunk cache at 1 still drops text chunks before inflating them (0
    // would mean no limit).
#ifdef PNG_HANDLE_AS_UNKNOWN_SUPPORTED
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
#endif
    png_set_chunk_cache_max(png, 1);
#if defined(PNG_SET_OPTION_SUPPORTED) && defined(PNG_IGNORE_ADLER32)
    // The CRC of every IDAT chunk already covers the compressed bytes; zlib's
    // own Adler-32 over the inflated rows checks them a second time, at about
    // 5 % of the decode.
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
    bmp_t *b = read_into(&job, png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    std::free(job.rows);
    zr_bmp_close(job.bmp);
    return b != nullptr ? b : fail(job.code);
}

#else

bmp_t *read_png(bytes) { return fail(ERR_IMAGE_HEADER); }

#endif

bool is_png(bytes file) {
    static constexpr unsigned char magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return file.size() >= sizeof magic && std::memcmp(file.data(), magic, sizeof magic) == 0;
}

}  // namespace

const reader png_reader{"png", is_png, read_png};

}  // namespace zr::image
