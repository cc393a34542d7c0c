#!/usr/bin/env bash
# The withdrawn-certificate lists come with the chain documents: a documents folder without its own
# DiscardedCertificates.inc builds empty removal lists (never the demo CA's), and one with its own builds that.
#   withdrawn_lists.sh SOURCE_DIR DEPS_DIR
set -euo pipefail
root=$1 deps=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/docs"
cp "$root"/resources/chains/*.xml "$work/docs/"
configure() {
  cmake -S "$root" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
    -DBM_DEPS_DIR="$deps" -DBM_CHAIN_DOCUMENTS_DIR="$work/docs" >/dev/null
}
passed=0 failed=0
check() {  # check NAME COMMAND...
  if "${@:2}"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1" >&2; fi
}
inc=$work/build/resources/discarded/DiscardedCertificates.inc
empty_lists() {
  grep -qx '#define DISCARDED_RSA_CERTIFICATES' "$inc" && grep -qx '#define DISCARDED_SM2_CERTIFICATES' "$inc" &&
    ! grep -q 'DISCARDED_ROOT\|DISCARDED_INTERMEDIATE' "$inc"
}
removal_unit_builds() { make -C "$work/build/Brindlemark" chain/CertificateChainDelete.cpp.obj >/dev/null; }

configure
check "documents without lists give empty lists" empty_lists
check "the removal unit builds with empty lists" removal_unit_builds
cp "$root/resources/chains/DiscardedCertificates.inc" "$work/docs/"
configure
check "documents with lists give those lists" cmp -s "$work/docs/DiscardedCertificates.inc" "$inc"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
