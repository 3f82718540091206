#!/usr/bin/env bash
# Builds the Debian packages with `cpack -G DEB` and checks them without installing them on
# this machine: their names, files and dependencies, no file in two packages, lintian without
# errors; then installs them with dpkg into a private root, where the group entry, the unit, the
# programs and a C program built against the packaged library all work, and purges them again.
# Usage: debian_packages.sh BUILD_DIR TEST_SOURCE_DIR LIBDIR
set -euo pipefail
build=$1
here=$2
libdir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb() { ls "$work/out/$1"_*.deb; }
for package in vorn libvorn1 libvorn-dev vorngui; do
    [[ -f $(deb $package) ]] || fail "no package $package"
done

# Each package's own files, and the dependencies between them and on Qt.
for package in vorn libvorn1 libvorn-dev vorngui; do
    dpkg-deb -c "$(deb $package)" | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}' >"$work/$package.files"
done
has() { grep -qx "/$2" "$work/$1.files" || fail "$1 lacks /$2"; }
for file in usr/sbin/vornhost usr/bin/vornctl usr/bin/vornclock usr/bin/vornsync \
    usr/lib/systemd/system/vornhost.service usr/lib/systemd/system/vornsync.service \
    usr/lib/sysusers.d/vorn.conf usr/share/man/man8/vornhost.8.gz usr/share/doc/vorn/copyright; do
    has vorn "$file"
done
has libvorn1 "usr/$libdir/libvorn.so.1.0.0"
for file in "usr/$libdir/libvorn.so" "usr/$libdir/pkgconfig/vorn.pc" usr/include/vorn.h \
    "usr/$libdir/cmake/vorn/vornConfig.cmake" usr/share/man/man3/libvorn.3.gz; do
    has libvorn-dev "$file"
done
has vorngui usr/bin/vornGui
has vorngui usr/share/applications/vorngui.desktop
depends() { dpkg-deb -f "$(deb "$1")" Depends; }
version=$(dpkg-deb -f "$(deb vorn)" Version)
for package in vorn libvorn-dev vorngui; do
    [[ $(depends $package) == *"libvorn1 (= $version)"* ]] || fail "$package: Depends $(depends $package)"
done
[[ $(depends vorn) != *qt6* && $(depends libvorn1) != *qt6* ]] || fail "a server package needs Qt"
[[ $(depends vorngui) == *libqt6widgets6* ]] || fail "vorngui: Depends $(depends vorngui)"
dpkg-deb --ctrl-tarfile "$(deb libvorn1)" | tar -xO ./shlibs >"$work/shlibs"
grep -qx "libvorn 1 libvorn1 (>= $version)" "$work/shlibs" || fail "libvorn1 shlibs"

duplicates=$(sort "$work"/*.files | uniq -d)
[[ -z $duplicates ]] || fail "files in two packages: $duplicates"

lintian --tag-display-limit 0 "$work"/out/*.deb >"$work/lintian.log" 2>&1 || true
grep -v '^running with root' "$work/lintian.log" || true
! grep -q '^E:' "$work/lintian.log" || fail "lintian reports errors"

# A private dpkg root: the maintainer scripts run for real (chrootless, with DPKG_ROOT set), and
# the libraries the packages depend on are this machine's, which the root does not list.
root=$work/root
mkdir -p "$root/etc" "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
in_root() {
    dpkg --root="$root" --force-script-chrootless --force-depends --force-not-root \
        --log=/dev/null "$@" >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg $*"; }
}
in_root -i "$work"/out/*.deb
for package in vorn libvorn1 libvorn-dev vorngui; do
    dpkg --root="$root" -s "$package" | grep -qx 'Status: install ok installed' ||
        fail "$package is not installed"
done
grep -qx 'ExecStart=/usr/sbin/vornhost .*' "$root/usr/lib/systemd/system/vornhost.service" || fail "unit ExecStart"
grep -qx 'prefix=/usr' "$root/usr/$libdir/pkgconfig/vorn.pc" || fail "vorn.pc prefix"
grep -q '^vorn:x:[0-9]*:$' "$root/etc/group" || fail "the postinst made no group vorn"

export VORN_HOST_SOCKET=$work/none.sock
export LD_LIBRARY_PATH=$root/usr/$libdir
"$root/usr/bin/vornctl" --json time >/dev/null || fail "packaged vornctl"
PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root/usr/$libdir/pkgconfig \
    cc -std=c11 "$here/read_time.c" -o "$work/read_time" $(PKG_CONFIG_SYSROOT_DIR=$root \
    PKG_CONFIG_LIBDIR=$root/usr/$libdir/pkgconfig pkg-config --cflags --libs vorn)
"$work/read_time" >/dev/null || fail "program against the packaged library"

# Purging leaves nothing of the packages behind; the group stays, as system groups do.
in_root -P vorngui libvorn-dev vorn libvorn1
left=$(cd "$root" && find . ! -type d ! -path './var/lib/dpkg/*' ! -path './etc/*')
[[ -z $left ]] || fail "left after purge: $left"
grep -q '^vorn:x:' "$root/etc/group" || fail "purge removed group vorn"
echo "packages: $(cd "$work/out" && ls *.deb | tr '\n' ' ')"
