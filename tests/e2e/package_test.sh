#!/bin/sh
# A person installing: the Debian package holds every installed file, passes
# lintian without an error, installs with apt into a throwaway copy of this
# system (an overlay of / in the sandbox's private mount namespace), and there
# the menu entry validates, the programs answer, a C program builds against the
# ring library and Tarnwell runs its engine. Usage: package_test.sh BUILD_DIR
set -eu
build=$(realpath "${1:?usage: package_test.sh BUILD_DIR}")
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "${SONVALE_IN_SANDBOX:-}" = 1 ] || fail "run me through scripts/sandbox.sh"
work=$(mktemp -d)
trap 'umount -lR "$work" 2>/dev/null; rmdir "$work"' EXIT
mount -t tmpfs tmpfs "$work"

(cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/tarnwell_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/files"
for path in usr/bin/Tarnwell usr/bin/sonvale-phone usr/bin/sonvale-ring \
    usr/libexec/tarnwell/sonvale-engine usr/libexec/tarnwell/sonvale-web usr/libexec/tarnwell/sonvale-mic \
    'usr/lib/([^/]+/)?libsvring\.so' 'usr/lib/([^/]+/)?pkgconfig/svring\.pc' usr/include/sv_ring.h \
    usr/share/applications/tarnwell.desktop usr/share/icons/hicolor/scalable/apps/tarnwell.svg \
    usr/lib/systemd/user/sonvale-mic.service usr/share/man/man1/Tarnwell.1.gz \
    usr/share/man/man1/sonvale-phone.1.gz usr/share/man/man1/sonvale-ring.1.gz; do
    grep -qE "^\./$path\$" "$work/files" || fail "the package lacks /$path"
done
dpkg-deb -f "$deb" Depends | grep -q libopus || fail "no computed dependency on libopus"
lintian --fail-on error "$deb" || fail "lintian reports an error"

mkdir "$work/upper" "$work/scratch" "$work/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/scratch" "$work/root"
mount --rbind /dev "$work/root/dev"
mount -t proc proc "$work/root/proc"
mount -t tmpfs tmpfs "$work/root/tmp"
cp "$deb" "$work/root/tmp/tarnwell.deb"
cat >"$work/root/tmp/reader.c" <<'C'
#include <stdio.h>
#include <sv_ring.h>
int main(void) {
    SVRingHandle h = {-1, NULL};
    printf("view %d\n", SVRing_OpenView(&h));
    return 0;
}
C
chroot "$work/root" sh -euc '
    apt-get install -y -q /tmp/tarnwell.deb >/dev/null
    QT_QPA_PLATFORM=offscreen Tarnwell --version
    sonvale-phone --version
    cc -std=c11 -Wall -Werror -o /tmp/reader /tmp/reader.c $(pkg-config --cflags --libs svring)
    /tmp/reader
    man -w Tarnwell
    desktop-file-validate /usr/share/applications/tarnwell.desktop
    grep -qx Exec=/usr/bin/Tarnwell /usr/share/applications/tarnwell.desktop
    grep -qx ExecStart=/usr/libexec/tarnwell/sonvale-mic /usr/lib/systemd/user/sonvale-mic.service' ||
    fail "the installed package does not work"

# The installed Tarnwell runs the installed engine, which ends with it.
chroot "$work/root" sh -euc '
    export QT_QPA_PLATFORM=offscreen HOME=/tmp XDG_DATA_HOME=/tmp XDG_RUNTIME_DIR=/tmp
    Tarnwell >/dev/null 2>&1 &
    app=$!
    for _ in $(seq 600); do
        engine=$(pgrep -P $app -x sonvale-engine) && break
        sleep 0.1
    done
    [ "$(readlink /proc/$engine/exe)" = /usr/libexec/tarnwell/sonvale-engine ]
    kill -TERM $app
    wait $app
    for _ in $(seq 100); do kill -0 $engine 2>/dev/null || exit 0; sleep 0.1; done
    exit 1' || fail "the installed Tarnwell did not run and end the installed engine"
echo "package $(basename "$deb") installed with apt and ran"
