#!/usr/bin/env bash
# Fuzzes the BMP reader for 60 seconds: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, seeded with the BMP suite, fuzz/seeds and bmpgen.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh
ci_install clang libclang-rt-dev cmake ninja-build
fuzz/run 60
