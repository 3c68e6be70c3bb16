#!/usr/bin/env bash
# Builds the package as a user does (pip's isolated build of the checkout),
# installs the wheel into a new virtual environment and solves the bundled
# example from the repository root; checks that the module links and exports
# only what a manylinux wheel may, and that the wheel and the sdist carry
# sound metadata and no build outputs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
py=$root/.venv/bin/python
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A new environment holds nothing of the build's requirements: the isolated
# build must find them in pip's build environment, not in the one it runs in.
echo "-- wheel: pip's isolated build, from a new environment"
"${PYTHON:-python3}" -m venv "$work/env"
"$work/env/bin/python" -m pip wheel . --no-deps -q --disable-pip-version-check -w "$work/wheel"
wheel=$(ls "$work"/wheel/*.whl)

echo "-- wheel: installed into that environment, run from the repository root"
"$work/env/bin/python" -m pip install -q --disable-pip-version-check "$wheel"
"$work/env/bin/python" - "$work/env" <<'PY' >/dev/null
import os, runpy, sys
import load_flow_engine.cy_engine as module
# The repository root is first on the path here: the installed module must
# still be the one imported.
assert module.__file__.startswith(os.path.realpath(sys.argv[1])), module.__file__
runpy.run_path("examples/substation_feeder.py", run_name="__main__")
PY

echo "-- wheel: what the module links and exports"
mkdir "$work/unpacked"
"$py" -m zipfile -e "$wheel" "$work/unpacked"
so=$(ls "$work"/unpacked/load_flow_engine/cy_engine*.so)
status=0
# The libraries every manylinux policy allows an extension to link.
allowed='^(libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|ld-linux[-a-z0-9_]*\.so\.[0-9]+)$'
needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $(echo $needed)"
for lib in $needed; do
  [[ $lib =~ $allowed ]] || { echo "FAIL: the module links $lib"; status=1; }
done
exported=$(nm -D --defined-only "$so" | awk '{print $NF}')
echo "exported: $(echo $exported)"
[ "$exported" = PyInit_cy_engine ] || { echo "FAIL: the module must export PyInit_cy_engine alone"; status=1; }
# Verbose, so that it goes on to the libraries it would graft.
verdict=$("$root/.venv/bin/auditwheel" -v show "$wheel" 2>/dev/null | tr -s ' \n' ' ')
echo "auditwheel: $(echo "$verdict" | grep -o 'platform tag: "[^"]*"' | head -1)"
echo "$verdict" | grep -q 'consistent with the following platform tag: "manylinux_' ||
  { echo "FAIL: auditwheel names no manylinux policy: $verdict"; status=1; }
echo "$verdict" | grep -q 'The wheel requires no external shared libraries' ||
  { echo "FAIL: auditwheel would graft libraries: $verdict"; status=1; }

echo "-- sdist: contents, and metadata of both"
"$py" -m build --sdist --no-isolation --outdir "$work/sdist" . >/dev/null
sdist=$(ls "$work"/sdist/*.tar.gz)
outputs=$(tar tzf "$sdist" | grep -E '^[^/]+/(.*/)?(build|dist|\.venv|__pycache__|\.pytest_cache)/|\.(so|o|pyc|mtx)$' || true)
[ -z "$outputs" ] || { echo "FAIL: the sdist holds build outputs:"; echo "$outputs"; status=1; }
"$root/.venv/bin/twine" check --strict "$wheel" "$sdist" || status=1
exit $status
