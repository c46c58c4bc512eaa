#!/usr/bin/env bash
# Fuzzes the BMP, PSF, PNG and JPEG readers for 30 seconds each: clang,
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, seeded with the
# BMP suite, PngSuite, fuzz/seeds and bmpgen.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh
ci_install clang libclang-rt-dev cmake ninja-build libpng-dev libjpeg62-turbo-dev
fuzz/run 120
