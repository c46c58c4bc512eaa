/* zr: a small 2D graphics library for Linux displays without a window system
 * (framebuffer devices and DRM/KMS).
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

/* Opens a framebuffer or a DRM node and draws on the visible picture:
 * zr_init_ex(device, 0). Returns 0 or an ERR_* code. */
ZR_API int zr_init(const char *device);
/* Closes the device, giving back what zr_init_ex changed (CRTC, console). */
ZR_API void zr_close(void);
/* The message (EUC-KR) of the current zr_error_code. */
ZR_API const char *zr_error_string(void);
/* Prints "[zr error:CODE]MESSAGE (WHERE)" to stdout; returns zr_error_code. */
ZR_API int zr_print_error(const char *where);

/* ---- displays and presentation ----------------------------------------- */

/* Flags of zr_init_ex (bits). Without any, the screen DC draws straight on
 * the visible picture, as zr_init does. */
#define ZR_INIT_DOUBLE_BUFFER 0x01 /* draw into a back buffer; zr_present shows it */
#define ZR_INIT_TRIPLE_BUFFER 0x02 /* three buffers where the device has room */
#define ZR_INIT_VSYNC 0x04         /* zr_present waits for the vertical blank (paced where there is none) */
#define ZR_INIT_SHADOW 0x08        /* draw in system memory; zr_present copies it (into the back buffer) */
#define ZR_INIT_CONSOLE 0x10       /* the console's text and cursor out of the way, and switches of the
                                      virtual terminal followed (ERR_SCREEN_AWAY, ZR_EVENT_SCREEN_*) */
#define ZR_INIT_RGB565 0x20        /* DRM: 16-bit 5-6-5 buffers where the driver has them */
/* The picture the program draws is turned clockwise on its way to the panel
 * (a two-bit field: 90 | 180 is 270). The screen DC, zr_fb and the buffer DCs
 * are in the turned (logical) orientation: with ZR_INIT_ROTATE_90 a program
 * draws 480x800 on an 800x480 panel, and its top-left pixel shows at the
 * panel's top-right. */
#define ZR_INIT_ROTATE_90 0x40
#define ZR_INIT_ROTATE_180 0x80
#define ZR_INIT_ROTATE_270 0xC0
#define ZR_INIT_ROTATE_PANEL 0x100 /* DRM: add the turn the connector's "panel orientation" asks for */
/* Every flag above; zr_init_ex refuses any other bit with ERR_INIT_FLAGS. */
#define ZR_INIT_ALL_FLAGS 0x1FF

/* Errors of the display layer beyond the image codes. */
#define ERR_DRM_MASTER 16     /* another program (a compositor) holds the display */
#define ERR_NO_CONNECTOR 17   /* no connected output with a mode */
#define ERR_NO_DUMB_BUFFER 18 /* the driver has no dumb buffers, or none of our format */
#define ERR_MODE_SET 19       /* the mode or a buffer could not be set up */
#define ERR_PRESENT 20        /* the picture could not be shown */
#define ERR_INIT_FLAGS 21     /* a flag bit zr_init_ex does not know */
#define ERR_ALREADY_OPEN 22   /* a device is open already: zr_close it first */
#define ERR_NO_INPUT 23       /* no keyboard, pointer or touchscreen to read */
#define ERR_INPUT_ACCESS 24   /* input devices there, none readable: join the "input" group */
#define ERR_NO_INPUT_SUPPORT 25 /* built without libinput, libudev or xkbcommon */
#define ERR_SCREEN_AWAY 26    /* another virtual terminal has the screen: draw again on ZR_EVENT_SCREEN_BACK */

/* How the picture reaches the screen (zr_display_info_t.method). */
#define ZR_PRESENT_FRONT 0  /* drawn on the visible picture */
#define ZR_PRESENT_SHADOW 1 /* drawn in system memory, copied on zr_present */
#define ZR_PRESENT_PAN 2    /* fbdev: buffers stacked in video memory, panned */
#define ZR_PRESENT_FLIP 3   /* DRM: dumb buffers, page flips */

#define ZR_BACKEND_FBDEV 1
#define ZR_BACKEND_DRM 2

