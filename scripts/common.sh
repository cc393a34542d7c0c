# Shared settings of the entry points; sourced, not run.
# Each Windows architecture has its own build folder and Wine prefix: $BUILD_ROOT/<arch>/{win,wineprefix}.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${BUILD_ROOT:-$ROOT/build}
DEPS_DIR=${DEPS_DIR:-$BUILD_ROOT/deps}
NATIVE_BUILD=$BUILD_ROOT/native
ALL_ARCHS=(i686 x86_64)
export WINEDEBUG=${WINEDEBUG:--all}
unset DISPLAY
JOBS=${JOBS:-$(nproc)}

log() { printf '== %s\n' "$*" >&2; }

# Whether this kernel executes 32-bit x86 code, found out by running some: five instructions that exit 0.
# Some kernels of our machines run none at all, and names or versions do not tell.
runs_i386() {
  local dir rc=1
  command -v as >/dev/null && command -v ld >/dev/null || return 1
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/p.s"
  if as --32 "$dir/p.s" -o "$dir/p.o" 2>/dev/null && ld -m elf_i386 "$dir/p.o" -o "$dir/p" 2>/dev/null; then
    "$dir/p" 2>/dev/null && rc=0
  fi
  rm -rf "$dir"
  return $rc
}

# The architectures whose Windows programs this machine can run under Wine, i686 first.
runnable_archs() {
  if runs_i386; then echo "i686 x86_64"; else echo "x86_64"; fi
}

# i686, the specified deliverable, where it runs; x86_64 otherwise. BM_ARCH picks one.
default_arch() {
  if [ -n "${BM_ARCH:-}" ]; then echo "$BM_ARCH"; return; fi
  if runs_i386; then echo i686; else echo x86_64; fi
}

# Points the build folder, the prefix and Wine's loader and server at one architecture. Debian's wine and
# wineboot wrappers take the 32-bit loader whenever wine32 is installed, so the loaders are named directly.
use_arch() {
  ARCH=$1
  case "$ARCH" in
    i686) WINEARCH=win32; WINE=/usr/lib/wine/wine ;;
    x86_64) WINEARCH=win64; WINE=/usr/lib/wine/wine64 ;;
    *) echo "unknown architecture '$ARCH' (i686 or x86_64)" >&2; return 1 ;;
  esac
  WINESERVER=/usr/lib/wine/wineserver64
  [ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver32
  WIN_BUILD=$BUILD_ROOT/$ARCH/win
  WINEPREFIX=$BUILD_ROOT/$ARCH/wineprefix
  WINELOADER=$WINE
  BM_ARCH=$ARCH BM_WIN_BUILD_DIR=$WIN_BUILD BM_WINE=$WINE BM_WINESERVER=$WINESERVER
  export WINEARCH WINEPREFIX WINELOADER BM_ARCH BM_WIN_BUILD_DIR BM_WINE BM_WINESERVER
}

# Keeps one Wine server alive and starts Wine's own services with their output on /dev/null: started
# by a program whose output is a pipe, they would inherit that pipe and hold it open for ever.
# `wineserver -p` fails when a server already runs for the prefix; that server is as good.
start_wine() { ("$WINESERVER" -p || true; "$WINE" cmd /c exit || true) </dev/null >/dev/null 2>&1; }
stop_wine() { "$WINESERVER" -k 2>/dev/null || true; }
