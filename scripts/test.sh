#!/usr/bin/env bash
# Builds the Linux and the Windows binaries and runs every test: unit and
# end-to-end tests on Linux, the Windows unit tests and the Windows binary's
# end-to-end suites under Wine, and the pipeline's end-to-end suites and the
# stress test against a ThreadSanitizer build. A test passes the first time
# or the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
export WINEDEBUG=-all
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release
cmake --preset win64 >/dev/null
cmake --build --preset win64

# Wine in a prefix of its own, served by one persistent server for the whole
# run: back-to-back Wine processes then never meet a server that is shutting
# down. The server is stopped at the end, on failure too.
export WINEPREFIX="$PWD/build/wine-prefix"
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# The prefix is created on the first start; do it outside the timed tests.
wine cmd /c exit >/dev/null 2>&1 || true
ctest --preset win64
ctest --preset linux-release

# ThreadSanitizer: the binary built with it, driven by the release build's
# end-to-end tests of the pipeline and the stress test. A report ends that
# run with status 66, which no test expects, so any report fails the run.
# The verified copy has a pipeline thread of its own and is in it too.
# Left out, to keep the run short: the timed Ctrl+C tests (the sanitizer's
# own exit is slow), two runs over gigabytes of sparse file, and the repeat
# of the hand-over stress beside a busy core.
cmake --preset linux-tsan >/dev/null
cmake --build --preset linux-tsan --target zef
TSAN_OPTIONS="halt_on_error=1 exitcode=66" ZEF_BIN="$PWD/build/linux-tsan/zef" \
  build/linux-release/tests/zef_e2e \
  --gtest_filter='Hash*:Compare*:Copy*:BothHash*:BothCompare*:BothCopy*:Verify*:BothVerify*:Ring*:Stop*:Stress*-StopSigint.*:CompareListing.OffsetBeyond4GiB:Hash.HandOverStressOtherCoreBusy:Hash.UnreadableBlockBecomesFiller'
