// fuzz_target.cpp -- a libFuzzer entry calling one harness function, chosen by
// FUZZ_ENTRY at build time (one executable per entry point).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string problem = FUZZ_ENTRY(std::string_view(reinterpret_cast<const char *>(data), size));
    if (!problem.empty()) {
        std::fprintf(stderr, "broken promise: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
