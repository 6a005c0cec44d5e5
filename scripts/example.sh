#!/usr/bin/env bash
# Sets up a fresh machine, installs lagstat and runs the TICA example end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build-essential zlib1g-dev libbz2-dev liblzma-dev libzstd-dev libisal-dev
python3 examples/tica_example.py "$@"
