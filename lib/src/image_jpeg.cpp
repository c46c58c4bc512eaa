// JPEG through libjpeg(-turbo): baseline, progressive and arithmetic-coded
// files, greyscale or colour, decoded to BGR rows straight into a 24-bit
// bitmap, turned as their EXIF orientation says. CMYK and YCCK files are
// refused with ERR_COLOR_DEPTH.
//
// libjpeg reports errors by longjmp: read_into keeps only trivially
// destructible locals, and what the error branch frees lives in the job.
#include "image.hpp"

#include "bitmap.hpp"

#if ZR_HAVE_JPEG
// jpeglib.h needs size_t and FILE declared first.
#include <cstddef>
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#endif

namespace zr::image {

#if ZR_HAVE_JPEG
namespace {

// A progressive file may hold any number of scans, each a pass over the
// whole image; libjpeg-turbo's own advice is to stop somewhere near this.
constexpr int max_scans = 500;

struct jpeg_job {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    int code;  // what a libjpeg error means at the current step
    bmp_t *bmp;
    unsigned char *line;  // one decoded row, where the image is turned
};

jpeg_job *job_of(j_common_ptr cinfo) { return reinterpret_cast<jpeg_job *>(cinfo); }

[[noreturn]] void on_error(j_common_ptr cinfo) { std::longjmp(job_of(cinfo)->jump, 1); }

// Warnings are kept quiet; data that ends early is refused, not filled.
void on_message(j_common_ptr cinfo, int level) {
    if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) {
        job_of(cinfo)->code = ERR_IMAGE_DATA;
        std::longjmp(job_of(cinfo)->jump, 1);
    }
}

void on_progress(j_common_ptr cinfo) {
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > max_scans) {
        job_of(cinfo)->code = ERR_IMAGE_DATA;
        std::longjmp(job_of(cinfo)->jump, 1);
    }
}

std::uint32_t load_exif(const unsigned char *p, bool big, int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint32_t{p[big ? i : bytes - 1 - i]} << (8 * (bytes - 1 - i));
    return v;
}

// The Orientation tag (1 .. 8) of the first IFD in an APP1 Exif block; 1
// when there is none or the block is malformed.
int exif_orientation(const jpeg_decompress_struct &cinfo) {
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || m->data_length < 14 || std::memcmp(m->data, "Exif\0\0", 6) != 0)
            continue;
        const unsigned char *t = m->data + 6;  // the TIFF header
        const std::size_t n = m->data_length - 6;
        const bool big = t[0] == 'M';
        if ((t[0] != 'M' && t[0] != 'I') || t[1] != t[0] || load_exif(t + 2, big, 2) != 42) return 1;
        const std::uint32_t ifd = load_exif(t + 4, big, 4);
        if (ifd > n - 2) return 1;
        const std::uint32_t count = load_exif(t + ifd, big, 2);
        for (std::uint32_t i = 0; i < count && ifd + 2 + 12 * (i + 1) <= n; ++i) {
            const unsigned char *e = t + ifd + 2 + 12 * i;
            // Tag 0x112, type SHORT, one value, which sits in the entry itself.
            if (load_exif(e, big, 2) != 0x112) continue;
            const std::uint32_t v = load_exif(e + 8, big, 2);
            return load_exif(e + 2, big, 2) == 3 && v >= 1 && v <= 8 ? static_cast<int>(v) : 1;
        }
        return 1;
    }
    return 1;
}

