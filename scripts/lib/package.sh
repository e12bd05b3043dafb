# Building the module as it ships and packaging it into dist/. Sourced by
# scripts/package after setup.sh, not run.
#
# Every output is a function of the sources alone: the builds keep paths and
# times out of the binaries (CUSTODEX_RELEASE), and every time stamp in the
# archives is SOURCE_DATE_EPOCH, the last commit's time.

MINGW=x86_64-w64-mingw32
DEB_NAME=libcustodex1
DEB_MAINTAINER="Custodex <releases@custodex.invalid>"

source_date_epoch() {
  [ -n "${SOURCE_DATE_EPOCH:-}" ] && { echo "$SOURCE_DATE_EPOCH"; return; }
  git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 0
}

project_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$ROOT/build/linux-release/CMakeCache.txt"
}

# Same owner-independent modes and one time on everything, so archives
# built from two checkouts agree.
settle_tree() {
  local dir=$1
  find "$dir" -type d -exec chmod 0755 {} +
  find "$dir" -type f -exec chmod 0644 {} +
  find "$dir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# The README's section on the module's settings, for a deployer, with
# Windows line ends.
settings_text() {
  { printf 'Custodex %s: settings\n\n' "$VERSION"
    sed -n '/^## Supervision beyond the default/,/^## /p' "$ROOT/README.md" | sed '$d'
  } | sed 's/$/\r/'
}

package_windows() {
  local name="custodex-$VERSION-win64"
  local stage="$WORK/$name"
  mkdir -p "$stage"
  cp "$ROOT/build/windows-release/bin/Custodex.dll" "$stage/"
  "$MINGW-objcopy" --only-keep-debug "$stage/Custodex.dll" "$stage/Custodex.dll.debug" &&
  "$MINGW-objcopy" --strip-debug --strip-unneeded --add-gnu-debuglink="$stage/Custodex.dll.debug" \
    "$stage/Custodex.dll" || return 1
  settings_text >"$stage/Settings.txt"
  (cd "$stage" && sha256sum Custodex.dll Custodex.dll.debug Settings.txt >SHA256SUMS)
  settle_tree "$stage"
  rm -f "$DIST/$name.zip"
  (cd "$WORK" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -q -X -D "$DIST/$name.zip" -@)
}

multiarch_lib_dir() { echo "usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"; }

# What the library needs at run time, as Debian names it.
shlib_depends() {
  local library=$1 scratch="$WORK/shlibdeps"
  mkdir -p "$scratch/debian"
  printf 'Source: custodex\n\nPackage: %s\nArchitecture: any\n' "$DEB_NAME" >"$scratch/debian/control"
  (cd "$scratch" && dpkg-shlibdeps -O "$library" 2>/dev/null) | sed -n 's/^shlibs:Depends=//p'
}

write_copyright() {
  mkdir -p "$(dirname "$1")"
  printf 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n' >"$1"
  printf 'Upstream-Name: Custodex\n\nFiles: *\nCopyright: 2026 Custodex\nLicense: proprietary\n' >>"$1"
}

# write_control FILE PACKAGE ROOT SECTION DEPENDS DESCRIPTION [FIELD...]
write_control() {
  local file=$1 package=$2 root=$3 section=$4 depends=$5 description=$6
  shift 6
  mkdir -p "$(dirname "$file")"
  {
    printf 'Package: %s\nSource: custodex\nVersion: %s\nArchitecture: %s\n' \
      "$package" "$VERSION" "$(dpkg-architecture -qDEB_HOST_ARCH)"
    printf 'Maintainer: %s\nInstalled-Size: %s\n' "$DEB_MAINTAINER" "$(du -sk --exclude=DEBIAN "$root" | cut -f1)"
    [ -n "$depends" ] && printf 'Depends: %s\n' "$depends"
    printf 'Section: %s\nPriority: optional\nMulti-Arch: same\n' "$section"
    local field
    for field in "$@"; do printf '%s\n' "$field"; done
    printf 'Description: %s\n' "$description"
  } >"$file"
}

build_deb() {
  local root=$1
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
    xargs -0 -r md5sum >DEBIAN/md5sums)
  settle_tree "$root"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$DIST/" >/dev/null
}

package_linux() {
  local libdir so major=${VERSION%%.*} lib="$WORK/deb/$DEB_NAME" dbg="$WORK/deb/$DEB_NAME-dbgsym" build_id
  libdir=$(multiarch_lib_dir)
  so="libCustodex.so.$VERSION"
  install -D -m0644 "$ROOT/build/linux-release/bin/$so" "$lib/$libdir/$so"
  ln -s "$so" "$lib/$libdir/libCustodex.so.$major"
  build_id=$(readelf -n "$lib/$libdir/$so" | sed -n 's/.*Build ID: //p')
  [ -n "$build_id" ] || { log "no build id in $so"; return 1; }
  mkdir -p "$dbg/usr/lib/debug/.build-id/${build_id:0:2}"
  objcopy --only-keep-debug --compress-debug-sections "$lib/$libdir/$so" \
    "$dbg/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug" &&
  strip --strip-unneeded --remove-section=.comment "$lib/$libdir/$so" || return 1
  write_copyright "$lib/usr/share/doc/$DEB_NAME/copyright"
  write_copyright "$dbg/usr/share/doc/$DEB_NAME-dbgsym/copyright"
  mkdir -p "$lib/DEBIAN"
  printf 'libCustodex %s %s (>= %s)\n' "$major" "$DEB_NAME" "$VERSION" >"$lib/DEBIAN/shlibs"
  printf 'activate-noawait ldconfig\n' >"$lib/DEBIAN/triggers"
  write_control "$lib/DEBIAN/control" "$DEB_NAME" "$lib" libs "$(shlib_depends "$lib/$libdir/$so")" \
    $'Custodex host manager module (Linux build)\n The agent module that runs selected agent modules in host processes of\n their own. The agent service loads libCustodex.so.1 and calls its Execute.'
  write_control "$dbg/DEBIAN/control" "$DEB_NAME-dbgsym" "$dbg" debug "$DEB_NAME (= $VERSION)" \
    "debug symbols for $DEB_NAME" "Auto-Built-Package: debug-symbols" "Build-Ids: $build_id"
  build_deb "$lib" && build_deb "$dbg"
}

# package DIST: builds both targets and leaves the shipped files in DIST.
package_all() {
  DIST=$1
  SOURCE_DATE_EPOCH=$(source_date_epoch)
  export SOURCE_DATE_EPOCH
  umask 022
  ensure_pic_boost >/dev/null || return 1
  # Built afresh: nothing an earlier build left in this clone goes into a shipped file.
  rm -rf "$ROOT/build/linux-release" "$ROOT/build/windows-release"
  build_preset linux-release && build_preset windows-release || return 1
  VERSION=$(project_version)
  WORK="$ROOT/build/package"
  rm -rf "$WORK" && mkdir -p "$WORK" "$DIST"
  rm -f "$DIST"/*.zip "$DIST"/*.deb "$DIST/SHA256SUMS"
  log "packaging version $VERSION into $DIST"
  package_windows && package_linux || return 1
  (cd "$DIST" && sha256sum -- *.zip *.deb >SHA256SUMS)
}