/* Who turns a rotated picture (zr_display_info_t.rotation_method). */
#define ZR_ROTATE_NONE 0     /* not turned */
#define ZR_ROTATE_PLANE 1    /* the DRM plane scans it out turned: no copy */
#define ZR_ROTATE_SOFTWARE 2 /* drawn in system memory; zr_present turns the damage into the buffer shown */

/* A rectangle of damage: pixels x .. x + width - 1, y .. y + height - 1. */
typedef struct zr_rect_t {
    int x, y, width, height;
} zr_rect_t;

/* What zr_init_ex got from the device. */
typedef struct zr_display_info_t {
    int backend;    /* ZR_BACKEND_FBDEV or ZR_BACKEND_DRM; 0 while closed */
    int method;     /* ZR_PRESENT_* */
    int buffers;    /* buffers the screen DC draws into in turn: 1, 2 or 3 */
    int buffer_age; /* after zr_present the screen DC holds the frame shown this many presents ago */
    int vsync;      /* 1 when zr_present waits for the vertical blank (measured at open) */
    int console;    /* 1 when the console was put in graphics mode */
    int prefer_shadow; /* DRM: the driver reads its buffers slowly (draw elsewhere) */
    int paced;      /* 1 when ZR_INIT_VSYNC was asked for where no vertical blank can be waited for:
                       zr_present keeps to the mode's refresh rate by itself */
    int rotation;        /* degrees the picture is turned clockwise on the panel: 0, 90, 180 or 270 */
    int rotation_method; /* ZR_ROTATE_* */
    int panel_width, panel_height; /* the mode's pixels, as the panel scans them out */
    int vt_switch;  /* 1 when the program follows switches of its virtual terminal (ZR_INIT_CONSOLE) */
    int away;       /* 1 while another virtual terminal has the screen: zr_present returns ERR_SCREEN_AWAY */
} zr_display_info_t;

/* zr_init with flags (ZR_INIT_*). The device is a framebuffer (/dev/fb0) or a
 * DRM node (/dev/dri/card0), told apart by the device itself. A flag the
 * device cannot honour falls back (three buffers to two, pan or flip to a
 * shadow copy, vsync to pacing); zr_display_info says what was granted, and
 * with ZR_DEBUG=1 in the environment stderr says why. Returns 0
 * or an ERR_* code. zr_init(device) is zr_init_ex(device, 0). While a device
 * is open it opens nothing and returns ERR_ALREADY_OPEN; the open one stays
 * as it was. */
ZR_API int zr_init_ex(const char *device, int flags);
/* Shows what was drawn through the screen DC. damage lists count rectangles
 * that changed since the last present (NULL or count 0: the whole screen);
 * they are clipped to the screen. With buffers the next back buffer becomes
 * the screen DC's memory (see buffer_age); without, the damage is only passed
 * on to drivers that need to be told. Only the damage is sure to reach the
 * screen: pass every rectangle drawn on. Returns 0 or an ERR_* code. */
ZR_API int zr_present(const zr_rect_t *damage, int count);
/* Fills *info; returns 0, or ERR_NO_DEVICE while no device is open (info
 * zeroed) or with info NULL. */
ZR_API int zr_display_info(zr_display_info_t *info);

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

/* ---- smooth shapes ----------------------------------------------------- */

/* The state below belongs to one DC and goes when it is released. Points
 * name pixel centres: a shape's edge runs through them, the brush fills
 * inside it, the pen strokes along it (half its width on either side). */

/* Anti-aliasing, off by default. On, zr_line, zr_line_to, zr_circle and
 * zr_ellipse draw with each pixel's exact coverage blended by the pen's and
 * the brush's alpha; so do the shapes below, which without it draw every
 * pixel at least half covered. */
ZR_API void zr_antialias(dc_t *dc, int on);
/* Width of the pen in pixels (at least 1, the default) for lines, outlines
 * and arcs. A width other than 1 takes zr_line, zr_line_to, zr_circle and
 * zr_ellipse through the smooth shapes even with anti-aliasing off. */
ZR_API void zr_pen_width(dc_t *dc, int width);

#define ZR_CAP_BUTT 0   /* lines end at their end points (the default) */
#define ZR_CAP_ROUND 1  /* a half disc beyond each end */
#define ZR_CAP_SQUARE 2 /* half the width beyond each end */
/* How lines and arcs end. */
ZR_API void zr_pen_cap(dc_t *dc, int cap);

#define ZR_JOIN_MITER 0 /* sharp corners, bevelled past 4 half widths (the default) */
#define ZR_JOIN_ROUND 1
#define ZR_JOIN_BEVEL 2
/* How polygon outlines turn their corners, and a zr_line_to that starts
 * where the last smooth line on the DC ended turns from it. */
ZR_API void zr_pen_join(dc_t *dc, int join);

#define ZR_FILL_NONZERO 0 /* inside where the outline winds around (the default) */
#define ZR_FILL_EVENODD 1 /* inside where it crosses an odd number of times */
/* Which parts of a self-crossing polygon the brush fills. */
ZR_API void zr_fill_rule(dc_t *dc, int rule);

/* One colour of a gradient at position 0 (its start) .. 255 (its end). */
typedef struct zr_gradient_stop_t {
    int position;
    color_t color;
} zr_gradient_stop_t;

#define ZR_GRADIENT_NONE 0   /* the brush colour fills again */
#define ZR_GRADIENT_LINEAR 1 /* from (x0, y0) to (x1, y1), the same along every perpendicular */
#define ZR_GRADIENT_RADIAL 2 /* from the centre (x0, y0) out to the circle through (x1, y1) */
#define ZR_GRADIENT_MAX_STOPS 16
/* Makes the brush of the smooth fills a gradient of count (2 ..
 * ZR_GRADIENT_MAX_STOPS) stops, in any order; beyond its ends the end
 * colours go on. Colours and alpha blend linearly between stops. A kind
 * not listed or a wrong count turns the gradient off. */
ZR_API void zr_brush_gradient(dc_t *dc, int kind, int x0, int y0, int x1, int y1,
                              const zr_gradient_stop_t *stops, int count);

/* A point of a polygon. */
typedef struct zr_point_t {
    int x, y;
} zr_point_t;

/* Rectangle with corners rounded to radius (at most half its smaller side),
 * filled with the brush and outlined with the pen; corners as zr_rectangle. */
ZR_API void zr_round_rectangle(dc_t *dc, int x1, int y1, int x2, int y2, int radius);
/* The pen along the circle from start_angle to end_angle, whole degrees, 0
 * at three o'clock, clockwise on the screen; equal angles give the whole
 * circle. */
ZR_API void zr_arc(dc_t *dc, int cx, int cy, int radius, int start_angle, int end_angle);
/* Polygon of count points, filled with the brush under the fill rule and
 * outlined with the pen; the last point joins the first. */
ZR_API void zr_polygon(dc_t *dc, const zr_point_t *points, int count);

/* Sub-pixel units of the calls below: ZR_SUBPIXEL of them make a pixel. */
#define ZR_SUBPIXEL 16
/* zr_line at sub-pixel positions; the current position stays. */
ZR_API void zr_line_subpixel(dc_t *dc, int x1, int y1, int x2, int y2);
/* zr_polygon at sub-pixel positions. */
ZR_API void zr_polygon_subpixel(dc_t *dc, const zr_point_t *points, int count);

/* ---- block transfers --------------------------------------------------- */

/* Copies a width x height rectangle from src (sx, sy) to dst (dx, dy), clipped. */
ZR_API void zr_bitblt(dc_t *dst, int dx, int dy, dc_t *src, int sx, int sy, int width, int height);
/* Copies src into dst turned a quarter turn counter-clockwise, bottom-left aligned. */
ZR_API void zr_bitblt90(dc_t *dst, dc_t *src);
/* Copies src into dst turned a quarter turn clockwise, top-right aligned. */
ZR_API void zr_bitblt270(dc_t *dst, dc_t *src);

/* ---- text -------------------------------------------------------------- */

/* A font: a PSF console font (version 1 or 2, plain or .psf.gz), a font
 * FreeType reads (TrueType, OpenType, BDF, PCF) or the built-in one. */
typedef struct zr_font_t zr_font_t;

/* Opens the font file at path for text pixel_height pixels high (1 .. 1024;
 * PSF fonts: their own height times the whole multiple that fits, at least
 * 1; bitmap-only fonts: the strike nearest to it). NULL on failure
 * (zr_error_code: ERR_FONT_FILE, missing or unreadable file, or a height out
 * of range; ERR_SIGNATURE, not a font zr reads). */
