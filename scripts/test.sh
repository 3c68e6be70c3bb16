#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ tests (plain, then under
# AddressSanitizer and UndefinedBehaviorSanitizer), the Python tests
# (against the installed package, then against the extension built with the
# sanitizers), and the package as a user builds and installs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
JOBS=${JOBS:-$(nproc)}

cpp_tests() {  # build dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --timeout 600
}

echo "== C++ tests"
cpp_tests build/cpp -DCMAKE_BUILD_TYPE=Release

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# The extension is built here too, on the same sanitized engine objects.
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  cpp_tests build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLFE_SANITIZE=ON -DLFE_BUILD_PYTHON=ON

echo "== Python package"
python -m pip install -q --disable-pip-version-check --no-build-isolation -Cbuild-dir=build/{wheel_tag} .

echo "== Python tests"
# From tests/python so that the installed package, not the source tree, is imported.
pytest_run() {
  set +e
  (cd tests/python && python -m pytest -q -p no:cacheprovider --import-mode=importlib "$@")
  local rc=$?
  set -e
  if [ $rc -eq 5 ]; then
    echo "no Python tests collected"
    rc=0
  fi
  return $rc
}
status=0
pytest_run || status=$?

echo "== Python tests against the extension built with the sanitizers"
# A package directory of its own, put before the installed package on the
# path: the source tree's __init__.py beside the sanitized module.
site=build/sanitize/python
rm -rf "$site"
mkdir -p "$site/load_flow_engine"
cp src/load_flow_engine/__init__.py "$site/load_flow_engine/"
cp build/sanitize/cy_engine*.so "$site/load_flow_engine/"
# The interpreter is not instrumented: the runtimes are preloaded, and its
# own leaks at exit are not ours to report. Child interpreters inherit all
# of this. Tests that cannot run under the sanitizers skip on LFE_SANITIZED.
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LFE_SANITIZED=1 PYTHONPATH="$PWD/$site" \
  pytest_run || status=$?
echo "== Package: isolated build, a new environment, what the wheel holds"
bash scripts/check_package.sh || status=$?
exit $status
