// The input script zr-vfb plays (its --help documents the format): one event
// a line, "TIME VERB DEVICE ARGS...", checked as a whole before anything
// plays, so that a bad script is refused at zr_input_open and never halfway.
#include "input.hpp"

#include "zr.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace zr::input {
namespace {

constexpr int max_key_code = 0x2ff;       // KEY_MAX
constexpr int max_motion = 1 << 20;       // pixels a relative move may carry
constexpr int max_wheel = 1000;           // clicks a wheel event may carry
constexpr std::size_t max_events = 1 << 16;

// Whitespace-separated words of one line.
struct words {
    std::string_view rest;

    bool next(std::string_view *w) {
        std::size_t i = 0;
        while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
        std::size_t j = i;
        while (j < rest.size() && rest[j] != ' ' && rest[j] != '\t') ++j;
        *w = rest.substr(i, j - i);
        rest.remove_prefix(j);
        return !w->empty();
    }
    // What is left, without its leading and trailing blanks.
    std::string_view tail() {
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
        while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
        return rest;
    }
};

// A decimal integer, optionally negative, within lo .. hi.
bool number(std::string_view w, long long lo, long long hi, long long *out) {
    bool negative = false;
    if (!w.empty() && w[0] == '-') {
        negative = true;
        w.remove_prefix(1);
    }
    if (w.empty() || w.size() > 12) return false;
    long long v = 0;
    for (const char c : w) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (negative) v = -v;
    if (v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool int_word(words &ws, int lo, int hi, int *out) {
    std::string_view w;
    long long v = 0;
    if (!ws.next(&w) || !number(w, lo, hi, &v)) return false;
    *out = static_cast<int>(v);
    return true;
}

bool up_or_down(words &ws, bool *down) {
    std::string_view w;
    if (!ws.next(&w)) return false;
    *down = w == "down";
    return *down || w == "up";
}

// What the script has added so far, to check each event against its device.
struct device_kinds {
    int caps[script_max_devices + 1]{};
    int range_x[script_max_devices + 1]{};
    int range_y[script_max_devices + 1]{};
};

bool read_add(words &ws, script_event *e, device_kinds *k) {
    std::string_view kind;
    if (k->caps[e->device] != 0 || !ws.next(&kind)) return false;
    bool absolute = false;
    if (kind == "keyboard") {
        e->code = ZR_DEVICE_KEYBOARD;
    } else if (kind == "mouse") {
        e->code = ZR_DEVICE_POINTER;
    } else if (kind == "tablet") {
        e->code = ZR_DEVICE_POINTER;
        absolute = true;
    } else if (kind == "touch") {
        e->code = ZR_DEVICE_TOUCH;
        absolute = true;
    } else {
        return false;
    }
    if (absolute && (!int_word(ws, 1, script_max_range, &e->range_x) || !int_word(ws, 1, script_max_range, &e->range_y)))
        return false;
    const std::string_view name = ws.tail();
    const std::size_t n = std::min(name.size(), sizeof e->name - 1);
    if (n > 0) std::memcpy(e->name, name.data(), n);
    if (n == 0) std::memcpy(e->name, kind.data(), kind.size());
    k->caps[e->device] = e->code;
    k->range_x[e->device] = e->range_x;
    k->range_y[e->device] = e->range_y;
    return true;
}

bool in_range(words &ws, const device_kinds &k, int device, int *x, int *y) {
    return int_word(ws, 0, k.range_x[device] - 1, x) && int_word(ws, 0, k.range_y[device] - 1, y);
}

bool read_touch(words &ws, script_event *e, const device_kinds &k) {
    std::string_view phase;
    if ((k.caps[e->device] & ZR_DEVICE_TOUCH) == 0 || !ws.next(&phase)) return false;
    if (!int_word(ws, 0, script_max_slots - 1, &e->slot)) return false;
    if (phase == "up") {
        e->op = script_op::touch_up;
        return true;
    }
    if (phase == "down") {
        e->op = script_op::touch_down;
    } else if (phase == "motion") {
        e->op = script_op::touch_motion;
    } else {
        return false;
    }
    return in_range(ws, k, e->device, &e->a, &e->b);
}

// One line that is not blank or a comment.
bool read_line(std::string_view line, std::int64_t after_ms, script_event *e, device_kinds *k) {
    words ws{line};
    std::string_view verb;
    long long at = 0;
    std::string_view w;
    if (!ws.next(&w) || !number(w, after_ms, script_max_ms, &at) || !ws.next(&verb)) return false;
    e->at_ms = at;
    if (!int_word(ws, 1, script_max_devices, &e->device)) return false;
    const int caps = k->caps[e->device];
    if (verb == "add") {
        e->op = script_op::add;
        return read_add(ws, e, k);
    }
    if (verb == "touch") return read_touch(ws, e, *k) && !ws.next(&w);
    if (verb == "remove") {
        e->op = script_op::remove;
        k->caps[e->device] = 0;
        k->range_x[e->device] = k->range_y[e->device] = 0;
        return caps != 0 && !ws.next(&w);
    }
    bool ok = false;
    if (verb == "key") {
        e->op = script_op::key;
        ok = (caps & ZR_DEVICE_KEYBOARD) != 0 && int_word(ws, 1, max_key_code, &e->code) && up_or_down(ws, &e->down);
    } else if (verb == "button") {
        e->op = script_op::button;
        ok = (caps & ZR_DEVICE_POINTER) != 0 && int_word(ws, 1, max_key_code, &e->code) && up_or_down(ws, &e->down);
    } else if (verb == "move") {
        e->op = script_op::move;
        ok = (caps & ZR_DEVICE_POINTER) != 0 && int_word(ws, -max_motion, max_motion, &e->a) &&
             int_word(ws, -max_motion, max_motion, &e->b);
    } else if (verb == "position") {
        e->op = script_op::position;
        // A mouse has no range: nothing is inside it.
        ok = (caps & ZR_DEVICE_POINTER) != 0 && in_range(ws, *k, e->device, &e->a, &e->b);
    } else if (verb == "wheel") {
        e->op = script_op::wheel;
        ok = (caps & ZR_DEVICE_POINTER) != 0 && int_word(ws, -max_wheel, max_wheel, &e->a) &&
             int_word(ws, -max_wheel, max_wheel, &e->b);
    }
    return ok && !ws.next(&w);
}

}  // namespace

bool read_script(const char *text, std::size_t size, std::vector<script_event> *out, int *bad_line) {
    out->clear();
    *bad_line = 0;
    if (size > script_max_bytes) return false;
    device_kinds kinds;
    std::string_view all(text, size);
    std::int64_t last_ms = 0;
    for (int number_of_line = 1; !all.empty(); ++number_of_line) {
        const std::size_t end = all.find('\n');
        std::string_view line = all.substr(0, end);
        all.remove_prefix(end == std::string_view::npos ? all.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t hash = line.find('#');
        if (hash != std::string_view::npos) line = line.substr(0, hash);
        if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
        script_event e;
        if (out->size() >= max_events || !read_line(line, last_ms, &e, &kinds)) {
            *bad_line = number_of_line;
            out->clear();
            return false;
        }
        last_ms = e.at_ms;
        out->push_back(e);
    }
    return true;
}

}  // namespace zr::input
