// zr_image_save_png: any DC written as a PNG file through libpng, its pixels
// read through the DC's own get_pixel slot a row at a time: red, green,
// blue and alpha for alpha DCs, red, green and blue for every other kind.
//
// libpng reports errors by longjmp: write_png keeps only trivially
// destructible locals, and what the caller frees lives in the job.
#include "image.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#if ZR_HAVE_PNG
#include <png.h>

#include <csetjmp>
#endif

namespace zr::image {
namespace {

#if ZR_HAVE_PNG

struct save_job {
    dc_t *dc;
    std::FILE *file;
    unsigned char *row;  // one row of the PNG, 3 or 4 bytes a pixel
};

void on_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void on_warning(png_structp, png_const_charp) {}

bool write_png(save_job *job, png_structp png, png_infop info) {
    if (setjmp(png_jmpbuf(png))) return false;
    dc_t *dc = job->dc;
    const bool alpha = dc->dc_type == DC_TYPE_ALPHA;
    png_init_io(png, job->file);
    // Every size a DC can have; libpng's defaults stop at a million pixels a side.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_set_IHDR(png, info, static_cast<png_uint_32>(dc->width), static_cast<png_uint_32>(dc->height), 8,
                 alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < dc->height; ++y) {
        unsigned char *p = job->row;
        for (int x = 0; x < dc->width; ++x) {
            color_t c{};
            dc->get_pixel(dc, x, y, &c);
            *p++ = c.red;
            *p++ = c.green;
            *p++ = c.blue;
            if (alpha) *p++ = c.alpha;
        }
        png_write_row(png, job->row);
    }
    png_write_end(png, nullptr);
    return true;
}

// Writes the file; 0 or the code of what failed. A regular file begun is
// removed again when the write fails; anything else (a device, a pipe) is
// left where it was.
int save_png(dc_t *dc, const char *path) {
    save_job job{dc, nullptr, nullptr};
    job.row = static_cast<unsigned char *>(std::malloc(std::size_t{4} * static_cast<std::size_t>(dc->width)));
    if (job.row == nullptr) return ERR_OUT_OF_MEMORY;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    int code = ERR_OUT_OF_MEMORY;
    if (info != nullptr) {
        job.file = std::fopen(path, "wb");
        code = ERR_NO_IMAGE_FILE;
        if (job.file != nullptr) {
            struct stat st {};
            const bool regular = fstat(fileno(job.file), &st) == 0 && S_ISREG(st.st_mode);
            const bool written = write_png(&job, png, info);
            const bool closed = std::fclose(job.file) == 0;
            if (written && closed)
                code = 0;
            else if (regular)
                std::remove(path);
        }
    }
    png_destroy_write_struct(&png, &info);
    std::free(job.row);
    return code;
}

#else

int save_png(dc_t *, const char *) { return ERR_IMAGE_HEADER; }

#endif

}  // namespace
}  // namespace zr::image

extern "C" {

ZR_API int zr_image_save_png(dc_t *dc, const char *path) {
    int code = ERR_IMAGE_DC;
    if (dc != nullptr && dc->width > 0 && dc->height > 0 && dc->get_pixel != nullptr)
        code = path != nullptr ? zr::image::save_png(dc, path) : ERR_NO_IMAGE_FILE;
    if (code != 0) zr_error_code = code;
    return code;
}

}  // extern "C"
