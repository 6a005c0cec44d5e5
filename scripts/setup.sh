#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test lagstat, then lagstat itself.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check cmake ninja "scikit-build-core>=0.8" "numpy>=2.0"
python3 -m pip install -q --disable-pip-version-check --no-build-isolation \
  -C cmake.define.LAGSTAT_WERROR=ON ".[test,tica]"
