// Draws off-screen from C++ and presents the result: a full-screen buffer DC
// cleared to (10, 20, 30), a 4 x 4 24-bit bitmap whose pixel (x, y) is
// (60x, 60y, 200) blitted into the buffer at (100, 50), then the buffer
// copied to the screen.
// Usage: consumer_cxx DEVICE
#include <zr.h>

#include <cstdio>
#include <memory>

namespace {

struct dc_release {
    void operator()(dc_t *dc) const { zr_release_dc(dc); }
};
struct bmp_release {
    void operator()(bmp_t *bmp) const { zr_bmp_close(bmp); }
};
using dc_ptr = std::unique_ptr<dc_t, dc_release>;
using bmp_ptr = std::unique_ptr<bmp_t, bmp_release>;

int draw() {
    dc_ptr screen{zr_get_screen_dc()};
    dc_ptr buffer{zr_get_buffer_dc(-1, -1)};
    bmp_ptr bitmap{zr_bmp_create(4, 4, 24, 0)};
    if (!screen || !buffer || !bitmap) return zr_print_error("consumer_cxx");

    zr_clear(buffer.get(), zr_color(10, 20, 30, 255));
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) zr_set_pixel(&bitmap->dc, x, y, zr_color(60 * x, 60 * y, 200, 255));
    }
    zr_bitblt(buffer.get(), 100, 50, &bitmap->dc, 0, 0, 4, 4);
    zr_to_screen_dc(screen.get(), buffer.get());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const char *device = argc > 1 ? argv[1] : "/dev/fb";
    if (zr_init(device) != ERR_NONE) return zr_print_error(device);
    const int status = draw();  // every DC is released before the device closes
    zr_close();
    return status;
}
