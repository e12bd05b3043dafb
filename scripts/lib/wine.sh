# Running the Windows build under Wine, in a private prefix inside the build
# tree, with one persistent Wine server for the whole run. Sourced, not run.

WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}

wine_env() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

# Every stream redirected: Wine's services must not inherit a pipe that a
# caller (CTest, tee, CI) waits on.
wine_start() {
  wine_env "$1"
  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  "$WINE" wineboot </dev/null >/dev/null 2>&1
}

# The server leaves its socket folder behind (server-<device>-<inode> of the
# prefix, inside a folder of its own in /tmp): it goes once the server has.
wine_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  "$WINESERVER" -k </dev/null >/dev/null 2>&1
  timeout 30 "$WINESERVER" -w </dev/null >/dev/null 2>&1
  local server dir
  server=$(stat -c '%d %i' "$WINEPREFIX" 2>/dev/null | awk '{ printf "server-%x-%x", $1, $2 }')
  [ -n "$server" ] || return 0
  for dir in /tmp/wine-*/"$server" "/tmp/.wine-$(id -u)/$server"; do
    [ -d "$dir" ] || continue
    rm -rf "$dir"
    rmdir "$(dirname "$dir")" 2>/dev/null
  done
  return 0
}
