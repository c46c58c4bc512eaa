#!/usr/bin/env bash
# Release builds of everything with warnings as errors, with g++ and with
# clang: some warnings (-Wstringop-overflow, -Wrestrict) come only from the
# optimiser, which the other builds run at lower levels or not at all. The
# tests run there too, since optimisation can change what a test sees.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

ci_install "${zr_build_packages[@]}" clang libgtest-dev libbenchmark-dev pkg-config

for compiler in g++ clang++; do
  ci_step "release $compiler"
  cc=gcc
  [ "$compiler" = g++ ] || cc=clang
  dir=build-ci-release-$cc
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZR_WERROR=ON \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$compiler"
  cmake --build "$dir" -j"$(nproc)"
  ctest --test-dir "$dir" --output-on-failure --timeout 600 -j"$(nproc)" --no-tests=error
done
