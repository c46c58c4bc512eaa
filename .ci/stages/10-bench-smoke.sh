#!/usr/bin/env bash
# Builds the benchmarks with every peer column and runs each case once,
# briefly, then turns the output into a results file: a check that every case
# sets up, runs and cleans up, and that the report still builds. Nothing here
# is timed or compared; CI must not depend on the machine's speed.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

ci_install cmake ninja-build g++ pkg-config python3 libbenchmark-dev libinput-dev libudev-dev libxkbcommon-dev libseat-dev xkb-data \
  libpixman-1-dev libsdl2-dev libsdl2-gfx-dev libstb-dev libsdl2-image-dev libpng-dev libjpeg62-turbo-dev \
  libcairo2-dev libagg-dev

dir=build-bench-smoke
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZR_WERROR=ON \
  -DZR_BUILD_TESTS=OFF -DZR_BUILD_SAMPLE=OFF -DZR_BUILD_BENCH=ON
cmake --build "$dir" --target zr_bench zr_bench_input -j"$(nproc)"
# Input's cases once each, briefly: they set up and clean up.
"$dir/bench/zr_bench_input" --benchmark_min_time=0.001 >/dev/null
"$dir/bench/zr_bench" --benchmark_min_time=0.001 \
  --benchmark_out_format=json --benchmark_out="$dir/smoke.json" >/dev/null
python3 - "$dir/smoke.json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
bad = [b["name"] + ": " + b.get("error_message", "") for b in runs if b.get("error_occurred")]
# The peer packages are installed above, so every peer column must be there.
missing = [p for p in ("pixman_", "SDL_", "SDL2_gfx", "stb_image", "SDL_image", "cairo", "AGG")
           if not any("/" + p in b["name"] for b in runs)]
print(f"{len(runs)} benchmarks ran, {len(bad)} failed, peer columns missing: {missing or 'none'}")
for line in bad:
    print("  " + line)
sys.exit(1 if bad or missing or not runs else 0)
PY
# A rewrite over the committed file must keep its ARM section (bench/armcost's).
cp bench/RESULTS.md "$dir/RESULTS.md"
python3 bench/make_results.py "$dir/smoke.json" "$dir/RESULTS.md"
arm_section() { sed -n '/^<!-- bench:arm -->$/,/^<!-- \/bench:arm -->$/p' "$1"; }
if ! diff <(arm_section bench/RESULTS.md) <(arm_section "$dir/RESULTS.md"); then
  echo "make_results.py changed the ARM section of RESULTS.md" >&2
  exit 1
fi
