#!/usr/bin/env bash
# Installs, has clang check the lock annotations, builds and runs the whole test
# suite under ASan+UBSan, then the threaded tests again under ThreadSanitizer.
# Any failing test or lock warning fails the script.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
jobs=$(nproc)

# Lock annotations first, as it only compiles: a guarded member touched
# without its lock, or locks taken out of order, fail here.
bash "$here/scripts/build.sh" ThreadSafety "$here/build-threadsafety"

bash "$here/scripts/build.sh" Asan "$here/build-asan"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$here/build-asan" --output-on-failure -j "$jobs"

bash "$here/scripts/build.sh" Tsan "$here/build-tsan"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$here/build-tsan" --output-on-failure -j "$jobs" -L threaded
