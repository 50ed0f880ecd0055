#!/usr/bin/env bash
# From a fresh clone to a passing test run: install packages, build, run every test.
# BUILD_DIR and CMAKE_ARGS may be set to use another build tree or options
# (e.g. CMAKE_ARGS=-DZ39_SANITIZE=ON BUILD_DIR=build-asan).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZ39_WERROR=ON ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j"$(nproc)"
cd "$build_dir"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
