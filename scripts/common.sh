# Shared settings of the entry points; sourced, not run.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${BUILD_ROOT:-$ROOT/build}
DEPS_DIR=${DEPS_DIR:-$BUILD_ROOT/deps}
WIN_BUILD=$BUILD_ROOT/win
NATIVE_BUILD=$BUILD_ROOT/native
export WINEPREFIX=${WINEPREFIX:-$BUILD_ROOT/wineprefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
unset DISPLAY
JOBS=${JOBS:-$(nproc)}

log() { printf '== %s\n' "$*" >&2; }

# Keeps one Wine server alive and starts Wine's own services with their output on /dev/null: started
# by a program whose output is a pipe, they would inherit that pipe and hold it open for ever.
# `wineserver -p` fails when a server already runs for the prefix; that server is as good.
start_wine() { (wineserver -p || true; wine cmd /c exit || true) </dev/null >/dev/null 2>&1; }
stop_wine() { wineserver -k 2>/dev/null || true; }
