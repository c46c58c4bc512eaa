// The benchmark program: every case, zr columns always, peer columns as built.
// The run's context records which peers took part and their versions.
#include "bench_cases.hpp"
#include "peers.hpp"

#include <string>

namespace {

void describe_peers() {
    std::string peers;
    const auto add_peer = [&peers](const std::string &p) { peers += (peers.empty() ? "" : ", ") + p; };
    if (!zr_bench::peers_match_layout) add_peer("pixel-format columns left out (big-endian host)");
#if ZR_BENCH_PIXMAN
    add_peer(std::string("pixman ") + pixman_version_string());
#endif
#if ZR_BENCH_SDL
    SDL_version v;
    SDL_GetVersion(&v);
    add_peer("SDL2 " + std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch));
#endif
#if ZR_BENCH_SDL_GFX
    add_peer("SDL2_gfx " + std::to_string(SDL2_GFXPRIMITIVES_MAJOR) + "." +
             std::to_string(SDL2_GFXPRIMITIVES_MINOR) + "." + std::to_string(SDL2_GFXPRIMITIVES_MICRO));
#endif
#if ZR_BENCH_SDL_TTF
    const SDL_version *ttf = TTF_Linked_Version();
    add_peer("SDL2_ttf " + std::to_string(ttf->major) + "." + std::to_string(ttf->minor) + "." +
             std::to_string(ttf->patch));
#endif
#if ZR_BENCH_SDL_IMAGE
    const SDL_version *img = IMG_Linked_Version();
    add_peer("SDL2_image " + std::to_string(img->major) + "." + std::to_string(img->minor) + "." +
             std::to_string(img->patch));
#endif
#if ZR_BENCH_STB
    add_peer("stb_image");
#endif
#if ZR_BENCH_CAIRO
    add_peer(std::string("cairo ") + cairo_version_string());
#endif
#if ZR_BENCH_AGG
    add_peer("AGG (libagg)");
#endif
    benchmark::AddCustomContext("zr_peers", peers.empty() ? "none" : peers);
    benchmark::AddCustomContext("zr_build_type", ZR_BENCH_BUILD_TYPE);
    benchmark::AddCustomContext("zr_compiler", __VERSION__);
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    describe_peers();
    zr_bench::register_fill_cases();
    zr_bench::register_copy_cases();
    zr_bench::register_bitmap_cases();
    zr_bench::register_blend_cases();
    zr_bench::register_shape_cases();
    zr_bench::register_bmp_load_cases();
    zr_bench::register_image_cases();
    zr_bench::register_present_cases();
    zr_bench::register_text_cases();
    zr_bench::register_other_cases();
    zr_bench::register_smooth_cases();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    zr_bench::remove_temporary_files();
    return 0;
}
