#!/usr/bin/env bash
# Installs every Debian 12 package the updater, its tests, fuzzers and
# benchmarks need. Run as root.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config
  # the updater's dependencies
  qtbase5-dev qttools5-dev-tools zlib1g-dev libprotobuf-dev protobuf-compiler
  libtomcrypt-dev libtommath-dev libboost-dev libboost-date-time-dev liblzma-dev
  # tests, fuzzing, fixtures and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev clang lld llvm libclang-rt-14-dev
  openssl xz-utils libdivsufsort-dev zstd xdelta3 curl
  # the README's trial on one machine serves with Python's http.server
  python3
  # format check
  clang-format
)

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"
