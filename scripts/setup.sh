#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12
# machine, as root. Safe to run again: when every package is already there it
# leaves apt alone and returns within a second.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build g++ clang clang-14 libclang-rt-14-dev
  clang-format clang-tidy
  zlib1g-dev rapidjson-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pytest python3-paho-mqtt mosquitto-clients mosquitto
  nodejs npm chromium ca-certificates
  libcpp-httplib-dev pkgconf python3-prometheus-client
)

log() { printf 'setup: %s\n' "$*"; }

# A mirror that hiccups once should not fail a whole CI run.
retry() {
  local attempt
  for attempt in 1 2 3; do
    "$@" && return 0
    log "attempt $attempt of '$*' failed"
    sleep $((attempt * 5))
  done
  return 1
}

# One dpkg-query for the whole list keeps a repeat run fast. npm also counts
# as present when an installed Node.js ships its own npm: such builds conflict
# with Debian's npm package, and asking apt for both would fail.
declare -A installed=()
while read -r name status; do
  if [[ $status == ii ]]; then installed[$name]=1; fi
done < <(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${PACKAGES[@]}" 2>/dev/null || true)

missing=()
for pkg in "${PACKAGES[@]}"; do
  [[ -n ${installed[$pkg]:-} ]] && continue
  [[ $pkg == npm ]] && command -v npm >/dev/null 2>&1 && continue
  missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  log "all ${#PACKAGES[@]} packages are installed"
  exit 0
fi

if ((EUID != 0)); then
  log "missing packages: ${missing[*]}"
  log "run this script as root (sudo bash scripts/setup.sh) to install them"
  exit 1
fi

log "missing packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
log "apt-get update"
retry apt-get update -q
log "apt-get install ${missing[*]}"
retry apt-get install -y -q --no-install-recommends "${missing[@]}"
log "done"
