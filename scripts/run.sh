#!/usr/bin/env bash
# Builds the release preset and runs the broker program in the foreground.
# Extra arguments go to brelvane-mqttd, e.g.:
#   sudo bash scripts/run.sh --port 18830 --ws-port 0
# Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
cmake --preset release
cmake --build --preset release
exec build/release/daemon/brelvane-mqttd "$@"
