# Helpers for .ci/run and its stages (sourced).
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# ci_install PACKAGE...: apt-get install the Debian packages not yet installed.
ci_install() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ -z "${CI_APT_UPDATED:-}" ]; then
    $SUDO apt-get update -qq
    export CI_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

ci_step() { printf '\n== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }
