# The checks of ./scripts/package --verify over the files package_all left
# in DIST. Sourced after package.sh, not run. Each check prints one line;
# verify_package ends with "package: N passed, N failed".

checks_passed=0
checks_failed=0

check() {
  local name=$1
  shift
  if "$@"; then
    printf '   ok    %s\n' "$name" >&2
    checks_passed=$((checks_passed + 1))
  else
    printf '   FAIL  %s\n' "$name" >&2
    checks_failed=$((checks_failed + 1))
  fi
}

# expect_equal WHAT GOT WANTED
expect_equal() {
  [ "$2" = "$3" ] && return 0
  printf '         %s: got [%s], wanted [%s]\n' "$1" "$2" "$3" >&2
  return 1
}

windows_stage() { echo "$WORK/custodex-$VERSION-win64"; }

dll_exports() {
  "$MINGW-objdump" -p "$(windows_stage)/Custodex.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -nE 's/^\s*\[ *[0-9]+\] (.*)/\1/p' | LC_ALL=C sort | xargs
}

exports_are_the_two() { expect_equal exports "$(dll_exports)" "Execute ReturnAPIInterfaceVersion"; }

# The resource as the toolchain reads it back from the shipped file.
version_resource_names_the_version() {
  local rc numbers ok=0 field
  rc=$("$MINGW-windres" -i "$(windows_stage)/Custodex.dll" -O rc 2>/dev/null)
  numbers=$(sed -n 's/^ *FILEVERSION //p' <<<"$rc" | tr -d ' ')
  expect_equal FILEVERSION "$numbers" "$(tr . , <<<"$VERSION"),0" || ok=1
  for field in "FileVersion|$VERSION" "ProductVersion|$VERSION" "ProductName|Custodex" "OriginalFilename|Custodex.dll"; do
    grep -qF "VALUE \"${field%%|*}\", \"${field#*|}\"" <<<"$rc" || { echo "         no ${field%%|*} ${field#*|}" >&2; ok=1; }
  done
  for field in CompanyName FileDescription LegalCopyright; do
    grep -qE "VALUE \"$field\", \"[^\"]+\"" <<<"$rc" || { echo "         no $field" >&2; ok=1; }
  done
  return $ok
}

# Stripped, and the debugger finds the debug file through the link.
dll_links_its_debug_file() {
  local stage sections debug_sections
  stage=$(windows_stage)
  sections=$("$MINGW-objdump" -h "$stage/Custodex.dll")
  debug_sections=$("$MINGW-objdump" -h "$stage/Custodex.dll.debug")
  grep -q '\.gnu_debuglink' <<<"$sections" && ! grep -q '\.debug_info' <<<"$sections" &&
    grep -q '\.debug_info' <<<"$debug_sections" &&
    "$MINGW-objcopy" --dump-section .gnu_debuglink=/dev/stdout "$stage/Custodex.dll" 2>/dev/null | grep -qa 'Custodex.dll.debug'
}

# The figure the release promises: the shipped file at most a tenth of the
# development build's.
dll_is_a_tenth_of_the_development_build() {
  local shipped development
  shipped=$(stat -c %s "$(windows_stage)/Custodex.dll")
  development=$(stat -c %s "$ROOT/build/windows/bin/Custodex.dll" 2>/dev/null) || {
    echo "         no development build to compare with (build/windows)" >&2; return 0; }
  printf '         %s bytes shipped, %s in the development build\n' "$shipped" "$development" >&2
  [ $((shipped * 10)) -le "$development" ]
}

archive_holds_the_four_files() {
  local name="custodex-$VERSION-win64" listing out="$WORK/unzipped"
  listing=$(unzip -Z1 "$DIST/$name.zip" | LC_ALL=C sort | xargs)
  expect_equal archive "$listing" "$name/Custodex.dll $name/Custodex.dll.debug $name/SHA256SUMS $name/Settings.txt" || return 1
  rm -rf "$out" && unzip -q "$DIST/$name.zip" -d "$out" && (cd "$out/$name" && sha256sum --quiet -c SHA256SUMS) &&
    grep -q 'PublishHostEvents' "$out/$name/Settings.txt"
}

deb_file() { echo "$DIST/${1}_${VERSION}_$(dpkg-architecture -qDEB_HOST_ARCH).deb"; }

deb_paths() { dpkg-deb -c "$(deb_file "$1")" | awk '{print $6}' | grep -v '/$' | LC_ALL=C sort | xargs; }

package_holds_the_library_under_its_soname() {
  local libdir so extracted="$WORK/extracted" soname needed
  libdir=$(multiarch_lib_dir)
  so="libCustodex.so.$VERSION"
  expect_equal contents "$(deb_paths "$DEB_NAME")" \
    "./$libdir/libCustodex.so.${VERSION%%.*} ./$libdir/$so ./usr/share/doc/$DEB_NAME/copyright" || return 1
  rm -rf "$extracted" && dpkg-deb -x "$(deb_file "$DEB_NAME")" "$extracted" || return 1
  soname=$(objdump -p "$extracted/$libdir/$so" | awk '/SONAME/ {print $2}')
  needed=$(objdump -p "$extracted/$libdir/$so" | awk '/NEEDED/ {print $2}' | LC_ALL=C sort | xargs)
  # Only what every Debian system has: Boost is linked in.
  expect_equal soname "$soname" "libCustodex.so.${VERSION%%.*}" &&
    expect_equal "needed beyond the C and C++ run-times" \
      "$(xargs -n1 <<<"$needed" | grep -vE '^(ld-linux-x86-64\.so\.2|libc\.so\.6|libm\.so\.6|libgcc_s\.so\.1|libstdc\+\+\.so\.6)$' | xargs)" "" &&
    expect_equal exports "$(nm -D --defined-only "$extracted/$libdir/$so" | awk '{print $3}' | LC_ALL=C sort | xargs)" \
      "Execute ReturnAPIInterfaceVersion"
}

