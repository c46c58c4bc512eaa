#!/usr/bin/env bash
# System tests: the scene program and the demo on Debian's stock kernel with
# the vesafb driver under QEMU (software emulation), at 15, 16, 24 and 32
# bits, and the DRM drivers bochs and virtio-gpu (single and double buffers, a
# program that never presents, tearing with and without a shadow, vsync as
# measured, the console given back, the virtual terminal in graphics mode
# while a program runs, DRM master, switches of the virtual terminal), against
# the same program under the virtual framebuffer device; and input (keys, a
# tablet, a uinput touchscreen, hotplug, permissions) read by paint on one
# vesafb boot, whose end loads bochs's DRM driver for the tablet at a second
# screen size. Every boot is bounded
# (tests/system/run-system-tests); a hung guest fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

ci_install cmake ninja-build g++ libgtest-dev libpng-dev libdrm-dev python3 qemu-system-x86 busybox-static \
  libinput-dev libudev-dev libxkbcommon-dev libseat-dev xkb-data
# The kernel package is only downloaded: apt needs its lists for that.
if ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
  $SUDO apt-get update -qq
fi

start=$SECONDS
dir=build-system
cmake -S . -B "$dir" -G Ninja -DZR_WERROR=ON -DZR_BUILD_SYSTEM_TESTS=ON -DZR_BUILD_BENCH=OFF
cmake --build "$dir" -j"$(nproc)" --target \
  zr_scene zr_scene_static zr_sample_static zr_frames_static zr_tty_static zr_fbcompare \
  zr_vfb sample_images paint zr_uinput_touch_static
# One guest at a time: each keeps a core busy.
ctest --test-dir "$dir" -R '^system\.' --output-on-failure -j1 --no-tests=error
echo "system tests: $((SECONDS - start)) s"