// Copies decoded row sy (w pixels, BGR) of a w x h image to where the
// orientation puts it in the turned bitmap.
void place_row(bmp_t *b, const unsigned char *s, std::int64_t sy, std::int64_t w, std::int64_t h, int orientation) {
    for (std::int64_t sx = 0; sx < w; ++sx, s += 3) {
        std::int64_t x = sx, y = sy;
        switch (orientation) {
            case 2: x = w - 1 - sx; break;
            case 3: x = w - 1 - sx, y = h - 1 - sy; break;
            case 4: y = h - 1 - sy; break;
            case 5: x = sy, y = sx; break;
            case 6: x = h - 1 - sy, y = sx; break;
            case 7: x = h - 1 - sy, y = w - 1 - sx; break;
            case 8: x = sy, y = w - 1 - sx; break;
            default: break;
        }
        std::memcpy(row(b, y) + 3 * x, s, 3);
    }
}

bmp_t *read_into(jpeg_job *job, const unsigned char *data, std::size_t size) {
    jpeg_decompress_struct &cinfo = job->cinfo;
    if (setjmp(job->jump)) return nullptr;
    jpeg_create_decompress(&cinfo);
    cinfo.progress = &job->progress;
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    job->code = ERR_IMAGE_HEADER;
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) return nullptr;
    job->code = ERR_IMAGE_DATA;
    if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
        job->code = ERR_COLOR_DEPTH;
        return nullptr;
    }
    const std::int64_t w = cinfo.image_width, h = cinfo.image_height;
    if (too_large(w, h, false)) {
        job->code = ERR_IMAGE_HEADER;
        return nullptr;
    }
    // Every 8 x 8 block of the first component codes its DC value in at
    // least one bit (Huffman codes are never shorter), so a file with fewer
    // bits than blocks is short. Arithmetic coding has no such floor.
    if (!cinfo.arith_code && (w + 7) / 8 * ((h + 7) / 8) > 8 * static_cast<std::int64_t>(size)) return nullptr;
    const int orientation = exif_orientation(cinfo);
    const bool turned = orientation >= 5;
    job->bmp = new_bitmap(turned ? h : w, turned ? w : h, false);
    if (job->bmp == nullptr) {
        job->code = zr_error_code;
        return nullptr;
    }
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_width != w || cinfo.output_height != h || cinfo.output_components != 3) return nullptr;
    if (orientation == 1) {
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW rows[4];
            const JDIMENSION first = cinfo.output_scanline;
            const JDIMENSION n = cinfo.output_height - first < 4 ? cinfo.output_height - first : 4;
            for (JDIMENSION i = 0; i < n; ++i) rows[i] = row(job->bmp, first + i);
            jpeg_read_scanlines(&cinfo, rows, n);
        }
    } else {
        job->line = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(3 * w)));
        if (job->line == nullptr) {
            job->code = ERR_OUT_OF_MEMORY;
            return nullptr;
        }
        while (cinfo.output_scanline < cinfo.output_height) {
            const JDIMENSION y = cinfo.output_scanline;
            JSAMPROW line = job->line;
            if (jpeg_read_scanlines(&cinfo, &line, 1) == 1) place_row(job->bmp, job->line, y, w, h, orientation);
        }
    }
    jpeg_finish_decompress(&cinfo);  // a file cut short after its last row is still refused
    bmp_t *done = job->bmp;
    job->bmp = nullptr;
    return done;
}

}  // namespace

bmp_t *read_jpeg(const unsigned char *data, std::size_t size) {
    auto *job = static_cast<jpeg_job *>(std::calloc(1, sizeof(jpeg_job)));
    if (job == nullptr) return fail(ERR_OUT_OF_MEMORY);
    job->cinfo.err = jpeg_std_error(&job->err);
    job->err.error_exit = on_error;
    job->err.emit_message = on_message;
    job->progress.progress_monitor = on_progress;
    bmp_t *b = read_into(job, data, size);
    const int code = job->code;
    jpeg_destroy_decompress(&job->cinfo);
    std::free(job->line);
    zr_bmp_close(job->bmp);
    std::free(job);
    return b != nullptr ? b : fail(code);
}

#else

bmp_t *read_jpeg(const unsigned char *, std::size_t) { return fail(ERR_IMAGE_HEADER); }

#endif

}  // namespace zr::image
