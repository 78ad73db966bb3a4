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
# A few tests start real launchers, servers and an X server; under a fully loaded machine one of
# them can miss a deadline, so a failing test gets two more runs before the suite is red.
ctest --output-on-failure -j"$(nproc)" --timeout 900 --repeat until-pass:3

# The patch engine's tests once more, built with AddressSanitizer and UndefinedBehaviorSanitizer.
cd - >/dev/null
san="${build}-sanitize"
rm -rf "$san"
cmake -S . -B "$san" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELWINTER_BUILD_TESTS=ON -DPELWINTER_SANITIZE=ON
cmake --build "$san" -j"$(nproc)" --target patch_tests
ctest --test-dir "$san" --output-on-failure -j"$(nproc)" -L patch --timeout 900
