// libFuzzer target: any bytes, read as a zr-vfb input script. A script that
// reads holds only events its own checks allow: times in order, devices and
// slots in range, coordinates inside their device's axes.
#include "input.hpp"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::vector<zr::input::script_event> events;
    int bad_line = 0;
    const bool ok = zr::input::read_script(reinterpret_cast<const char *>(data), size, &events, &bad_line);
    if (!ok && !events.empty()) std::abort();
    std::int64_t last = 0;
    int range_x[zr::input::script_max_devices + 1]{}, range_y[zr::input::script_max_devices + 1]{};
    for (const zr::input::script_event &e : events) {
        if (e.at_ms < last || e.device < 1 || e.device > zr::input::script_max_devices) std::abort();
        last = e.at_ms;
        if (e.op == zr::input::script_op::add) {
            range_x[e.device] = e.range_x;
            range_y[e.device] = e.range_y;
            if (e.name[sizeof e.name - 1] != '\0') std::abort();
        }
        const bool positioned = e.op == zr::input::script_op::touch_down || e.op == zr::input::script_op::touch_motion ||
                                e.op == zr::input::script_op::position;
        if (positioned && (e.a < 0 || e.a >= range_x[e.device] || e.b < 0 || e.b >= range_y[e.device])) std::abort();
        if (e.slot < 0 || e.slot >= zr::input::script_max_slots) std::abort();
    }
    return 0;
}
