# Shared by the project's scripts: installs missing Debian packages and
# configures and builds one tree. Source it; do not run it.

KDT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# What building and testing need; the run and screenshot scripts add their own.
# Xvfb runs the tests of what only a real X server shows, Openbox those of
# what only a window manager shows. The bridge publishes through
# libmosquitto, and its tests run the real broker, Debian's mosquitto; it
# serves its page over Qt's sockets, checks passwords with libcrypt, and
# its page is tested in Debian's Chromium (driven by playwright-core from
# npm, with Debian's Node.js), behind Debian's nginx.
KDT_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev qt6-base-dev
  libcrypt-dev libgl-dev libxcb1-dev libgtest-dev xvfb xauth openbox libmosquitto-dev mosquitto
  openssl chromium nginx-light nodejs)

# The Windows build: Debian's MinGW-w64 cross compiler, GoogleTest's sources
# to build for it, and Wine to run what it makes.
KDT_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix googletest wine wine64)
KDT_WINDOWS_BUILD="$KDT_ROOT/build/windows"
KDT_WINDOWS_OPTIONS=(-DCMAKE_TOOLCHAIN_FILE="$KDT_ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release)

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

# npm, for the page's browser tests: the Node.js of some machines carries it
# (NodeSource's), Debian's has it in a package of its own.
kdt_install_npm() {
  command -v npm >/dev/null && return 0
  kdt_install_missing npm
}

# kdt_build DIR [cmake options...]: configures and builds a tree.
kdt_build() {
  local dir="$1"
  shift
  cmake -S "$KDT_ROOT" -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir"
}

# kdt_wine: Wine for the Windows tree, headless, with a prefix of its own in
# the tree, made on first use without the .NET and browser add-ons, which no
# program here needs.
kdt_wine() {
  export WINEPREFIX="$KDT_WINDOWS_BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wine wineboot --init >/dev/null 2>&1 && wineserver -w
  fi
}
