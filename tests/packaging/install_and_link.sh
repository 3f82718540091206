#!/usr/bin/env bash
# Installs the build into a staging prefix and checks the result as a user of it would: the
# files in their places, the unit and desktop entry valid, and a C program built against the
# library with pkg-config only (and again with find_package) that reads a board's time.
# Usage: install_and_link.sh BUILD_DIR TEST_SOURCE_DIR LIBDIR
set -euo pipefail
build=$1
here=$2
libdir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
fail() { echo "FAIL $*"; exit 1; }

cmake --install "$build" --prefix "$stage" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

for file in bin/vornctl bin/vornclock bin/vornsync bin/vornGui sbin/vornhost \
    lib/systemd/system/vornsync.service share/man/man8/vornsync.8.gz \
    "$libdir/libvorn.so" "$libdir/pkgconfig/vorn.pc" "$libdir/cmake/vorn/vornConfig.cmake" \
    include/vorn.h include/vorn_sim.h lib/systemd/system/vornhost.service lib/sysusers.d/vorn.conf \
    share/man/man1/vornctl.1.gz share/man/man1/vornGui.1.gz share/man/man3/libvorn.3.gz \
    share/man/man8/vornhost.8.gz share/man/man8/vornclock.8.gz \
    share/bash-completion/completions/vornctl share/applications/vorngui.desktop \
    share/icons/hicolor/32x32/apps/vorngui.png; do
    [[ -e $stage/$file ]] || fail "not installed: $file"
done
soname=$(readelf -d "$stage/$libdir/libvorn.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == libvorn.so.1 && -e $stage/$libdir/$soname ]] || fail "SONAME '$soname'"
[[ -z $(readelf -d "$stage/bin/vornctl" | grep -E 'RPATH|RUNPATH') ]] || fail "vornctl keeps a run path"

unit=$stage/lib/systemd/system/vornhost.service
grep -qx "ExecStart=$stage/sbin/vornhost .*" "$unit" || fail "ExecStart: $(grep ExecStart "$unit")"
systemd-analyze verify --man=no "$unit" || fail "systemd-analyze verify vornhost.service"
desktop-file-validate "$stage/share/applications/vorngui.desktop" || fail "desktop entry"

# The library runs its own host: the socket it is pointed at is served by nobody.
export VORN_HOST_SOCKET=$work/none.sock
export PKG_CONFIG_PATH=$stage/$libdir/pkgconfig
cc -std=c11 -Wall -Werror "$here/read_time.c" -o "$work/read_time" $(pkg-config --cflags --libs vorn)
out=$(LD_LIBRARY_PATH=$(pkg-config --variable=libdir vorn) "$work/read_time") || fail "read_time: $out"
[[ $out =~ ^model\ 0x9070\ day\ [0-9]+\ [0-9]{2}:[0-9]{2}:[0-9]{2}$ ]] || fail "read_time printed '$out'"

mkdir "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(vorn 1 REQUIRED)
add_executable(read_time $here/read_time.c)
target_link_libraries(read_time PRIVATE vorn::vorn)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$stage" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
"$work/consumer/build/read_time" >/dev/null || fail "find_package(vorn) program"
echo "installed, linked and read: $out"
