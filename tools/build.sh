#!/usr/bin/env bash
# Builds the library and the programs into build/ (Release).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build
echo "built: build/apps/home/ostrel_home"
echo "built: build/apps/scanner/osl_scanner"
