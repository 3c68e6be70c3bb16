#!/usr/bin/env bash
# Sets up what is missing, installs the package into .venv and solves the
# bundled example network.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation -Cbuild-dir=build/{wheel_tag} .
exec .venv/bin/python examples/substation_feeder.py
