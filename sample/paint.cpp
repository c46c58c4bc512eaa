// paint: draws where a finger or the mouse goes, one colour per finger (the
// mouse draws white while a button is held), and types the keyboard's text on
// a line at the bottom in the built-in font. Escape clears everything,
// Backspace takes back a character, Ctrl-Q quits. Waits in poll() on the
// input's descriptor and draws only when something changed. Redraws when the
// screen comes back from another virtual terminal.
//
// usage: paint [--rotate 0|90|180|270] [--console] [--log] [--pointercal FILE] [DEVICE]
// --log prints one line per event ("key-down 30 a 0 1", "touch-down 3 120 45",
// ...); --pointercal calibrates every touchscreen from a tslib file. Input
// opens first: without it (no permission on /dev/input, say) nothing else is
// tried.
// Under zr-vfb: zr-vfb --input SCRIPT -- paint (zr-vfb --help shows a script).
#include "zr.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

constexpr unsigned keysym_escape = 0xff1b;
constexpr unsigned keysym_backspace = 0xff08;
constexpr int key_q = 16;      // KEY_Q: Ctrl-Q where the Q key is, whatever the layout
constexpr int max_fingers = 10;
constexpr std::size_t max_text = 200;  // bytes on the line

const color_t finger_colors[max_fingers] = {
    {230, 60, 60, 255},  {60, 200, 60, 255},  {70, 110, 250, 255}, {240, 210, 40, 255}, {220, 80, 220, 255},
    {40, 210, 220, 255}, {250, 140, 30, 255}, {150, 90, 40, 255},  {160, 160, 160, 255}, {120, 60, 200, 255},
};

const char *default_device() {
    for (const char *path : {"/dev/dri/card0", "/dev/fb0", "/dev/fb"})
        if (access(path, F_OK) == 0) return path;
    return "/dev/fb";
}

struct painter {
    bmp_t *canvas = nullptr;  // the strokes, kept across frames
    zr_font_t *font = nullptr;
    std::string text;
    int last_x[max_fingers + 1]{}, last_y[max_fingers + 1]{};  // the last slot is the mouse's
    bool down[max_fingers + 1]{};

    // A new canvas, black all over (a bitmap DC has no clear or spans of its
    // own), with round 5-pixel smooth strokes. False without memory.
    bool blank(int width, int height) {
        zr_bmp_close(canvas);
        canvas = zr_bmp_create(width, height, 32, 0);
        if (canvas == nullptr) return false;
        zr_pen_width(&canvas->dc, 5);
        zr_pen_cap(&canvas->dc, ZR_CAP_ROUND);
        zr_antialias(&canvas->dc, 1);
        return true;
    }

    void stroke(int who, int x, int y, color_t color) {
        dc_t *dc = &canvas->dc;
        zr_pen_color(dc, color);
        if (down[who]) zr_line(dc, last_x[who], last_y[who], x, y);
        else zr_line(dc, x, y, x, y);
        last_x[who] = x;
        last_y[who] = y;
        down[who] = true;
    }

    // The canvas, with the text line over its bottom.
    void show(dc_t *screen) {
        const int w = screen->width, h = screen->height;
        zr_bitblt(screen, 0, 0, &canvas->dc, 0, 0, w, h);
        int line = 0;
        zr_font_metrics(font, nullptr, nullptr, &line);
        zr_brush_color(screen, zr_color(30, 30, 40, 255));
        zr_pen_color(screen, zr_color(30, 30, 40, 255));
        zr_rectangle(screen, 0, h - line - 8, w - 1, h - 1);
        zr_text_out(screen, font, 6, h - line - 4, ("> " + text + "_").c_str(), zr_color(255, 255, 255, 255));
    }
};

// Printable text only: control characters (Ctrl-letters, Escape) are not typed.
bool printable(const char *utf8) { return utf8[0] != '\0' && static_cast<unsigned char>(utf8[0]) >= 0x20 && utf8[0] != 0x7f; }

void log_event(const zr_event_t &e) {
    switch (e.type) {
        case ZR_EVENT_KEY_DOWN:
            std::printf("key-down %d %s %d %d\n", e.key, printable(e.text) ? e.text : "-", e.modifiers, e.device);
            break;
        case ZR_EVENT_KEY_UP: std::printf("key-up %d\n", e.key); break;
        case ZR_EVENT_KEY_REPEAT: std::printf("key-repeat %d\n", e.key); break;
        case ZR_EVENT_POINTER_MOTION: std::printf("motion %d %d\n", e.x, e.y); break;
        case ZR_EVENT_BUTTON_DOWN: std::printf("button-down %d %d %d\n", e.key, e.x, e.y); break;
        case ZR_EVENT_BUTTON_UP: std::printf("button-up %d %d %d\n", e.key, e.x, e.y); break;
        case ZR_EVENT_WHEEL: std::printf("wheel %d %d\n", e.wheel_x, e.wheel_y); break;
        case ZR_EVENT_TOUCH_DOWN: std::printf("touch-down %d %d %d\n", e.slot, e.x, e.y); break;
        case ZR_EVENT_TOUCH_MOTION: std::printf("touch-motion %d %d %d\n", e.slot, e.x, e.y); break;
        case ZR_EVENT_TOUCH_UP: std::printf("touch-up %d\n", e.slot); break;
        case ZR_EVENT_TOUCH_CANCEL: std::printf("touch-cancel %d\n", e.slot); break;
        case ZR_EVENT_DEVICE_ADDED: std::printf("device-added %d %d %s\n", e.device, e.capabilities, e.name); break;
        case ZR_EVENT_DEVICE_REMOVED: std::printf("device-removed %d\n", e.device); break;
        case ZR_EVENT_SCREEN_LEFT: std::printf("screen-left\n"); break;
        case ZR_EVENT_SCREEN_BACK: std::printf("screen-back\n"); break;
        default: break;
    }
    std::fflush(stdout);
}

