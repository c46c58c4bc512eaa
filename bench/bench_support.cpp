#include "bench_support.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

namespace zr_bench {

void add(const std::string &name, std::function<void(benchmark::State &)> body) {
    benchmark::RegisterBenchmark(name.c_str(), std::move(body))->Unit(benchmark::kMillisecond);
}

std::string size_name(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// ---- temporary files ---------------------------------------------------------

namespace {

std::string temp_dir;
std::vector<std::string> temp_files;

bool is_directory(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string temporary_path(const std::string &name) {
    if (temp_dir.empty()) {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                              "/zr-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return {};
        temp_dir = pattern;
    }
    temp_files.push_back(temp_dir + "/" + name);
    return temp_files.back();
}

void remove_temporary_files() {
    close_screen();
    for (const std::string &f : temp_files) std::remove(f.c_str());
    temp_files.clear();
    if (!temp_dir.empty()) rmdir(temp_dir.c_str());
    temp_dir.clear();
}

// ---- the screen -----------------------------------------------------------------

namespace {

constexpr const char *device_path = "/dev/zr-bench-fb";

struct screen_state {
    int width = 0, height = 0, bits = 0, flags = 0;
    dc_t *dc = nullptr;
    std::string memory;  // the virtual device's pixel memory file
};
screen_state screen;

}  // namespace

dc_t *open_screen(int width, int height, int bits) { return open_screen_ex(width, height, bits, 0); }

dc_t *open_screen_ex(int width, int height, int bits, int flags) {
    if (screen.dc != nullptr && screen.width == width && screen.height == height &&
        screen.bits == bits && screen.flags == flags)
        return screen.dc;
    close_screen();
    if (screen.memory.empty()) {
        // Memory-backed when /dev/shm exists, so that the screen behaves like RAM.
        const std::string file = "zr-bench-" + std::to_string(getpid()) + ".mem";
        if (is_directory("/dev/shm")) {
            screen.memory = "/dev/shm/" + file;
            temp_files.push_back(screen.memory);
        } else {
            screen.memory = temporary_path(file);
        }
    }
    setenv("ZR_VFB_DEVICE", device_path, 1);
    setenv("ZR_VFB_MEMORY", screen.memory.c_str(), 1);
    setenv("ZR_VFB_SIZE", size_name(width, height).c_str(), 1);
    setenv("ZR_VFB_BPP", std::to_string(bits).c_str(), 1);
    unsetenv("ZR_VFB_LINE_LENGTH");
    unsetenv("ZR_VFB_FAIL");
    if (zr_init_ex(device_path, flags) != ERR_NONE) return nullptr;
    screen.dc = zr_get_screen_dc();
    if (screen.dc == nullptr) {
        zr_close();
        return nullptr;
    }
    screen.width = width;
    screen.height = height;
    screen.bits = bits;
    screen.flags = flags;
    std::memset(screen.dc->mapped, 0, static_cast<std::size_t>(screen.dc->bytes));
    return screen.dc;
}

void close_screen() {
    if (screen.dc == nullptr) return;
    zr_release_dc(screen.dc);
    zr_close();
    screen.dc = nullptr;
}

dc_ptr make_buffer(int width, int height) {
    dc_ptr dc(zr_get_buffer_dc(width, height), zr_release_dc);
    if (dc) std::memset(dc->mapped, 0x5A, static_cast<std::size_t>(dc->bytes));
    return dc;
}

std::uint32_t device_pixel(color_t c, int bits) {
    if (bits == 16) return static_cast<std::uint32_t>((c.red >> 3) << 11 | (c.green >> 2) << 5 | (c.blue >> 3));
    return static_cast<std::uint32_t>(c.red << 16 | c.green << 8 | c.blue);
}

// ---- pixel content --------------------------------------------------------------

std::uint32_t rng::next() {
    // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
}

int rng::uniform(int lo, int hi) {
    return lo + static_cast<int>(next() % static_cast<std::uint32_t>(hi - lo + 1));
}

const rgba_image &photo(int width, int height) {
    static std::map<std::pair<int, int>, rgba_image> cache;
    rgba_image &img = cache[{width, height}];
    if (!img.pixels.empty()) return img;
    img.width = width;
    img.height = height;
    img.pixels.resize(static_cast<std::size_t>(width) * height * 4);
    rng r(0x5EED0001);
    unsigned char *p = img.pixels.data();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x, p += 4) {
            // Smooth gradients with a little grain, like a photograph.
            const int grain = r.uniform(0, 15);
            p[0] = static_cast<unsigned char>((x * 255 / width + grain) & 0xFF);
            p[1] = static_cast<unsigned char>((y * 255 / height + grain) & 0xFF);
            p[2] = static_cast<unsigned char>(((x + y) * 255 / (width + height) + grain) & 0xFF);
            p[3] = static_cast<unsigned char>((x + y) & 0xFF);
        }
    }
    return img;
}

const indexed_image &runs(int width, int height) {
    static std::map<std::pair<int, int>, indexed_image> cache;
    indexed_image &img = cache[{width, height}];
    if (!img.index.empty()) return img;
    img.width = width;
    img.height = height;
    img.index.resize(static_cast<std::size_t>(width) * height);
    rng r(0x5EED0002);
    for (color_t &c : img.palette) {
        const std::uint32_t v = r.next();
        c = color_t{static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                    static_cast<unsigned char>(v >> 16), 255};
    }
    for (int y = 0; y < height; ++y) {
        unsigned char *row = img.index.data() + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width;) {
            // Mostly runs of a few to a few dozen pixels, some single pixels.
            const int len = r.uniform(0, 3) == 0 ? 1 : r.uniform(2, 40);
            const auto v = static_cast<unsigned char>(r.uniform(0, 255));
            for (int i = 0; i < len && x < width; ++i) row[x++] = v;
        }
    }
    return img;
}

unsigned char *bitmap_row(bmp_t *bmp, int y) {
    return bmp->data + static_cast<std::size_t>(bmp->dc.bytes_per_line) * (bmp->dc.height - 1 - y);
}

bmp_ptr make_bitmap(const rgba_image &image, int bits) {
    bmp_ptr bmp(zr_bmp_create(image.width, image.height, bits, 0), zr_bmp_close);
    if (!bmp) return bmp;
    const int bytes = bits / 8;
    for (int y = 0; y < image.height; ++y) {
        unsigned char *d = bitmap_row(bmp.get(), y);
        for (int x = 0; x < image.width; ++x, d += bytes) {
            const unsigned char *s = image.at(x, y);
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
            if (bytes == 4) d[3] = s[3];
        }
    }
    return bmp;
}

bmp_ptr make_bitmap(const indexed_image &image) {
    bmp_ptr bmp(zr_bmp_create(image.width, image.height, 8, 256), zr_bmp_close);
    if (!bmp) return bmp;
    for (int i = 0; i < 256; ++i) {
        // Colour-table entries are blue, green, red, reserved in memory.
        auto *e = reinterpret_cast<unsigned char *>(bmp->palette + i);
        e[0] = image.palette[i].blue;
        e[1] = image.palette[i].green;
        e[2] = image.palette[i].red;
        e[3] = 0;
    }
    for (int y = 0; y < image.height; ++y)
        std::memcpy(bitmap_row(bmp.get(), y),
                    image.index.data() + static_cast<std::size_t>(y) * image.width,
                    static_cast<std::size_t>(image.width));
    return bmp;
}

}  // namespace zr_bench
