#!/usr/bin/env bash
# Builds the ThreadSanitizer configuration (preset "tsan", in build-tsan) and
# runs the tests of several lines driven at once (label concurrency): four
# contexts on four threads against four simulators, every operation mixed.
# Usage: scripts/tsan.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan
