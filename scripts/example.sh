#!/usr/bin/env bash
# Sets up a fresh machine, installs lagstat into the project's virtual environment and runs the
# TICA example end to end, then the lag scan over its four runs (README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh zlib1g-dev libbz2-dev liblzma-dev libzstd-dev libisal-dev
source scripts/venv.sh
activate_venv
workdir=$(mktemp -d "${TMPDIR:-/tmp}/lagstat-example-XXXXXX")
python3 examples/tica_example.py --workdir "$workdir" "$@"
lagstat-tica scan "$workdir"/run*.txt --lags 1,2,5,10,20,50,100,200,500 --plot "$workdir/tica_scan.png" --quiet
venv_hint
