#include "vfb_fixture.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zr_test {
namespace {
std::string memory_file;
}

const char *vfb_device_path() { return "/dev/zr-test-fb"; }

int vfb_open(const vfb_config &cfg) {
    static int serial = 0;
    memory_file = "/tmp/zr-test-vfb-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".mem";
    std::remove(memory_file.c_str());
    setenv("ZR_VFB_DEVICE", vfb_device_path(), 1);
    setenv("ZR_VFB_MEMORY", memory_file.c_str(), 1);
    setenv("ZR_VFB_SIZE", (std::to_string(cfg.width) + "x" + std::to_string(cfg.height)).c_str(), 1);
    setenv("ZR_VFB_BPP", std::to_string(cfg.depth).c_str(), 1);
    setenv("ZR_VFB_LINE_LENGTH", std::to_string(cfg.line_length).c_str(), 1);
    setenv("ZR_VFB_FAIL", cfg.fail.c_str(), 1);
    // Vertical-blank waits end at once, as on the framebuffer emulations of DRM drivers.
    setenv("ZR_VFB_FAST", "1", 1);
    return cfg.init_flags != 0 ? zr_init_ex(vfb_device_path(), cfg.init_flags) : zr_init(vfb_device_path());
}

void vfb_close() {
    zr_close();
    if (!memory_file.empty()) std::remove(memory_file.c_str());
    memory_file.clear();
}

std::vector<unsigned char> vfb_memory() {
    std::ifstream in(memory_file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long open_descriptors() {
    namespace fs = std::filesystem;
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

}  // namespace zr_test
