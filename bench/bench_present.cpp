// zr_present: the shadow copy of a full frame and of damaged rectangles (1 %,
// 10 % and 100 % of the rows), beside a memcpy of the same bytes; a pan
// copies nothing.
#include "bench_cases.hpp"
#include "bench_support.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zr_bench {
namespace {

struct present_case {
    int width, height, bits, flags;
    int percent;  // of the rows damaged
};

void present_column(benchmark::State &state, present_case c) {
    dc_t *screen = open_screen_ex(c.width, c.height, c.bits, c.flags);
    if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
    const int rows = c.height * c.percent / 100 > 0 ? c.height * c.percent / 100 : 1;
    const zr_rect_t damage{0, (c.height - rows) / 2, c.width, rows};
    timed(state, std::int64_t{c.width} * rows, [&] { zr_present(&damage, 1); });
}

void memcpy_column(benchmark::State &state, present_case c) {
    dc_t *screen = open_screen_ex(c.width, c.height, c.bits, c.flags);
    if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
    const int rows = c.height * c.percent / 100 > 0 ? c.height * c.percent / 100 : 1;
    std::vector<unsigned char> from(static_cast<std::size_t>(screen->bytes_per_line) * rows);
    std::vector<unsigned char> to(from.size());
    timed(state, std::int64_t{c.width} * rows, [&] { std::memcpy(to.data(), from.data(), from.size()); });
}

}  // namespace

void register_present_cases() {
    for (int bits : {16, 32})
        for (int percent : {1, 10, 100}) {
            const present_case c{1920, 1080, bits, ZR_INIT_SHADOW, percent};
            const std::string row = "present/shadow-" + std::to_string(bits) + "bit-1920x1080-" +
                                    std::to_string(percent) + "pct";
            add(row + "/zr_present", [c](benchmark::State &s) { present_column(s, c); });
            add(row + "/memcpy", [c](benchmark::State &s) { memcpy_column(s, c); });
        }
}

}  // namespace zr_bench
