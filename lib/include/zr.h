/* zr: a small 2D graphics library for the Linux framebuffer device.
 *
 * Plain C interface (C99 and C++). Every drawing target is a device context
 * (dc_t) whose operation slots are chosen for its pixel format when it is
 * created; the public functions clip and then call those slots.
 *
 * Errors: constructors return NULL and zr_init returns a code; the last code
 * is kept in zr_error_code. Messages are EUC-KR text. Not thread-safe.
 */
#ifndef ZR_H
#define ZR_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define ZR_API
#elif defined(__GNUC__)
#define ZR_API __attribute__((visibility("default")))
#else
#define ZR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- colours and device contexts ------------------------------------- */

/* One colour: four bytes in memory order red, green, blue, alpha.
 * alpha 0 is transparent, 255 opaque. */
typedef struct color_t {
    unsigned char red;
    unsigned char green;
    unsigned char blue;
    unsigned char alpha;
} color_t;

/* Kinds of DC (dc_t.dc_type). */
#define DC_TYPE_SCREEN 1 /* screen or buffer DC in the framebuffer's own format */
#define DC_TYPE_BITMAP 2 /* bitmap DC in BMP row layout */
#define DC_TYPE_ALPHA 3  /* pixels carry alpha that block transfers blend */

typedef struct dc_t dc_t;

/* A drawing target. The slots do no clipping: callers pass coordinates
 * inside the DC, ordered (x1 <= x2, y1 <= y2). */
struct dc_t {
    unsigned char dc_type;
    int width, height, dots, bytes, colors, bytes_per_line, bits_per_pixel, coor_x, coor_y;
    color_t pen_color, brush_color;
    unsigned char *mapped;
    void (*release_dc)(dc_t *dc);
    void (*clear)(dc_t *dc, color_t c);
    void (*get_pixel)(dc_t *dc, int x, int y, color_t *out);
    void (*set_pixel)(dc_t *dc, int x, int y, color_t c);
    void (*hline)(dc_t *dc, int x1, int x2, int y, color_t c);
    void (*vline)(dc_t *dc, int x, int y1, int y2, color_t c);
};

/* ---- the framebuffer device and errors -------------------------------- */

typedef struct fb_t {
    int fd, width, height, dots, bytes, colors, bytes_per_line, bits_per_pixel;
    unsigned char *mapped;
} fb_t;

ZR_API extern fb_t zr_fb;          /* the open framebuffer device */
ZR_API extern int zr_error_code;   /* the last error (ERR_*) */

#define ERR_NONE 0
#define ERR_NO_DEVICE 1
#define ERR_ACCESS 2
#define ERR_VSCREENINFO 3
#define ERR_FSCREENINFO 4
#define ERR_MMAP 5
#define ERR_NO_IMAGE_FILE 6
#define ERR_IMAGE_HEADER 7
#define ERR_IMAGE_DATA 8
#define ERR_PALETTE 9
#define ERR_COLOR_DEPTH 10
#define ERR_FONT_FILE 11
#define ERR_SIGNATURE 12
#define ERR_OUT_OF_MEMORY 13
#define ERR_PROCESSING 14
#define ERR_IMAGE_DC 15

/* Opens and maps the framebuffer device; returns 0 or an ERR_* code. */
ZR_API int zr_init(const char *device);
/* Unmaps and closes the framebuffer device. */
ZR_API void zr_close(void);
/* The message (EUC-KR) of the current zr_error_code. */
ZR_API const char *zr_error_string(void);
/* Prints "[zr error:CODE]MESSAGE (WHERE)" to stdout; returns zr_error_code. */
ZR_API int zr_print_error(const char *where);

/* ---- screen and buffer DCs -------------------------------------------- */

/* A DC over the mapped framebuffer; NULL on failure. */
ZR_API dc_t *zr_get_screen_dc(void);
/* An off-screen DC in the framebuffer's format; negative sizes mean the screen's. */
ZR_API dc_t *zr_get_buffer_dc(int width, int height);
/* Releases any DC through its own release operation; NULL is ignored. */
ZR_API void zr_release_dc(dc_t *dc);
/* Copies the whole pixel memory of src to dst, unconverted. */
ZR_API void zr_to_screen_dc(dc_t *dst, dc_t *src);

/* ---- colours, pixels, spans and lines --------------------------------- */