int usage() {
    std::fprintf(stderr, "usage: paint [--rotate 0|90|180|270] [--console] [--log] [--pointercal FILE] [DEVICE]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int flags = ZR_INIT_DOUBLE_BUFFER;
    bool log = false;
    const char *device = nullptr, *pointercal = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rotate") == 0 && i + 1 < argc) {
            const int turn = std::atoi(argv[++i]);
            if (turn != 0 && turn != 90 && turn != 180 && turn != 270) return usage();
            flags |= turn == 90 ? ZR_INIT_ROTATE_90 : turn == 180 ? ZR_INIT_ROTATE_180 : turn == 270 ? ZR_INIT_ROTATE_270 : 0;
        } else if (std::strcmp(argv[i], "--console") == 0) {
            flags |= ZR_INIT_CONSOLE;
        } else if (std::strcmp(argv[i], "--log") == 0) {
            log = true;
        } else if (std::strcmp(argv[i], "--pointercal") == 0 && i + 1 < argc) {
            pointercal = argv[++i];
        } else if (argv[i][0] != '-' && device == nullptr) {
            device = argv[i];
        } else {
            return usage();
        }
    }
    if (device == nullptr) device = default_device();
    zr_input_t *input = zr_input_open(0);
    if (input == nullptr) {
        zr_print_error("zr_input_open");  // ZR_DEBUG=1 says why, in English
        return 1;
    }
    if (pointercal != nullptr && zr_input_load_pointercal(input, 0, pointercal) != 0) {
        zr_print_error(pointercal);
        zr_input_close(input);
        return 1;
    }
    if (zr_init_ex(device, flags) != ERR_NONE) {
        zr_print_error(device);
        zr_input_close(input);
        return 1;
    }
    dc_t *screen = zr_get_screen_dc();
    painter p;
    p.font = zr_font_default();
    if (screen == nullptr || !p.blank(screen->width, screen->height) || p.font == nullptr) {
        zr_print_error(device);
        zr_bmp_close(p.canvas);
        zr_release_dc(screen);
        zr_input_close(input);
        zr_close();
        return 1;
    }
    bool quit = false, changed = true, away = false;
    int status = 0;
    for (;;) {
        // What the last events changed shows before anything else, quitting too.
        if (changed && !away) {
            p.show(screen);
            const int code = zr_present(nullptr, 0);
            if (code == ERR_SCREEN_AWAY) {
                away = true;  // drawn again when the screen comes back
            } else if (code != ERR_NONE) {
                zr_print_error("zr_present");
                status = 1;
                break;
            }
            changed = false;
        }
        if (quit) break;
        pollfd fds{zr_input_fd(input), POLLIN, 0};
        if (poll(&fds, 1, -1) < 0) continue;
        zr_event_t e;
        while (!quit && zr_input_next(input, &e, 0) == 1) {
            if (log) log_event(e);
            changed = true;
            const int finger = e.slot >= 0 && e.slot < max_fingers ? e.slot : max_fingers - 1;
            switch (e.type) {
                case ZR_EVENT_TOUCH_DOWN:
                case ZR_EVENT_TOUCH_MOTION: p.stroke(finger, e.x, e.y, finger_colors[finger]); break;
                case ZR_EVENT_TOUCH_UP:
                case ZR_EVENT_TOUCH_CANCEL: p.down[finger] = false; break;
                case ZR_EVENT_BUTTON_DOWN: p.stroke(max_fingers, e.x, e.y, zr_color(255, 255, 255, 255)); break;
                case ZR_EVENT_BUTTON_UP: p.down[max_fingers] = false; break;
                case ZR_EVENT_POINTER_MOTION:
                    if (p.down[max_fingers]) p.stroke(max_fingers, e.x, e.y, zr_color(255, 255, 255, 255));
                    break;
                case ZR_EVENT_KEY_DOWN:
                case ZR_EVENT_KEY_REPEAT:
                    if (e.key == key_q && (e.modifiers & ZR_MOD_CTRL) != 0) {
                        quit = true;
                    } else if (e.keysym == keysym_escape) {
                        if (!p.blank(screen->width, screen->height)) quit = true;
                        p.text.clear();
                    } else if (e.keysym == keysym_backspace) {
                        while (!p.text.empty() && (static_cast<unsigned char>(p.text.back()) & 0xC0) == 0x80)
                            p.text.pop_back();
                        if (!p.text.empty()) p.text.pop_back();
                    } else if (printable(e.text) && p.text.size() + std::strlen(e.text) <= max_text) {
                        p.text += e.text;
                    }
                    break;
                case ZR_EVENT_SCREEN_LEFT: away = true; break;
                case ZR_EVENT_SCREEN_BACK: away = false; break;
                default: changed = e.type != ZR_EVENT_KEY_UP; break;
            }
        }
    }
    zr_bmp_close(p.canvas);
    zr_font_close(p.font);
    zr_release_dc(screen);
    zr_input_close(input);
    zr_close();
    return status;
}
