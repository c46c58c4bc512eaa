#!/usr/bin/env bash
# Installs zr into a temporary prefix, then builds the C and C++ consumer
# projects against it (find_package and pkg-config, shared and static) and
# runs them under the installed virtual framebuffer.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

ci_install cmake ninja-build g++ pkg-config binutils libpng-dev

dir=build-ci-package
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake -S . -B "$dir" -G Ninja -DZR_WERROR=ON -DZR_BUILD_TESTS=OFF -DZR_BUILD_BENCH=OFF
cmake --build "$dir" -j"$(nproc)"
cmake --install "$dir" --prefix "$tmp/prefix"
tests/consumers/run "$tmp/prefix" "$tmp/work"