/* A colour from the low 8 bits of each argument. */
ZR_API color_t zr_color(int red, int green, int blue, int alpha);
/* Sets alpha, clamped into 0..255. */
ZR_API void zr_set_alpha(color_t *color, int alpha);
/* Fills the whole DC. */
ZR_API void zr_clear(dc_t *dc, color_t color);
/* Sets the colour of lines and outlines. */
ZR_API void zr_pen_color(dc_t *dc, color_t color);
/* Sets the colour of fills. */
ZR_API void zr_brush_color(dc_t *dc, color_t color);
/* Writes one pixel if it lies inside the DC. */
ZR_API void zr_set_pixel(dc_t *dc, int x, int y, color_t color);
/* Reads one pixel if it lies inside the DC; otherwise *out is left alone. */
ZR_API void zr_get_pixel(dc_t *dc, int x, int y, color_t *out);
/* Sets the current position. */
ZR_API void zr_move_to(dc_t *dc, int x, int y);
/* Draws a line in the pen colour from the current position to (x, y). */
ZR_API void zr_line_to(dc_t *dc, int x, int y);
/* zr_move_to(x1, y1), then zr_line_to(x2, y2). */
ZR_API void zr_line(dc_t *dc, int x1, int y1, int x2, int y2);
/* Horizontal span x1..x2 of row y, ends clamped into the DC. */
ZR_API void zr_hline(dc_t *dc, int x1, int x2, int y, color_t color);
/* Vertical span y1..y2 of column x, ends clamped into the DC. */
ZR_API void zr_vline(dc_t *dc, int x, int y1, int y2, color_t color);

/* ---- shapes ------------------------------------------------------------ */

/* Rectangle filled with the brush and outlined with the pen. */
ZR_API void zr_rectangle(dc_t *dc, int x1, int y1, int x2, int y2);
/* Complements red, green and blue of every pixel of the rectangle. */
ZR_API void zr_invrectangle(dc_t *dc, int x1, int y1, int x2, int y2);
/* Circle filled with the brush and outlined with the pen. */
ZR_API void zr_circle(dc_t *dc, int cx, int cy, int radius);
/* Axis-aligned ellipse filled with the brush and outlined with the pen. */
ZR_API void zr_ellipse(dc_t *dc, int cx, int cy, int rx, int ry);

/* ---- block transfers --------------------------------------------------- */

/* Copies a width x height rectangle from src (sx, sy) to dst (dx, dy), clipped. */
ZR_API void zr_bitblt(dc_t *dst, int dx, int dy, dc_t *src, int sx, int sy, int width, int height);
/* Copies src into dst turned a quarter turn counter-clockwise, bottom-left aligned. */
ZR_API void zr_bitblt90(dc_t *dst, dc_t *src);
/* Copies src into dst turned a quarter turn clockwise, top-right aligned. */
ZR_API void zr_bitblt270(dc_t *dst, dc_t *src);

/* ---- bitmaps ----------------------------------------------------------- */

/* A bitmap DC in BMP row layout, with the stored BMP header. */
typedef struct bmp_t {
    dc_t dc;
    /* The 52 bytes that follow "BM" in a BMP file, field for field. */
    uint32_t bfSize;
    uint16_t bfReserved1, bfReserved2;
    uint32_t bfOffBits, biSize;
    int32_t biWidth, biHeight;
    uint16_t biPlanes, biBitCount;
    uint32_t biCompression, biSizeImage;
    int32_t biXPelsPerMeter, biYPelsPerMeter;
    uint32_t biClrUsed, biClrImportant;
    int palette_count;
    uint32_t *palette;      /* colour table, or red, green, blue masks at 16/32 bits */
    unsigned char *data;    /* pixel rows, bottom-up */
    unsigned char *encoded; /* raw run-length stream of an RLE file, if kept */
    int blue_len, green_len, red_len, blue_shift, green_shift, red_shift;
} bmp_t;

/* The stored header spans exactly 52 bytes, without gaps. */
typedef char zr_bmp_header_is_52_bytes[(offsetof(bmp_t, biClrImportant) + sizeof(uint32_t) -
                                        offsetof(bmp_t, bfSize)) == 52
                                           ? 1
                                           : -1];

/* An empty bitmap DC; NULL on failure (zr_error_code set). */
ZR_API bmp_t *zr_bmp_create(int width, int height, int bits, int palette_count);
/* Makes a heap-allocated record into an empty bitmap DC; frees it on failure. */
ZR_API bmp_t *zr_given_bmp_mastering(bmp_t *bmp, int width, int height, int bits, int palette_count);
/* Releases a bitmap DC; NULL is ignored. */
ZR_API void zr_bmp_close(bmp_t *bmp);
/* Loads a BMP file into a new bitmap DC; NULL on failure (zr_error_code set). */
ZR_API bmp_t *zr_bmp_open(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* ZR_H */
