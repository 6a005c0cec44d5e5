#!/usr/bin/env bash
# The opt-in slow tests, run once per CI run: a file of more than 2^31 lines and 4 GiB, made by a
# generator process through a FIFO so that nothing large is stored, read by the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
activate_venv  # the project environment of scripts/setup.sh
root=$(pwd)
(cd /tmp && LAGSTAT_SLOW_TESTS=1 python3 -m pytest -q -p no:cacheprovider \
  "$root/tests/python/test_faults.py" -k huge_input)
