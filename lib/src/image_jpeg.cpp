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
namespace {

#if ZR_HAVE_JPEG

// A progressive file may hold any number of scans, each a pass over the
// blocks of one or more components; libjpeg-turbo's own advice is to stop
// somewhere near this.
constexpr int max_scans = 500;

// The most 8 x 8 blocks of the image that one byte of the file may stand
// for. Huffman codes spend at least one bit on the DC value of each block.
// Arithmetic coding has no such floor: its coder leaves out the zero bytes
// that a run of likely decisions makes, so a blank image takes about 200
// bytes at any size (cjpeg -arithmetic: 211 bytes for black 8192 x 8192,
// 4970 blocks a byte). 2048 admits flat and blank images up to about
// 4096 x 4096 and, with room to spare, images with some content at that
// size (a gradient, 438 blocks a byte).
constexpr std::int64_t huffman_blocks_per_byte = 8;
constexpr std::int64_t arithmetic_blocks_per_byte = 2048;

// The blocks all scans together may decode: 16 passes over every block of
// the image (libjpeg's default progressive scripts make 4.7 for YCbCr 4:4:4
// to 6 for greyscale), and one block more for each bit of the file, which
// admits scripts of many scans where their data pays for them. The floors
// above tie the blocks of the image, and so the work, to the file's size.
constexpr std::int64_t max_passes = 16;
constexpr std::int64_t scan_blocks_per_byte = 8;

struct jpeg_job {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    int code;  // what a libjpeg error means at the current step
    int scan;  // the last scan counted against the budget
    std::int64_t budget;  // blocks the scans still to come may decode
    bmp_t *bmp;
    unsigned char *line;  // one decoded row, where the image is turned
};

jpeg_job *job_of(j_common_ptr cinfo) { return reinterpret_cast<jpeg_job *>(cinfo); }

[[noreturn]] void on_error(j_common_ptr cinfo) {
    // Coefficient arrays over the share of the pixel cap libjpeg was given
    // (it asks for backing store, which it lacks) are an image too large.
    // A failed allocation is no fault of the data.
    if (cinfo->err->msg_code == JERR_NO_BACKING_STORE) job_of(cinfo)->code = ERR_IMAGE_HEADER;
    if (cinfo->err->msg_code == JERR_OUT_OF_MEMORY) job_of(cinfo)->code = ERR_OUT_OF_MEMORY;
    std::longjmp(job_of(cinfo)->jump, 1);
}

// Warnings are kept quiet; data that ends early is refused, not filled.
void on_message(j_common_ptr cinfo, int level) {
    if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) {
        job_of(cinfo)->code = ERR_IMAGE_DATA;
        std::longjmp(job_of(cinfo)->jump, 1);
    }
}

// libjpeg calls this before each step of its input: once a scan's header
// has been read, before its data is decoded, the scan's blocks are taken
// from the budget.
void on_progress(j_common_ptr common) {
    const auto *cinfo = reinterpret_cast<j_decompress_ptr>(common);
    jpeg_job *job = job_of(common);
    if (cinfo->input_scan_number == job->scan) return;
    job->scan = cinfo->input_scan_number;
    job->budget -= std::int64_t{cinfo->MCUs_per_row} * cinfo->MCU_rows_in_scan * cinfo->blocks_in_MCU;
    if (job->scan > max_scans || job->budget < 0) {
        job->code = ERR_IMAGE_DATA;
        std::longjmp(job->jump, 1);
    }
}

// The scans of a file, counted as libjpeg meets them: marker segments are
// skipped by their length, what lies between them (entropy-coded data,
// restart markers, stray bytes) by looking for the next marker, and the
// count stops at EOI. Counting stops past max_scans. p holds SOI first.
int count_scans(const unsigned char *p, std::size_t n) {
    int scans = 0;
    std::size_t i = 2;
    while (i < n && scans <= max_scans) {
        const auto *ff = static_cast<const unsigned char *>(std::memchr(p + i, 0xFF, n - i));
        if (ff == nullptr) break;
        i = static_cast<std::size_t>(ff - p) + 1;
        while (i < n && p[i] == 0xFF) ++i;  // fill bytes
        if (i >= n) break;
        const unsigned char code = p[i++];
        // A stuffed zero, RSTn, SOI and TEM have no segment.
        if (code == 0x00 || (code >= 0xD0 && code <= 0xD8) || code == 0x01) continue;
        if (code == 0xD9 || n - i < 2) break;
        const std::size_t length = std::size_t{p[i]} << 8 | p[i + 1];
        if (length < 2) break;  // libjpeg refuses the file there
        if (code == 0xDA) ++scans;
        i += length < n - i ? length : n - i;
    }
    return scans;
}

