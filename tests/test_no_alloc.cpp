// No drawing or transfer call allocates: each runs on every framebuffer format, from
// bitmaps of every depth, fast paths on and off, while a counter watches malloc.
#include "pixels.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZR_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZR_TEST_ASAN 1
#endif

namespace {
// Volatile: GCC takes malloc for a built-in that touches no variable of
// ours and would fold a plain counter to 0.
volatile bool counting = false;
volatile long allocations = 0;
void count() {
    if (counting) allocations = allocations + 1;
}
}  // namespace

#if defined(ZR_TEST_ASAN)
// AddressSanitizer owns malloc: its hook counts (GCC has no header for it).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, std::size_t),
                                                         void (*)(const volatile void *));
namespace {
void on_malloc(const volatile void *, std::size_t) { count(); }
void on_free(const volatile void *) {}
const int hooks_installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
}  // namespace
#define ZR_TEST_COUNTS_ALLOCATIONS 1
#elif defined(__GLIBC__)
// The C library's allocator under the standard names, counted.
extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void __libc_free(void *);
void *malloc(std::size_t n) noexcept {
    count();
    return __libc_malloc(n);
}
void *calloc(std::size_t n, std::size_t size) noexcept {
    count();
    return __libc_calloc(n, size);
}
void *realloc(void *p, std::size_t n) noexcept {
    count();
    return __libc_realloc(p, n);
}
void free(void *p) noexcept { __libc_free(p); }
}
#define ZR_TEST_COUNTS_ALLOCATIONS 1
#endif

namespace {

long allocations_in(const std::function<void()> &call) {
    allocations = 0;
    counting = true;
    call();
    counting = false;
    return allocations;
}

struct named_call { std::string name; std::function<void()> call; };

// Every drawing call on dc, and every transfer into it from the sources.
std::vector<named_call> calls_on(dc_t *dc, const std::vector<dc_t *> &sources) {
    const color_t c{10, 200, 30, 128};
    std::vector<named_call> calls = {
        {"zr_clear", [=] { zr_clear(dc, c); }}, {"zr_set_pixel", [=] { zr_set_pixel(dc, 3, 4, c); }},
        {"zr_get_pixel", [=] { color_t out{}; zr_get_pixel(dc, 3, 4, &out); }},
        {"zr_hline", [=] { zr_hline(dc, -5, 500, 7, c); }}, {"zr_vline", [=] { zr_vline(dc, 7, -5, 500, c); }},
        {"zr_line", [=] { zr_line(dc, -30, 2, 90, 61); }}, {"zr_line_to", [=] { zr_line_to(dc, 5, 5); }},
        {"zr_rectangle", [=] { zr_rectangle(dc, -3, 2, 70, 40); }},
        {"zr_invrectangle", [=] { zr_invrectangle(dc, 1, 1, 20, 20); }},
        {"zr_circle", [=] { zr_circle(dc, 20, 20, 15); }}, {"zr_ellipse", [=] { zr_ellipse(dc, 20, 20, 25, 9); }},
    };
    for (dc_t *src : sources) {
        const std::string from = " from kind " + std::to_string(src->dc_type) + ", depth " + std::to_string(src->colors);
        calls.push_back({"zr_bitblt" + from, [=] { zr_bitblt(dc, -2, 3, src, 1, 0, 60, 60); }});
        calls.push_back({"zr_bitblt90" + from, [=] { zr_bitblt90(dc, src); }});
        calls.push_back({"zr_bitblt270" + from, [=] { zr_bitblt270(dc, src); }});
    }
    return calls;
}

TEST(NoAlloc, DrawingAndTransferCallsNeverAllocate) {
#if !defined(ZR_TEST_COUNTS_ALLOCATIONS)
    GTEST_SKIP() << "allocations cannot be counted with this C library";
#else
    ASSERT_GT(allocations_in([] { int *volatile p = new int(1); delete p; }), 0) << "the counter does not see operator new";
    // Bitmap sources of every depth, and a 32-bit alpha one.
    std::vector<zr_test::bmp_ptr> bitmaps;
    for (const int bits : {1, 4, 8, 16, 24, 32, 32}) {
        bitmaps.push_back(zr_test::make_bitmap(40, 30, bits, bits <= 8 ? (1 << bits) : 0));
        std::memset(bitmaps.back()->data, 0x6B, static_cast<std::size_t>(bitmaps.back()->dc.bytes));
    }
    dc_t *alpha = &bitmaps.back()->dc, *eight = &bitmaps[2]->dc;
    alpha->dc_type = DC_TYPE_ALPHA;
    for (const int depth : {15, 16, 32}) {
        ASSERT_EQ(zr_test::vfb_open({.width = 64, .height = 48, .depth = depth}), 0);
        dc_t *screen = zr_get_screen_dc(), *buffer = zr_get_buffer_dc(-1, -1);
        ASSERT_TRUE(screen != nullptr && buffer != nullptr);
        std::vector<dc_t *> sources = {buffer};
        for (const zr_test::bmp_ptr &b : bitmaps) sources.push_back(&b->dc);
        std::vector<named_call> calls = calls_on(screen, sources);
        calls.push_back({"zr_to_screen_dc", [=] { zr_to_screen_dc(screen, buffer); }});
        for (const bool plain : {false, true}) {
            zr::set_plain_path_forced(plain);
            for (const named_call &c : calls)
                EXPECT_EQ(allocations_in(c.call), 0) << c.name << " on a " << depth << "-bit screen" << (plain ? ", plain" : "");
        }
        zr::set_plain_path_forced(false);
        zr_release_dc(buffer);
        zr_release_dc(screen);
        zr_test::vfb_close();
    }
    // A 16-bit bitmap, the bitmap depth that draws everything, as the target.
    zr_test::bmp_ptr target = zr_test::make_bitmap(64, 48, 16);
    for (const named_call &c : calls_on(&target->dc, {eight, alpha}))
        EXPECT_EQ(allocations_in(c.call), 0) << c.name << " on a 16-bit bitmap";
#endif
}

}  // namespace
