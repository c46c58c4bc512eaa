// Input's cost per event and its added latency, through the scripted source
// (zr-vfb's seam): the same handlers, key maps and transform that libinput's
// events go through, without a kernel device. Figures:
//   Input/TouchMotion, Input/Keys, Input/TabletMotion: zr_input_next per
//     event, from a script whose events are all due (items = events)
//   Input/MapAbsolute: the device-to-screen transform alone (calibrated, turned)
//   Input/LibinputDispatch: libinput's own dispatch round (libinput_dispatch
//     and libinput_get_event) on a context without devices, the floor of what
//     libinput costs per read of its descriptor; its decoding of a real
//     device's events needs a kernel device (uinput), which this bench does
//     not assume
//   Input/Latency: events due 1 ms apart, read by poll() on zr_input_fd and
//     zr_input_next; latency_us is the mean from an event's time (what the
//     kernel's timestamp is for a real device) to zr_input_next returning it
// Run: build-bench/bench/zr_bench_input (bench/run builds it too).
#include "input.hpp"
#include "zr.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libinput.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int batch = 20000;

std::string script_path() { return "/tmp/zr-bench-input-" + std::to_string(getpid()) + ".script"; }

// Writes the script and points the scripted source at it.
void use_script(const std::string &text) {
    const std::string path = script_path();
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    setenv("ZR_VFB_INPUT", path.c_str(), 1);
}

// Drains a script of `events` due events per iteration; open (reading the
// script) and close untimed, so a fixed number of iterations.
void drain(benchmark::State &state, const std::string &script, int events) {
    use_script(script);
    for (auto _ : state) {
        state.PauseTiming();
        zr_input_t *in = zr_input_open(ZR_INPUT_CONSOLE_KEYS);
        if (in == nullptr) return state.SkipWithError("zr_input_open failed");
        zr_event_t e;
        while (zr_input_next(in, &e, 0) == 1 && e.type == ZR_EVENT_DEVICE_ADDED) {
        }
        state.ResumeTiming();
        int n = 1;
        while (zr_input_next(in, &e, 0) == 1) ++n;
        benchmark::DoNotOptimize(e);
        state.PauseTiming();
        zr_input_close(in);
        if (n < events) return state.SkipWithError("events missing");
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * events);
    std::remove(script_path().c_str());
}

void BM_TouchMotion(benchmark::State &state) {
    std::string s = "0 add 1 touch 4096 4096\n0 touch 1 down 0 0 0\n";
    for (int i = 1; i < batch; ++i) s += "0 touch 1 motion 0 " + std::to_string(i % 4096) + " " + std::to_string(i * 7 % 4096) + "\n";
    drain(state, s, batch);
}
BENCHMARK(BM_TouchMotion)->Name("Input/TouchMotion")->Unit(benchmark::kMicrosecond)->Iterations(20);

void BM_Keys(benchmark::State &state) {
    std::string s = "0 add 1 keyboard\n";
    for (int i = 0; i < batch / 2; ++i) {
        const int code = 16 + i % 10;  // Q .. P
        s += "0 key 1 " + std::to_string(code) + " down\n0 key 1 " + std::to_string(code) + " up\n";
    }
    drain(state, s, batch);
}
BENCHMARK(BM_Keys)->Name("Input/Keys")->Unit(benchmark::kMicrosecond)->Iterations(20);

void BM_TabletMotion(benchmark::State &state) {
    std::string s = "0 add 1 tablet 32768 32768\n";
    for (int i = 0; i < batch; ++i) s += "0 position 1 " + std::to_string(i * 13 % 32768) + " " + std::to_string(i * 5 % 32768) + "\n";
    drain(state, s, batch);
}
BENCHMARK(BM_TabletMotion)->Name("Input/TabletMotion")->Unit(benchmark::kMicrosecond)->Iterations(20);

void BM_MapAbsolute(benchmark::State &state) {
    static const int calibration[7] = {-65536, 0, 52428800, 0, 65536, 0, 65536};
    zr::input::screen_map m;
    m.panel_width = 800;
    m.panel_height = 480;
    m.rotation = 90;
    m.calibration = calibration;
    double f = 0;
    for (auto _ : state) {
        int x = 0, y = 0;
        zr::input::map_absolute(m, f, 1.0 - f, &x, &y);
        benchmark::DoNotOptimize(x);
        benchmark::DoNotOptimize(y);
        f = f < 1 ? f + 0.001 : 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MapAbsolute)->Name("Input/MapAbsolute");

int open_restricted(const char *path, int flags, void *) {
    const int fd = open(path, flags);
    return fd >= 0 ? fd : -1;
}
void close_restricted(int fd, void *) { close(fd); }
const libinput_interface restricted{open_restricted, close_restricted};

void BM_LibinputDispatch(benchmark::State &state) {
    libinput *li = libinput_path_create_context(&restricted, nullptr);
    if (li == nullptr) return state.SkipWithError("no libinput context");
    for (auto _ : state) {
        libinput_dispatch(li);
        while (libinput_event *e = libinput_get_event(li)) libinput_event_destroy(e);
    }
    libinput_unref(li);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LibinputDispatch)->Name("Input/LibinputDispatch");

std::int64_t now_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void BM_Latency(benchmark::State &state) {
    constexpr int events = 200;
    std::string s = "0 add 1 touch 4096 4096\n0 touch 1 down 0 0 0\n";
    for (int i = 1; i <= events; ++i) s += std::to_string(i) + " touch 1 motion 0 " + std::to_string(i) + " 0\n";
    use_script(s);
    double total_us = 0;
    long count = 0;
    for (auto _ : state) {
        zr_input_t *in = zr_input_open(ZR_INPUT_CONSOLE_KEYS);
        if (in == nullptr) return state.SkipWithError("zr_input_open failed");
        zr_event_t e;
        while (zr_input_next(in, &e, 0) == 1) {
        }
        for (int got = 0; got < events;) {
            pollfd p{zr_input_fd(in), POLLIN, 0};
            if (poll(&p, 1, 1000) != 1) break;
            while (zr_input_next(in, &e, 0) == 1) {
                total_us += static_cast<double>(now_us() - static_cast<std::int64_t>(e.time_usec));
                ++count;
                ++got;
            }
        }
        zr_input_close(in);
    }
    state.counters["latency_us"] = count > 0 ? total_us / static_cast<double>(count) : -1;
    std::remove(script_path().c_str());
}
BENCHMARK(BM_Latency)->Name("Input/Latency")->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
