#!/usr/bin/env bash
# Consumer test: installs the build into a temporary prefix, then builds a
# downstream program against it twice, with find_package(vmdetect) and with
# pkg-config, and runs both on a machine where nothing can be found.
#
#   tests/consumer/run.sh BUILD_DIR
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/vmdetect-consumer-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
  echo "consumer: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
  cat "$work/install.log" >&2
  fail "cmake --install failed"
}

# Layout: versioned library, headers under include/vmdetect, both packages.
real=$(find "$prefix" -name 'libvmdetect.so.1.*' -type f | head -n1)
[ -n "$real" ] || fail "no libvmdetect.so.1.x.y installed"
libdir=$(dirname "$real")
[ "$(readlink "$libdir/libvmdetect.so.1")" = "$(basename "$real")" ] || fail "libvmdetect.so.1 link"
[ "$(readlink "$libdir/libvmdetect.so")" = "libvmdetect.so.1" ] || fail "libvmdetect.so link"
for h in ZTVMDetect.h vmdetect.h EvDebug.h CYbError.h; do
  [ -f "$prefix/include/vmdetect/$h" ] || fail "header $h not installed"
done
[ -x "$prefix/bin/vmdetect" ] || fail "the command is not installed"
[ -f "$prefix/share/man/man1/vmdetect.1" ] || fail "the man page is not installed"
pc=$(find "$prefix" -name vmdetect.pc | head -n1)
[ -n "$pc" ] || fail "no vmdetect.pc"
mapfile -t targets < <(find "$prefix" -name 'vmdetectTargets*.cmake')
[ "${#targets[@]}" -gt 0 ] || fail "no CMake package"
# The library's dependencies are linked into it: consumers must not need them.
if grep -nE 'CURL|curl|inih|INIH|nlohmann|Requires' "${targets[@]}" "$pc"; then
  fail "the installed package demands the library's private dependencies"
fi

# A machine on which nothing is found: dmidecode fails, no process is
# running, every metadata service is a closed loopback port.
mkdir -p "$work/bin" "$work/proc"
printf '#!/bin/sh\nexit 1\n' >"$work/bin/dmidecode"
chmod +x "$work/bin/dmidecode"
. "$here/../../scripts/lib.sh"
mapfile -t endpoints < <(loopback_env_args)
run_closed() {
  env -i "${endpoints[@]}" PATH="$work/bin:/usr/bin:/bin" LD_LIBRARY_PATH="$libdir" \
    HOST_PROC="$work/proc" VMDETECT_CONFIG="$work/none.conf" VMDETECT_LOG=/dev/null "$@"
}
expected="flags=0x0 platform=[] uuid=[unset]"

check_program() {
  local exe=$1 how=$2 out
  # It must load the installed copy, not the build tree's.
  # Whole output first: grep -q ending early would fail ldd under pipefail.
  local libs
  libs=$(run_closed ldd "$exe")
  grep -q "libvmdetect.so.1 => $libdir/" <<<"$libs" ||
    fail "$how: does not load $libdir/libvmdetect.so.1: $(grep vmdetect <<<"$libs")"
  out=$(run_closed "$exe") || fail "$how: the program failed"
  [ "$out" = "$expected" ] || fail "$how: printed '$out', expected '$expected'"
  echo "$how: $out"
}

# 1. find_package(vmdetect)
cmake -S "$here" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$work/cmake.log" 2>&1 || {
  cat "$work/cmake.log" >&2
  fail "find_package(vmdetect) failed"
}
cmake --build "$work/with-cmake" >>"$work/cmake.log" 2>&1 || {
  cat "$work/cmake.log" >&2
  fail "the find_package build failed"
}
check_program "$work/with-cmake/consumer" "find_package"

# The version file refuses another major version.
if cmake -S "$here" -B "$work/wrong-version" -DCMAKE_PREFIX_PATH="$prefix" \
  -DVMDETECT_WANT_VERSION=2 >/dev/null 2>&1; then
  fail "find_package(vmdetect 2) succeeded against version 1"
fi

# 2. pkg-config, seeing only the temporary prefix.
flags=$(PKG_CONFIG_LIBDIR=$(dirname "$pc") pkg-config --cflags --libs vmdetect) ||
  fail "pkg-config does not know vmdetect"
case "$flags" in
  *"-I$prefix/include/vmdetect"*"-L$libdir"*) ;;
  *) fail "pkg-config flags do not point into the prefix: $flags" ;;
esac
# shellcheck disable=SC2086  # the flags are words
"${CXX:-c++}" -std=c++17 -Wall -Wextra -Werror "$here/main.cpp" $flags -o "$work/with-pkg-config" ||
  fail "the pkg-config build failed"
check_program "$work/with-pkg-config" "pkg-config"

# 3. The report header as C99, through pkg-config; its answer on the closed
# machine is valid JSON naming no hypervisor firmware.
# shellcheck disable=SC2086  # the flags are words
"${CC:-cc}" -std=c99 -pedantic -Wall -Wextra -Werror "$here/report.c" $flags -o "$work/report-c" ||
  fail "the C build of vmdetect.h failed"
mkdir -p "$work/sys" "$work/root"
report=$(run_closed env HOST_SYS="$work/sys" HOST_ROOT="$work/root" "$work/report-c" "$work/evidence") ||
  fail "the C program failed"
[ "$(cat "$work/evidence/format")" = "vmdetect-evidence 1" ] || fail "vmdetect_collect wrote no evidence directory"
case "$report" in
  '{"hypervisor":'*'"container":"none"'*'"sources":{'*) echo "C: $report" ;;
  *) fail "the C program printed '$report'" ;;
esac

# The installed command runs from the prefix too.
version=$(run_closed "$prefix/bin/vmdetect" --version) || fail "vmdetect --version failed"
case "$version" in
  "vmdetect "[0-9]*) echo "command: $version" ;;
  *) fail "vmdetect --version printed '$version'" ;;
esac
