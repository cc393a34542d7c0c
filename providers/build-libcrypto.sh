#!/usr/bin/env bash
# Cross-builds a static libcrypto for i686 mingw from Debian's openssl source package, once per deps
# folder. Several build folders share that folder, so the build runs under a lock and appears by rename.
# usage: build-libcrypto.sh DEPS_DIR   -> DEPS_DIR/openssl-i686-mingw/{libcrypto.a,include/}
set -euo pipefail
deps=$(cd "${1:?deps folder}" && pwd)
out=$deps/openssl-i686-mingw
src=$(ls -d "$deps"/openssl-*/ 2>/dev/null | grep -v -- '-i686-mingw' | head -1 || true)
[ -n "$src" ] || { echo "openssl source not found under $deps; run scripts/setup" >&2; exit 1; }

exec 9>"$deps/.openssl-i686-mingw.lock"
flock 9
[ -f "$out/libcrypto.a" ] && [ -f "$out/include/openssl/opensslconf.h" ] && exit 0

# A compiler named by the caller's environment (CMake's configure step sets CC) would be taken as the
# compiler behind the cross prefix; the prefix alone names the right one.
unset CC CXX CPP AR RANLIB RC LD CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
work=$deps/.openssl-i686-mingw.tmp
rm -rf "$work"
mkdir -p "$work"
start=$(date +%s)
(cd "$work" && perl "$src/Configure" mingw --cross-compile-prefix=i686-w64-mingw32- \
     no-shared no-asm no-tests >configure.log 2>&1) ||
  { tail -20 "$work/configure.log" >&2; exit 1; }
(cd "$work" && make -j"${JOBS:-$(nproc)}" build_libs >make.log 2>&1) ||
  { tail -30 "$work/make.log" >&2; exit 1; }
# Only the library and the headers (generated and source) are kept.
mkdir -p "$work/out/include"
cp "$work/libcrypto.a" "$work/out/"
cp -r "$src/include/openssl" "$work/out/include/"
cp "$work"/include/openssl/*.h "$work/out/include/openssl/"
rm -rf "$out"
mv "$work/out" "$out"
rm -rf "$work"
echo "libcrypto for i686 mingw built in $(( $(date +%s) - start )) s" >&2
