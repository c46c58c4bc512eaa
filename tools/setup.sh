# shellcheck shell=bash
# Sourced by tools/demo and tools/run-tests (and .ci/lib.sh), from the top of
# the source tree: the Debian packages a command needs, and the one build
# configuration that the demo and the tests share.

# zr_need_packages PACKAGE...: installs the Debian packages given that are not
# installed yet, after one apt-get update. As root apt-get runs directly, with
# ZR_SUDO set (CI) through that command; otherwise the apt-get command to run
# is printed and the calling script stops. Without dpkg nothing is checked.
zr_need_packages() {
  command -v dpkg-query >/dev/null || return 0
  local missing=() p sudo=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    if [ -z "${ZR_SUDO:-}" ]; then
      echo "$(basename "$0"): missing Debian packages: ${missing[*]}. Install them with:" >&2
      echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
      echo "(or run $(basename "$0") as root, which installs them)" >&2
      exit 1
    fi
    sudo=$ZR_SUDO
  fi
  if [ -z "${ZR_APT_UPDATED:-}" ]; then
    $sudo apt-get update -qq
    export ZR_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What the library, the tools and the demo are built with, optional
# libraries included. Both commands install all of it, so that both find the
# same: a library found only later would rebuild everything that uses it.
# shellcheck disable=SC2034  # used by the scripts that source this file
zr_build_packages=(cmake ninja-build g++ libpng-dev zlib1g-dev libdrm-dev libfreetype-dev libjpeg62-turbo-dev libinput-dev libudev-dev libxkbcommon-dev libseat-dev xkb-data)
# The benchmarks' peers for the smooth shapes (bench/run uses any it finds).
zr_bench_peer_packages=(libcairo2-dev libagg-dev)

# zr_configure DIR: configures the build folder as both commands do, so that
# either builds on what the other built: warnings as errors, no benchmarks
# (bench/run builds those in Release), Ninja for a new folder where it is
# installed. ZR_CMAKE_ARGS comes last.
zr_configure() {
  local gen=()
  [ -e "$1/CMakeCache.txt" ] || ! command -v ninja >/dev/null || gen=(-G Ninja)
  # shellcheck disable=SC2086
  cmake -S . -B "$1" "${gen[@]}" -DZR_WERROR=ON -DZR_BUILD_BENCH=OFF ${ZR_CMAKE_ARGS:-}
}
