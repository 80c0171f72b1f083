#!/usr/bin/env bash
# Sets up, builds and decodes the sample trace that ships with the project.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target qelttrace >/dev/null
build/default/bin/qelttrace samples/trace.txt