ZR_API zr_font_t *zr_font_open(const char *path, int pixel_height);
/* The built-in 12 x 22 font (printable ASCII); the same font every call,
 * needing no file. zr_font_close ignores it. */
ZR_API zr_font_t *zr_font_default(void);
/* Releases a font; NULL and the built-in font are ignored. */
ZR_API void zr_font_close(zr_font_t *font);
/* Pixels above and below the baseline and from one baseline to the next,
 * each pointer may be NULL; returns the line height (0 for a NULL font). */
ZR_API int zr_font_metrics(zr_font_t *font, int *ascent, int *descent, int *line_height);
/* Draws UTF-8 text with its first line's box at (x, y) (the baseline lies
 * ascent below), clipped to the DC; each newline starts a line one line
 * height lower. Characters the font lacks and ill-formed bytes draw U+FFFD,
 * else '?', else a box. Returns the advance width of the longest line. */
ZR_API int zr_text_out(dc_t *dc, zr_font_t *font, int x, int y, const char *utf8, color_t color);
/* zr_text_out for EUC-KR text. */
ZR_API int zr_text_out_euckr(dc_t *dc, zr_font_t *font, int x, int y, const char *euckr, color_t color);
/* What zr_text_out would cover: the longest line's advance and the lines
 * times the line height (0 x 0 for ""); either pointer may be NULL. */
ZR_API void zr_text_size(zr_font_t *font, const char *utf8, int *width, int *height);

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

/* ---- images ------------------------------------------------------------ */

/* Loads a BMP, PNG or JPEG file, the kind told by its first bytes (never by
 * its name), into a new bitmap DC; release it with zr_bmp_close. Images with
 * alpha (PNG alpha channels and tRNS, BMP alpha masks) give 32-bit BGRA
 * bitmaps of kind DC_TYPE_ALPHA, which zr_bitblt blends; images without
 * give bitmaps whose pixels read opaque: 24-bit BGR for PNG and JPEG, the
 * file's own depth for BMP. NULL on failure (zr_error_code:
 * ERR_NO_IMAGE_FILE, missing or unreadable; ERR_IMAGE_HEADER, no kind zr
 * reads, a bad header, or too large; ERR_IMAGE_DATA, corrupt or cut short;
 * ERR_PALETTE; ERR_COLOR_DEPTH, a CMYK JPEG or a BMP depth zr lacks;
 * ERR_OUT_OF_MEMORY). */
ZR_API bmp_t *zr_image_open(const char *path);
/* zr_image_open for a whole file held in memory (size bytes at data). */
ZR_API bmp_t *zr_image_from_memory(const void *data, size_t size);
/* Writes the pixels of any DC to path as an 8-bit PNG file: RGBA for
 * DC_TYPE_ALPHA, RGB for every other kind. Returns 0, or an ERR_* code also
 * stored in zr_error_code (ERR_IMAGE_DC, NULL or empty DC;
 * ERR_NO_IMAGE_FILE, the file cannot be written; ERR_IMAGE_HEADER, built
 * without libpng; ERR_OUT_OF_MEMORY). */
ZR_API int zr_image_save_png(dc_t *dc, const char *path);

/* ---- input ------------------------------------------------------------- */

/* Kinds of event (zr_event_t.type). */
#define ZR_EVENT_NONE 0
#define ZR_EVENT_KEY_DOWN 1        /* key, keysym, text, modifiers */
#define ZR_EVENT_KEY_UP 2
#define ZR_EVENT_KEY_REPEAT 3      /* a key held down, at the keyboard's repeat rate */
#define ZR_EVENT_POINTER_MOTION 4  /* x, y */
#define ZR_EVENT_BUTTON_DOWN 5     /* key (BTN_LEFT ...), x, y */
#define ZR_EVENT_BUTTON_UP 6
#define ZR_EVENT_WHEEL 7           /* wheel_x, wheel_y in clicks (positive: right, down) */
#define ZR_EVENT_TOUCH_DOWN 8      /* slot, x, y */
#define ZR_EVENT_TOUCH_MOTION 9
#define ZR_EVENT_TOUCH_UP 10       /* slot */
#define ZR_EVENT_TOUCH_CANCEL 11   /* slot: the touch is void (the device went away) */
#define ZR_EVENT_DEVICE_ADDED 12   /* device, capabilities, name */
#define ZR_EVENT_DEVICE_REMOVED 13
#define ZR_EVENT_SCREEN_LEFT 14    /* another virtual terminal took the screen: presents return ERR_SCREEN_AWAY */
#define ZR_EVENT_SCREEN_BACK 15    /* the screen is back: draw everything again and present */

