# Helpers for .ci/run and its stages (sourced).
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

source tools/setup.sh

# ci_install PACKAGE...: apt-get install the Debian packages not yet installed
# (through sudo when not root).
ci_install() { ZR_SUDO=sudo zr_need_packages "$@"; }

ci_step() { printf '\n== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }
