#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the simulator need,
# only those that are missing.
set -euo pipefail
pkgs=(cmake make g++ clang libgtest-dev libbenchmark-dev lrzsz srecord socat python3-intelhex iproute2 util-linux
      libcli11-dev nlohmann-json3-dev g++-arm-linux-gnueabihf qemu-user googletest systemd libfaketime
      help2man lintian openssl
      # what the unpacked mender-client and mender-artifact (scripts/mender-tools.sh) run on
      libglib2.0-0 libssl3 liblzma5)
need=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
# ccache only speeds up rebuilds; take it when the archive has it.
dpkg-query -W -f='${Status}' ccache 2>/dev/null | grep -q "install ok installed" || need+=(ccache)
if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "installing: ${need[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
