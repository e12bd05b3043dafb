# Shared set-up for scripts/test and scripts/demo: installs what is missing
# and prepares the third-party caches. Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
CACHE=${CUSTODEX_CACHE:-/var/cache/custodex}
BOOST_LIBS="serialization;filesystem;thread;date_time;system;exception"

PACKAGES=(
  build-essential cmake ninja-build dpkg-dev clang libclang-rt-14-dev zip unzip
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine64
  googletest libgtest-dev libbenchmark-dev
  libboost1.81-dev libboost-serialization1.81-dev libboost-filesystem1.81-dev
  libboost-thread1.81-dev libboost-date-time1.81-dev libboost-system1.81-dev
  libboost-exception1.81-dev
)

log() { printf '== %s\n' "$*" >&2; }

# build_preset PRESET: configures and builds one CMake preset, its output in
# build/PRESET-*.log; on failure prints the errors.
build_preset() {
  local preset=$1
  log "building $preset"
  (cd "$ROOT" && cmake --preset "$preset") >"$ROOT/build/$preset-configure.log" 2>&1 || {
    cat "$ROOT/build/$preset-configure.log" >&2; return 1; }
  (cd "$ROOT" && cmake --build --preset "$preset") >"$ROOT/build/$preset-build.log" 2>&1 || {
    grep -E -A12 'FAILED:|error:' "$ROOT/build/$preset-build.log" | head -n 60 >&2; return 1; }
}

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

missing_packages() {
  local p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || echo "$p"
  done
}

ensure_packages() {
  local missing
  missing=$(missing_packages)
  [ -z "$missing" ] && return 0
  log "installing: $(echo $missing)"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  # shellcheck disable=SC2086
  as_root apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

have_deb_src() {
  grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/
}

# Source entries are derived from the machine's own binary entries, so the
# scripts never name a mirror of their own.
ensure_deb_src() {
  have_deb_src && return 0
  log "adding deb-src entries derived from the apt configuration"
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$f" | as_root tee "/etc/apt/sources.list.d/custodex-src-$(basename "$f")" >/dev/null
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -nE 's/^deb (.*)/deb-src \1/p' /etc/apt/sources.list | as_root tee /etc/apt/sources.list.d/custodex-src.list >/dev/null
  fi
  as_root apt-get update -qq
}

# fetch_source PACKAGE: unpacks Debian's source package once into the cache
# and prints the folder.
fetch_source() {
  local pkg=$1 dir="$CACHE/src/$1"
  if [ ! -f "$dir/.done" ]; then
    ensure_deb_src
    log "fetching source package $pkg"
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && apt-get source -qq "$pkg" >/dev/null 2>&1) || { log "apt-get source $pkg failed"; return 1; }
    touch "$dir/.done"
  fi
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n 1
}

pugixml_source() {
  local src
  src=$(fetch_source pugixml) || return 1
  echo "$src/src"
}

# build_boost NAME [CMAKE_ARGS...]: builds Boost's static libraries once from
# Debian's source package into the cache and prints their prefix.
build_boost() {
  local name=$1 prefix="$CACHE/$1" src
  shift
  if [ -f "$prefix/.done" ]; then echo "$prefix"; return 0; fi
  src=$(fetch_source boost1.81) || return 1
  log "building Boost for $name (once)"
  local work="$CACHE/$name-build"
  rm -rf "$work" "$prefix"
  cmake -S "$src" -B "$work" -G Ninja "$@" \
    -DCMAKE_BUILD_TYPE=Release \
    -DBOOST_INCLUDE_LIBRARIES="$BOOST_LIBS" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >"$CACHE/$name.log" 2>&1 &&
  cmake --build "$work" >>"$CACHE/$name.log" 2>&1 &&
  cmake --install "$work" >>"$CACHE/$name.log" 2>&1 || {
    log "Boost build failed, see $CACHE/$name.log"; return 1; }
  rm -rf "$work"
  touch "$prefix/.done"
  echo "$prefix"
}

ensure_mingw_boost() { build_boost mingw-boost -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake"; }

# Debian's static Boost libraries are not position-independent, so the Linux
# library that ships links one built here.
ensure_pic_boost() { build_boost pic-boost -DCMAKE_POSITION_INDEPENDENT_CODE=ON; }

prepare_all() {
  ensure_packages
  mkdir -p "$CACHE"
  PUGIXML_SRC=$(pugixml_source) || exit 1
  MINGW_BOOST=$(ensure_mingw_boost) || exit 1
  export PUGIXML_SRC MINGW_BOOST
}
