# Shared by the project's scripts: installs missing Debian packages and
# configures and builds one tree. Source it; do not run it.

KDT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# What building and testing need; the run and screenshot scripts add their own.
# Xvfb runs the tests of what only a real X server shows, Openbox those of
# what only a window manager shows. The bridge publishes through
# libmosquitto, and its tests run the real broker, Debian's mosquitto.
KDT_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev qt6-base-dev libgl-dev libxcb1-dev
  libgtest-dev xvfb xauth openbox libmosquitto-dev mosquitto openssl)

# Installs whichever of the packages are missing; apt-get runs only then.
kdt_install_missing() {
  local missing=()
  local pkg
  for pkg in "${KDT_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
}

# kdt_build DIR [cmake options...]: configures and builds a tree.
kdt_build() {
  local dir="$1"
  shift
  cmake -S "$KDT_ROOT" -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir"
}
