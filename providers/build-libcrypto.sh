#!/usr/bin/env bash
# Cross-builds a static libcrypto for one mingw architecture from Debian's openssl source package, once
# per deps folder. Several build folders share that folder, so the build runs under a lock and appears
# by rename.
# usage: build-libcrypto.sh DEPS_DIR ARCH   (ARCH: i686 | x86_64) -> DEPS_DIR/openssl-ARCH-mingw/{libcrypto.a,include/}
set -euo pipefail
deps=$(cd "${1:?deps folder}" && pwd)
arch=${2:?architecture}
case "$arch" in
  i686) target=mingw ;;
  x86_64) target=mingw64 ;;
  *) echo "unknown architecture $arch" >&2; exit 1 ;;
esac
name=openssl-$arch-mingw
out=$deps/$name
src=$(ls -d "$deps"/openssl-[0-9]*/ 2>/dev/null | head -1 || true)
[ -n "$src" ] || { echo "openssl source not found under $deps; run scripts/setup" >&2; exit 1; }

exec 9>"$deps/.$name.lock"
flock 9
[ -f "$out/libcrypto.a" ] && [ -f "$out/include/openssl/opensslconf.h" ] && exit 0

# A compiler named by the caller's environment (CMake's configure step sets CC) would be taken as the
# compiler behind the cross prefix; the prefix alone names the right one.
unset CC CXX CPP AR RANLIB RC LD CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
work=$deps/.$name.tmp
rm -rf "$work"
mkdir -p "$work"
start=$(date +%s)
(cd "$work" && perl "$src/Configure" "$target" --cross-compile-prefix="$arch-w64-mingw32-" \
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
echo "libcrypto for $arch mingw built in $(( $(date +%s) - start )) s" >&2
