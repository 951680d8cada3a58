#!/bin/sh
# Installs the Debian packages that a profile needs (build, run, test), each only
# when missing. Quiet when everything is already there.
# Usage: scripts/install-deps.sh PROFILE...
set -eu
here=$(cd "$(dirname "$0")" && pwd)

wanted=""
for profile in "$@"; do
    list="$here/deps/$profile.txt"
    [ -f "$list" ] || { echo "install-deps: no package list for '$profile'" >&2; exit 2; }
    wanted="$wanted $(grep -v '^#' "$list" | tr '\n' ' ')"
done

missing=""
for pkg in $wanted; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    case "$status" in
        *"ok installed"*) ;;
        *) case " $missing " in *" $pkg "*) ;; *) missing="$missing $pkg" ;; esac ;;
    esac
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    echo "install-deps: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

# The browser tests and the bench drive Debian's Chromium and Firefox ESR with puppeteer-core
# at the version its lock file pins; they never download a browser of their own.
case " $* " in *" test "* | *" bench "*)
    web="$here/../tests/web"
    if ! cmp -s "$web/package-lock.json" "$web/node_modules/.installed-lock.json" 2>/dev/null; then
        command -v npm >/dev/null || { echo "install-deps: npm is missing (Node.js 18 or newer)" >&2; exit 1; }
        echo "install-deps: installing puppeteer-core for the browser test"
        (cd "$web" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null &&
            cp package-lock.json node_modules/.installed-lock.json)
    fi
    ;;
esac
