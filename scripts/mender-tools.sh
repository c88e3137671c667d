#!/usr/bin/env bash
# Fetches Debian's mender-client and mender-artifact packages and unpacks them
# into DIR (never installed: the client's package enables its daemon). After
# it, DIR/usr/bin holds mender and mender-artifact, and
# DIR/usr/share/mender/modules/v3 the client's stock update modules.
# A DIR that already holds both programs is left as it is.
# Usage: scripts/mender-tools.sh DIR
set -euo pipefail
dir=${1:?usage: $0 DIR}
if [ -x "$dir/usr/bin/mender" ] && [ -x "$dir/usr/bin/mender-artifact" ]; then
    exit 0
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
# apt-get download writes into the current directory, as the invoking user.
(cd "$debs" && apt-get download -qq mender-client mender-artifact >/dev/null 2>&1) || {
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    (cd "$debs" && apt-get download -qq mender-client mender-artifact >/dev/null)
}
for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$dir"
done
for bin in mender mender-artifact; do
    [ -x "$dir/usr/bin/$bin" ] || { echo "mender-tools: $bin missing after unpacking" >&2; exit 1; }
done
echo "mender-tools: mender-client and mender-artifact unpacked into $dir"
