// Text beside SDL_ttf, with the same TrueType file at the same size: a
// 40-character Latin line (DejaVu Sans) and a 20-syllable Hangul line
// (Nanum Gothic) at 16 and 32 pixels per em, drawn onto an 800x480 buffer of
// 16 or 32 bits in the screen's format. Strings per second:
//   draw        glyphs cached: zr_text_out, against TTF_RenderUTF8_Blended
//               and SDL_BlitSurface of its result over the same memory (how a
//               label is drawn with SDL_ttf);
//   size        measuring: zr_text_size against TTF_SizeUTF8;
//   first-draw  nothing cached: open the font, draw the string once, close.
// A case whose font file is missing is skipped.
#include "bench_cases.hpp"
#include "peers.hpp"

#include <string>
#include <unistd.h>

namespace zr_bench {
namespace {

constexpr int screen_width = 800, screen_height = 480;
constexpr color_t ink{0xF0, 0xE0, 0x20, 255};

struct text_case {
    const char *name;  // row name part
    const char *font;  // TrueType file
    const char *utf8;  // the line
};

// 40 characters; 20 syllables (and 5 spaces).
const text_case latin{"latin40", "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                      "Sphinx of black quartz, judge my vow 123"};
const text_case hangul{"hangul20", "/usr/share/fonts/truetype/nanum/NanumGothic.ttf",
                       "\xEC\x95\x88\xEB\x85\x95\xED\x95\x98\xEC\x84\xB8\xEC\x9A\x94 "          // 안녕하세요
                       "\xEB\xB0\x98\xEA\xB0\x91\xEC\x8A\xB5\xEB\x8B\x88\xEB\x8B\xA4 "          // 반갑습니다
                       "\xEC\x98\xA4\xEB\x8A\x98\xEB\x8F\x84 \xEC\xA2\x8B\xEC\x9D\x80 "        // 오늘도 좋은
                       "\xED\x95\x98\xEB\xA3\xA8 \xEB\x90\x98\xEC\x84\xB8\xEC\x9A\x94"};     // 하루 되세요

struct setup {
    text_case text;
    int px, bits;
};

bool font_present(benchmark::State &state, const text_case &t) {
    if (access(t.font, R_OK) == 0) return true;
    state.SkipWithError((std::string("font file missing: ") + t.font).c_str());
    return false;
}

// The buffer DC drawn into, in the screen's format; null after an error.
dc_ptr open_target(benchmark::State &state, int bits) {
    if (open_screen(screen_width, screen_height, bits) == nullptr) {
        state.SkipWithError("the virtual framebuffer did not open");
        return dc_ptr(nullptr, zr_release_dc);
    }
    dc_ptr dc = make_buffer(screen_width, screen_height);
    if (!dc) state.SkipWithError("no buffer DC");
    return dc;
}

using font_ptr = std::unique_ptr<zr_font_t, void (*)(zr_font_t *)>;

font_ptr open_zr_font(benchmark::State &state, const setup &s) {
    font_ptr f(zr_font_open(s.text.font, s.px), zr_font_close);
    if (!f) state.SkipWithError("zr_font_open failed");
    return f;
}

void zr_draw_column(benchmark::State &state, setup s) {
    if (!font_present(state, s.text)) return;
    dc_ptr dc = open_target(state, s.bits);
    if (!dc) return;
    font_ptr f = open_zr_font(state, s);
    if (!f) return;
    zr_text_out(dc.get(), f.get(), 8, 8, s.text.utf8, ink);  // fills the glyph cache
    timed(state, 1, [&] { benchmark::DoNotOptimize(zr_text_out(dc.get(), f.get(), 8, 8, s.text.utf8, ink)); });
}

void zr_size_column(benchmark::State &state, setup s) {
    if (!font_present(state, s.text)) return;
    font_ptr f = open_zr_font(state, s);
    if (!f) return;
    int w = 0, h = 0;
    zr_text_size(f.get(), s.text.utf8, &w, &h);
    timed(state, 1, [&] {
        zr_text_size(f.get(), s.text.utf8, &w, &h);
        benchmark::DoNotOptimize(w);
        benchmark::DoNotOptimize(h);
    });
}

void zr_first_draw_column(benchmark::State &state, setup s) {
    if (!font_present(state, s.text)) return;
    dc_ptr dc = open_target(state, s.bits);
    if (!dc) return;
    timed(state, 1, [&] {
        zr_font_t *f = zr_font_open(s.text.font, s.px);
        benchmark::DoNotOptimize(zr_text_out(dc.get(), f, 8, 8, s.text.utf8, ink));
        zr_font_close(f);
    });
}

#if ZR_BENCH_SDL_TTF
using ttf_ptr = std::unique_ptr<TTF_Font, void (*)(TTF_Font *)>;

bool ttf_ready(benchmark::State &state) {
    if (TTF_WasInit() != 0 || TTF_Init() == 0) return true;
    state.SkipWithError("TTF_Init failed");
    return false;
}

ttf_ptr open_ttf_font(benchmark::State &state, const setup &s) {
    ttf_ptr f(TTF_OpenFont(s.text.font, s.px), TTF_CloseFont);
    if (!f) state.SkipWithError("TTF_OpenFont failed");
    return f;
}

constexpr SDL_Color sdl_ink{ink.red, ink.green, ink.blue, 255};

// A label as SDL_ttf draws one: render the string to a new ARGB surface,
// blend it onto the target, free it.
void ttf_draw(TTF_Font *f, const char *utf8, SDL_Surface *target) {
    SDL_Surface *label = TTF_RenderUTF8_Blended(f, utf8, sdl_ink);
    if (label == nullptr) return;
    SDL_Rect at{8, 8, 0, 0};
    SDL_BlitSurface(label, nullptr, target, &at);
    SDL_FreeSurface(label);
}

void ttf_draw_column(benchmark::State &state, setup s) {
    if (!font_present(state, s.text) || !ttf_ready(state)) return;
    dc_ptr dc = open_target(state, s.bits);
    if (!dc) return;
    surface_ptr target = sdl_view(dc.get());
    ttf_ptr f = open_ttf_font(state, s);
    if (!target || !f) return;
    ttf_draw(f.get(), s.text.utf8, target.get());  // fills SDL_ttf's glyph cache
    timed(state, 1, [&] { ttf_draw(f.get(), s.text.utf8, target.get()); });
}

void ttf_size_column(benchmark::State &state, setup s) {
    if (!font_present(state, s.text) || !ttf_ready(state)) return;
    ttf_ptr f = open_ttf_font(state, s);
    if (!f) return;
    int w = 0, h = 0;
    TTF_SizeUTF8(f.get(), s.text.utf8, &w, &h);
    timed(state, 1, [&] {
        TTF_SizeUTF8(f.get(), s.text.utf8, &w, &h);
        benchmark::DoNotOptimize(w);
        benchmark::DoNotOptimize(h);
    });
}

void ttf_first_draw_column(benchmark::State &state, setup s) {
    if (!font_present(state, s.text) || !ttf_ready(state)) return;
    dc_ptr dc = open_target(state, s.bits);
    if (!dc) return;
    surface_ptr target = sdl_view(dc.get());
    if (!target) return state.SkipWithError("no SDL surface");
    timed(state, 1, [&] {
        TTF_Font *f = TTF_OpenFont(s.text.font, s.px);
        if (f != nullptr) ttf_draw(f, s.text.utf8, target.get());
        TTF_CloseFont(f);
    });
}
#endif

using column = void (*)(benchmark::State &, setup);

void add_row(const std::string &row, setup s, std::initializer_list<std::pair<const char *, column>> columns) {
    for (const auto &[name, run] : columns)
        add("text/" + row + "/" + name, [s, run = run](benchmark::State &state) { run(state, s); });
}

}  // namespace

void register_text_cases() {
    for (const text_case &t : {latin, hangul})
        for (int px : {16, 32}) {
            const std::string stem = std::string(t.name) + "-" + std::to_string(px) + "px";
            for (int bits : {16, 32}) {
                const setup s{t, px, bits};
                const std::string tail = stem + "-" + std::to_string(bits) + "bit";
                add_row("draw-" + tail, s, {{"zr_text_out", zr_draw_column}
#if ZR_BENCH_SDL_TTF
                                                ,
                                            {"TTF_RenderUTF8_Blended", ttf_draw_column}
#endif
                                           });
            }
            add_row("size-" + stem, setup{t, px, 32}, {{"zr_text_size", zr_size_column}
#if ZR_BENCH_SDL_TTF
                                                           ,
                                                       {"TTF_SizeUTF8", ttf_size_column}
#endif
                                                      });
        }
    for (const text_case &t : {latin, hangul})
        for (int px : {16, 32}) {
            const setup s{t, px, 32};
            add_row("first-draw-" + std::string(t.name) + "-" + std::to_string(px) + "px-32bit", s,
                    {{"zr_font_open", zr_first_draw_column}
#if ZR_BENCH_SDL_TTF
                     ,
                     {"TTF_OpenFont", ttf_first_draw_column}
#endif
                    });
        }
}

}  // namespace zr_bench