debug_package_matches_the_library() {
  local extracted="$WORK/extracted" build_id
  build_id=$(readelf -n "$extracted/$(multiarch_lib_dir)/libCustodex.so.$VERSION" | sed -n 's/.*Build ID: //p')
  expect_equal "debug package" "$(deb_paths "$DEB_NAME-dbgsym")" \
    "./usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug ./usr/share/doc/$DEB_NAME-dbgsym/copyright"
}

# Installs both packages on this machine, then purges them and looks for
# anything left. Only as root; the packages must not be installed already.
installs_and_removes_without_leftovers() {
  if [ "$(id -u)" != 0 ]; then echo "         skipped: not root" >&2; return 0; fi
  if dpkg-query -W -f='${Status}' "$DEB_NAME" 2>/dev/null | grep -q 'installed'; then
    echo "         $DEB_NAME is installed here already; left alone" >&2; return 1
  fi
  local paths path ok=0
  paths="$(deb_paths "$DEB_NAME") $(deb_paths "$DEB_NAME-dbgsym")"
  dpkg -i "$(deb_file "$DEB_NAME")" "$(deb_file "$DEB_NAME-dbgsym")" >"$WORK/dpkg.log" 2>&1 || {
    cat "$WORK/dpkg.log" >&2; ok=1; }
  ldconfig -p | grep -q "libCustodex.so.${VERSION%%.*} " || { echo "         not in the loader's cache" >&2; ok=1; }
  dpkg -P "$DEB_NAME-dbgsym" "$DEB_NAME" >>"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log" >&2; ok=1; }
  for path in $paths "./usr/share/doc/$DEB_NAME" "./usr/share/doc/$DEB_NAME-dbgsym"; do
    [ -e "/${path#./}" ] || [ -L "/${path#./}" ] && { echo "         left behind: /${path#./}" >&2; ok=1; }
  done
  ldconfig -p | grep -q "libCustodex" && { echo "         still in the loader's cache" >&2; ok=1; }
  dpkg-query -W "$DEB_NAME" >/dev/null 2>&1 && { echo "         still known to dpkg" >&2; ok=1; }
  return $ok
}

# The same sources in another folder must give the same bytes.
source_files() {
  if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$ROOT" ls-files -z --cached --others --exclude-standard
  else
    (cd "$ROOT" && find . -path ./build -prune -o -path ./dist -prune -o -type f -printf '%P\0')
  fi
}

# The twin is a clean copy outside this clone, at a path of another length,
# so that nothing a build here left behind, and no path, can reach its files.
a_second_build_elsewhere_is_identical() {
  local place twin file ok=0
  place=$(mktemp -d /var/tmp/custodex-twin.XXXXXX) || return 1
  twin="$place/a-clean-clone-elsewhere/custodex"
  mkdir -p "$twin"
  (cd "$ROOT" && source_files | tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$twin" || ok=1
  log "building the same sources again in $twin"
  if [ $ok = 0 ] && ! "$twin/scripts/package" >"$ROOT/build/package-twin.log" 2>&1; then
    tail -n 30 "$ROOT/build/package-twin.log" >&2
    ok=1
  fi
  if [ $ok = 0 ]; then
    for file in "$DIST"/*.zip "$DIST"/*.deb; do
      cmp -s "$file" "$twin/dist/$(basename "$file")" || { echo "         differs: $(basename "$file")" >&2; ok=1; }
    done
    cmp -s "$DIST/SHA256SUMS" "$twin/dist/SHA256SUMS" || ok=1
  fi
  rm -rf "$place"
  return $ok
}

verify_package() {
  log "checking the packages"
  check "the DLL exports Execute and ReturnAPIInterfaceVersion only" exports_are_the_two
  check "the DLL's version resource names version $VERSION" version_resource_names_the_version
  check "the DLL is stripped and links its debug file" dll_links_its_debug_file
  check "the DLL is at most a tenth of the development build's" dll_is_a_tenth_of_the_development_build
  check "the archive holds the DLL, its debug file, the settings and their hashes" archive_holds_the_four_files
  check "the Debian package holds the library under its soname" package_holds_the_library_under_its_soname
  check "the debug package holds the library's debug file by build id" debug_package_matches_the_library
  check "the packages install and purge without leftovers" installs_and_removes_without_leftovers
  check "a second build in a clean copy outside the clone gives the same bytes" a_second_build_elsewhere_is_identical
  echo "package: $checks_passed passed, $checks_failed failed"
  [ "$checks_failed" = 0 ]
}
