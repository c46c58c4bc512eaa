#!/usr/bin/env bash
# Fuzzes the BMP, PSF, PNG and JPEG readers, the fonts FreeType reads, the
# smooth shapes and input's script and pointercal readers, an eighth of 150
# seconds each: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, 2 seconds and 512 MiB an input (1600 MiB for
# the image readers), seeded with the BMP suite, PngSuite, fuzz/seeds,
# bmpgen, and the installed DejaVu, Nanum and X11 PCF fonts. A timeout or an
# out-of-memory fails the stage like a crash.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh
ci_install clang libclang-rt-dev cmake ninja-build libpng-dev libjpeg62-turbo-dev libfreetype-dev zlib1g-dev \
  fonts-dejavu-core fonts-nanum xfonts-base python3-fonttools
fuzz/run 150