// Blocks of the image: every component's, rounded up to whole MCUs, as
// libjpeg keeps them in its coefficient arrays for a file of several scans.
std::int64_t image_blocks(const jpeg_decompress_struct &cinfo) {
    std::int64_t blocks = 0;
    for (int c = 0; c < cinfo.num_components; ++c) {
        const jpeg_component_info &comp = cinfo.comp_info[c];
        const std::int64_t h = comp.h_samp_factor, v = comp.v_samp_factor;
        blocks += (comp.width_in_blocks + h - 1) / h * h * ((comp.height_in_blocks + v - 1) / v * v);
    }
    return blocks;
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
        std::memcpy(bmp::bitmap_row(&b->dc, static_cast<int>(y)) + 3 * x, s, 3);
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
    const int orientation = exif_orientation(cinfo);
    const bool turned = orientation >= 5;
    // A file of several scans (progressive, or one component a scan) is
    // gathered whole in 64 coefficients a block before any row comes out.
    const std::int64_t blocks = image_blocks(cinfo);
    const std::int64_t coefficient_bytes = jpeg_has_multiple_scans(&cinfo) ? blocks * std::int64_t{sizeof(JBLOCK)} : 0;
    if (too_large(turned ? h : w, turned ? w : h, false, coefficient_bytes)) {
        job->code = ERR_IMAGE_HEADER;
        return nullptr;
    }
    // The floors count 8 x 8 blocks of the full-size image.
    const std::int64_t per_byte = cinfo.arith_code ? arithmetic_blocks_per_byte : huffman_blocks_per_byte;
    const std::int64_t full_blocks = (w + 7) / 8 * ((h + 7) / 8);
    if (static_cast<std::uint64_t>((full_blocks + per_byte - 1) / per_byte) > size) return nullptr;
    if (count_scans(data, size) > max_scans) return nullptr;
    job->budget = max_passes * blocks + scan_blocks_per_byte * static_cast<std::int64_t>(size);
    job->bmp = new_bitmap(turned ? h : w, turned ? w : h, false);
    if (job->bmp == nullptr) {
        job->code = zr_error_code;
        return nullptr;
    }
    // The bitmap's share of the pixel cap is taken: libjpeg's arrays must
    // fit the rest.
    cinfo.mem->max_memory_to_use =
        static_cast<long>(bmp::max_pixel_bytes - std::int64_t{job->bmp->dc.bytes_per_line} * job->bmp->dc.height);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_width != w || cinfo.output_height != h || cinfo.output_components != 3) return nullptr;
    if (orientation == 1) {
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW rows[4];
            const JDIMENSION first = cinfo.output_scanline;
            const JDIMENSION n = cinfo.output_height - first < 4 ? cinfo.output_height - first : 4;
            for (JDIMENSION i = 0; i < n; ++i) rows[i] = bmp::bitmap_row(&job->bmp->dc, static_cast<int>(first + i));
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

bmp_t *read_jpeg(bytes file) {
    auto *job = static_cast<jpeg_job *>(std::calloc(1, sizeof(jpeg_job)));
    if (job == nullptr) return fail(ERR_OUT_OF_MEMORY);
    job->cinfo.err = jpeg_std_error(&job->err);
    job->err.error_exit = on_error;
    job->err.emit_message = on_message;
    job->progress.progress_monitor = on_progress;
    bmp_t *b = read_into(job, file.data(), file.size());
    const int code = job->code;
    jpeg_destroy_decompress(&job->cinfo);
    std::free(job->line);
    zr_bmp_close(job->bmp);
    std::free(job);
    return b != nullptr ? b : fail(code);
}

#else

bmp_t *read_jpeg(bytes) { return fail(ERR_IMAGE_HEADER); }

#endif

// SOI and the first marker's prefix: a bare FF D8 is too weak a sign.
bool is_jpeg(bytes file) { return file.size() >= 3 && file[0] == 0xFF && file[1] == 0xD8 && file[2] == 0xFF; }

}  // namespace

const reader jpeg_reader{"jpeg", is_jpeg, read_jpeg};

}  // namespace zr::image
