// test_regressions.cpp -- every input the fuzzers ever broke the library with
// (tests/data/regressions/) replayed through every fuzzed entry point, and the
// real-world corpus through the fuzzers' check of chunked reading.
#include <gtest/gtest.h>

#include "../fuzz/harness.h"
#include "testkit.h"

namespace {

struct Entry {
    const char *name;
    std::string (*run)(std::string_view);
};

const Entry kEntries[] = {{"open_content", fuzzkit::run_open_content},
                          {"replace", fuzzkit::run_replace},
                          {"write", fuzzkit::run_write},
                          {"merge", fuzzkit::run_merge}};

class Regressions : public testing::TestWithParam<Entry> {};

TEST_P(Regressions, EveryKeptInputKeepsThePromises) {
    std::vector<std::string> inputs;
    std::error_code ec;
    for (const auto &e : testkit::fs::directory_iterator(DOCX_TEST_DATA "/regressions", ec))
        if (e.is_regular_file()) inputs.push_back(e.path().string());
    if (inputs.empty()) GTEST_SKIP() << "no inputs in " DOCX_TEST_DATA "/regressions";
    std::sort(inputs.begin(), inputs.end());
    for (const auto &path : inputs) EXPECT_EQ(GetParam().run(testkit::read_file(path)), "") << path;
}

INSTANTIATE_TEST_SUITE_P(Fuzzed, Regressions, testing::ValuesIn(kEntries),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ChunkedReading, RealFilesGiveWhatMemoryGives) {
    auto files = testkit::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << testkit::corpus_dir();
    for (const std::string &file : files)
        EXPECT_EQ(fuzzkit::chunked_reading_problem(file), "") << file;
}

}  // namespace
