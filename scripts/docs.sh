#!/usr/bin/env bash
# Builds the documentation site into build/docs/html and checks it: the docs extra of
# pyproject.toml installed into the project's environment by scripts/setup.sh (so that the API
# reference is taken from the module as built), then sphinx-build with every warning and every
# unresolved reference an error (the gallery's tutorials executed, their figures in the pages),
# the doctests of the pages and docstrings, and a link check of the internal links only (the build
# needs no network: nothing is fetched but the PyPI installs of the setup).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

source scripts/steps.sh

step "Setup (with the docs extra)"
LAGSTAT_EXTRAS=test,tica,docs bash scripts/setup.sh zlib1g-dev libbz2-dev liblzma-dev libzstd-dev libisal-dev
activate_venv
step_end

out=build/docs
sphinx=(python3 -m sphinx -W --keep-going -n -q -d "$out/doctrees")
# Matplotlib draws into files only; MPLBACKEND also keeps it from looking for a display.
export MPLBACKEND=Agg

step "HTML (the gallery executed)"
"${sphinx[@]}" -b html docs "$out/html"
step_end

step "Doctests"
"${sphinx[@]}" -b doctest docs "$out/doctest"
step_end

step "Internal links"
"${sphinx[@]}" -b linkcheck docs "$out/linkcheck"
step_end

print_timings
echo "The site: $out/html/index.html"
