#!/usr/bin/env bash
# Builds the handle-table test and the package tests that use a second thread
# (large files are read, and their main parts taken out while they are read, and
# large parts deflated on two threads) with ThreadSanitizer and runs them.
#   tests/tsan/run.sh        (build folder: $TSAN_BUILD_DIR, else build-tsan)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${TSAN_BUILD_DIR:-$root/build-tsan}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIMEL_DOCX_BENCH=OFF \
    -DTAVRIMEL_DOCX_STATIC_RUNTIME=OFF -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
    >/dev/null
cmake --build "$build" --target test_threads test_package test_frame test_merge \
    test_regressions
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan/suppressions.txt"
"$build/tests/test_threads"
"$build/tests/test_package" \
    --gtest_filter='ReadFile.*:FileLoad.*:DetectEncrypted.*:ZipWriteSimple.*:Rewrite.*'
"$build/tests/test_frame" --gtest_filter='Frame.LargePackages*'
"$build/tests/test_merge" --gtest_filter='MergeRelationships.LargeInputs*'
"$build/tests/test_regressions" --gtest_filter='ChunkedReading.*:*open_content'
