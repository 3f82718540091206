#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, where any is missing.
# Idempotent: with everything present it changes nothing and asks no registry.
set -euo pipefail

packages=(
    cmake ninja-build g++ make pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
    qt6-base-dev qt6-base-dev-tools qt6-tools-dev libqt6uitools6 libqt6opengl6-dev
    xvfb xauth fonts-dejavu-core xdotool
    clang libclang-rt-14-dev clang-format
    strace
    scdoc lintian dpkg-dev fakeroot file binutils gzip systemd bash-completion desktop-file-utils
    chrony
    libcpp-httplib-dev prometheus
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    # The tests start the time daemon and the monitoring server themselves, on private files
    # and ports and without clock control: the packages' own services are not started by the
    # installation.
    policy=/usr/sbin/policy-rc.d
    if [[ ! -e $policy ]]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
        "${sudo_cmd[@]}" chmod 755 "$policy"
        trap '"${sudo_cmd[@]}" rm -f "$policy"' EXIT
    fi
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