/* Modifiers held (zr_event_t.modifiers). */
#define ZR_MOD_SHIFT 0x01
#define ZR_MOD_CTRL 0x02
#define ZR_MOD_ALT 0x04
#define ZR_MOD_LOGO 0x08
#define ZR_MOD_CAPS_LOCK 0x10
#define ZR_MOD_NUM_LOCK 0x20

/* What a device is (zr_event_t.capabilities, bits). */
#define ZR_DEVICE_KEYBOARD 0x01
#define ZR_DEVICE_POINTER 0x02
#define ZR_DEVICE_TOUCH 0x04

/* Flags of zr_input_open (bits). */
#define ZR_INPUT_CONSOLE_KEYS 0x01 /* leave the console's keyboard as it is (key presses also reach it) */

typedef struct zr_event_t {
    int type;                  /* ZR_EVENT_* */
    int device;                /* the device's number, 1 and up; 0 for the screen events */
    uint64_t time_usec;        /* when the kernel saw it: CLOCK_MONOTONIC, microseconds */
    int key;                   /* Linux key or button code (KEY_*, BTN_*) */
    uint32_t keysym;           /* xkb key symbol (XKB_KEY_*); 0 when none */
    char text[8];              /* the UTF-8 text the key types, NUL-terminated; empty when none */
    int modifiers;             /* ZR_MOD_* held */
    int x, y;                  /* screen pixels of the open display (the logical orientation) */
    int slot;                  /* touch: the finger, 0 and up */
    int wheel_x, wheel_y;      /* wheel clicks */
    int capabilities;          /* device events: ZR_DEVICE_* */
    char name[64];             /* device events: the device's name, NUL-terminated */
} zr_event_t;

typedef struct zr_input_t zr_input_t;

/* Every keyboard, pointer and touchscreen of the seat, and those plugged in
 * later; flags are ZR_INPUT_*. Coordinates are mapped to the open display
 * (pointers clamped to it). NULL with zr_error_code set: ERR_NO_INPUT,
 * ERR_INPUT_ACCESS, ERR_NO_INPUT_SUPPORT, ERR_INIT_FLAGS, ERR_OUT_OF_MEMORY. */
ZR_API zr_input_t *zr_input_open(int flags);
/* One descriptor to poll for reading beside the program's own; -1 for NULL. */
ZR_API int zr_input_fd(zr_input_t *input);
/* The next event into *event, waiting at most timeout_ms (0: do not wait;
 * negative: wait for one). Returns 1 with an event, 0 when none came in time,
 * -1 on an error (zr_error_code). */
ZR_API int zr_input_next(zr_input_t *input, zr_event_t *event, int timeout_ms);
/* Closes the devices and gives the console its keyboard back. */
ZR_API void zr_input_close(zr_input_t *input);
/* A touchscreen's calibration, tslib's seven numbers {a, b, c, d, e, f, s}:
 * x' = (a x + b y + c) / s, y' = (d x + e y + f) / s, on the device's
 * coordinates scaled to the panel's pixels, before the screen's rotation.
 * device 0: every touchscreen, those plugged in later too. NULL coefficients:
 * none. Returns 0 or an ERR_* code. */
ZR_API int zr_input_set_calibration(zr_input_t *input, int device, const int coefficients[7]);
/* The same from a tslib pointercal file (its first seven integers). */
ZR_API int zr_input_load_pointercal(zr_input_t *input, int device, const char *path);
/* The keyboards' layout, as XKB_DEFAULT_LAYOUT, _VARIANT and _OPTIONS name it
 * (NULL: those variables, then "us"). Returns 0 or an ERR_* code. */
ZR_API int zr_input_set_layout(zr_input_t *input, const char *layout, const char *variant, const char *options);

#ifdef __cplusplus
}
#endif

#endif /* ZR_H */
