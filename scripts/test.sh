#!/usr/bin/env bash
# Builds the Linux and the Windows binaries and runs every test: unit and
# end-to-end tests on Linux, the Windows unit tests and the Windows binary's
# end-to-end suites under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
export WINEDEBUG=-all
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release
cmake --preset win64 >/dev/null
cmake --build --preset win64
# Wine's first start creates its prefix; do it once, outside the timed tests.
wine cmd /c exit >/dev/null 2>&1 || true
# A test that fails is run once more and reported either way: one run in
# several under Wine has shown a page fault reported by Wine that no later
# run reproduced; a real fault fails twice.
ctest --preset win64 --repeat until-pass:2
ctest --preset linux-release --repeat until-pass:2
