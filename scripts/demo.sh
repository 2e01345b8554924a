#!/usr/bin/env bash
# Builds the driver and its tools and runs the demo against the built-in
# controller simulator on a pseudo-terminal.
# Usage: scripts/demo.sh [sarnhost options]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target sarnhost plcsim sarnmd korven
exec build/bin/sarnhost demo "$@"
