#!/usr/bin/env bash
# Installs the dependencies, builds everything from scratch and runs all tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# Every C and C++ source has to be formatted; this fails first, before the long build.
bash scripts/format.sh --check
bash scripts/check-includes.sh
build=${BUILD_DIR:-build-test}
rm -rf "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELWINTER_BUILD_TESTS=ON
cmake --build "$build" -j"$(nproc)"
cd "$build"
# Every test runs once: a test that fails under load is a test to mend, not to run again.
ctest --output-on-failure -j"$(nproc)" --timeout 900

# The patch engine's tests once more, built with AddressSanitizer and UndefinedBehaviorSanitizer.
cd - >/dev/null
san="${build}-sanitize"
rm -rf "$san"
cmake -S . -B "$san" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELWINTER_BUILD_TESTS=ON -DPELWINTER_SANITIZE=ON
cmake --build "$san" -j"$(nproc)" --target patch_tests
ctest --test-dir "$san" --output-on-failure -j"$(nproc)" -L patch --timeout 900
