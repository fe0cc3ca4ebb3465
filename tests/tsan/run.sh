#!/usr/bin/env bash
# Builds the handle-table test with ThreadSanitizer and runs it.
#   tests/tsan/run.sh        (build folder: $TSAN_BUILD_DIR, else build-tsan)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${TSAN_BUILD_DIR:-$root/build-tsan}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIMEL_DOCX_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
    >/dev/null
cmake --build "$build" --target test_threads
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan/suppressions.txt" \
    "$build/tests/test_threads"
