#!/usr/bin/env bash
# Sets up a fresh machine, installs lagstat into the project's virtual environment and runs the
# TICA example end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh zlib1g-dev libbz2-dev liblzma-dev libzstd-dev libisal-dev
source scripts/venv.sh
activate_venv
python3 examples/tica_example.py "$@"
venv_hint
