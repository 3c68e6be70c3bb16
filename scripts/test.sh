#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ tests (plain, then under
# AddressSanitizer and UndefinedBehaviorSanitizer) and the Python tests.
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
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  cpp_tests build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLFE_SANITIZE=ON

echo "== Python package"
python -m pip install -q --disable-pip-version-check --no-build-isolation .

echo "== Python tests"
# From tests/python so that the installed package, not the source tree, is imported.
set +e
(cd tests/python && python -m pytest -q -p no:cacheprovider --import-mode=importlib)
rc=$?
set -e
if [ $rc -eq 5 ]; then
  echo "no Python tests collected"
  rc=0
fi
exit $rc
