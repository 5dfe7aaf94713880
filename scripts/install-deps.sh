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
  fonts-wine                  # real fonts in the tests' wine prefix
  nsis unzip                  # the Windows installer, and checking its zip
  python3                     # test helpers that read JSON reports
  nlohmann-json3-dev          # reading JSON: the gang, and the tests
  dpkg-dev                    # the Debian package's Depends (dpkg-shlibdeps)
  lintian man-db binutils     # checking the Debian package and its pages
  libgcrypt20-dev             # hashes and signatures of signed jobs
  libgcrypt-mingw-w64-dev     # the same for the Windows build (with its DLLs)
  minisign                    # makes keys and signs jobs in the tests
  openocd                     # plays vendor SVF files as the converter's oracle
)

# One dpkg query for all of them: asking package by package takes most of a
# second on its own.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
  awk '$NF == "installed" && $(NF-1) == "ok" {print $1}' || true)
missing=()
for p in "${packages[@]}"; do
  grep -qx -- "$p" <<<"$installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}" >&2
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
