#!/usr/bin/env bash
# Sets up, builds and runs the main job: boots the kernel layer with the driver on a simulated
# board and shows what it serves.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh default kernel-smoke
exec build/default/host/kernel-smoke "$@"
