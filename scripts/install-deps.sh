#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: when everything is present it only asks dpkg, which takes well
# under a second; apt-get update runs once, and only when something is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build make
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  srecord                     # reference tool for the image checksum tests
  clang libclang-rt-14-dev    # fuzz targets
  mingw-w64                   # the Windows build
  wine wine64 xvfb xauth      # running the Windows build here
  python3                     # test helpers that read JSON reports
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}" >&2
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
