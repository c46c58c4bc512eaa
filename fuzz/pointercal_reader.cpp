// libFuzzer target: any bytes, read as a tslib pointercal file; seven
// numbers that read are mapped through the screen transform at every turn,
// which lands each point on the screen whatever the numbers.
#include "input.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    int c[7];
    if (!zr::input::read_pointercal(reinterpret_cast<const char *>(data), size, c)) return 0;
    if (c[6] == 0) std::abort();
    for (const int rotation : {0, 90, 180, 270}) {
        zr::input::screen_map m;
        m.panel_width = 800;
        m.panel_height = 480;
        m.rotation = rotation;
        m.calibration = c;
        int w = 0, h = 0;
        zr::input::logical_size(m, &w, &h);
        for (const double f : {0.0, 0.5, 0.999, -3.0, 1e300}) {
            int x = -1, y = -1;
            zr::input::map_absolute(m, f, 1.0 - f, &x, &y);
            if (x < 0 || x >= w || y < 0 || y >= h) std::abort();
        }
    }
    return 0;
}
