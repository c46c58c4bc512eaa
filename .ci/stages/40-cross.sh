#!/usr/bin/env bash
# Cross-builds the library and its unit tests with Debian's cross compilers
# and runs the tests under qemu-user: 32-bit ARM (armhf), 64-bit ARM (aarch64),
# and s390x, the one big-endian target, where any dependence on the host's
# byte order shows. GoogleTest for each target is built from Debian's sources.
# Usage: .ci/stages/40-cross.sh [TRIPLE...]   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(arm-linux-gnueabihf aarch64-linux-gnu s390x-linux-gnu)
packages=(cmake ninja-build qemu-user googletest)
for triple in "${targets[@]}"; do packages+=("g++-$triple"); done
ci_install "${packages[@]}"

jobs=$(nproc)
summary=()
failed=0
for triple in "${targets[@]}"; do
    ci_step "cross $triple"
    toolchain=$PWD/cmake/toolchains/$triple.cmake
    dir=build-ci-cross-$triple
    cmake -S /usr/src/googletest -B "$dir/googletest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$PWD/$dir/googletest-install" >/dev/null
    cmake --build "$dir/googletest" -j"$jobs"
    cmake --install "$dir/googletest" >/dev/null
    gtest_dir=$(dirname "$(find "$dir/googletest-install" -name GTestConfig.cmake -print -quit)")

    # The sample and its end-to-end tests need the preloaded device: left out.
    cmake -S . -B "$dir/zr" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DZR_WERROR=ON \
        -DZR_BUILD_SAMPLE=OFF -DZR_BUILD_BENCH=OFF -DGTest_DIR="$PWD/$gtest_dir"
    cmake --build "$dir/zr" -j"$jobs"
    # Every target runs even when an earlier one failed; the stage fails at the end.
    # The guest's loader would also search the host's multiarch folders
    # (/lib/aarch64-linux-gnu, where a machine that has the target's own
    # packages keeps them) and mix that libc with the cross one, which hangs;
    # the cross toolchain's libraries come first.
    QEMU_SET_ENV=LD_LIBRARY_PATH=/usr/$triple/lib \
        ctest --test-dir "$dir/zr" --output-on-failure --timeout 900 -j"$jobs" --no-tests=error \
        >"$dir/ctest.log" 2>&1 || failed=1
    cat "$dir/ctest.log"
    summary+=("$triple: $(grep -E 'tests passed' "$dir/ctest.log" || echo 'no result')")
done

ci_step "cross summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
