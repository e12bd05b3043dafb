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

wine_stop() {
  [ -n "${WINEPREFIX:-}" ] && "$WINESERVER" -k </dev/null >/dev/null 2>&1
  return 0
}
