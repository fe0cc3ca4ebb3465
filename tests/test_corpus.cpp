// test_corpus.cpp -- every real-world file opens and renders, or fails with
// its reason; damaged copies of a few of them never crash.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

using testkit::TempDir;

enum class expect { renders, may_fail, fails };

struct Expectation {
    expect outcome;
    std::string message;  // for `fails`
};

// The manifest's note says what a file is.
Expectation expectation_for(const std::string &file) {
    std::string note = testkit::corpus_note(file);
    auto is = [&](std::string_view tag) { return note.starts_with(tag); };
    if (is("ENCRYPTED"))
        return {expect::fails,
                "encrypted document (encrypted:true); password-protected DOCX is not supported"};
    if (is("NOT A DOCX")) return {expect::fails, "missing part in DOCX: word/document.xml"};
    // Prefixes are matched literally: an ns0:body is no w:body.
    if (is("BROKEN") || is("FUZZED") || is("NAME CONFUSION") ||
        is("non-standard namespace prefixes"))
        return {expect::may_fail, ""};
    return {expect::renders, ""};
}

// Opens and renders in both formats: nothing when that worked, else the message.
std::optional<std::string> open_and_render(const std::string &path) {
    int h = docx_open(path.c_str());
    if (h < 0) return docx_last_error();
    std::optional<std::string> failure;
    for (int format : {0, 1})
        if (!docx_content(h, format)) failure = docx_last_error();
    docx_close(h);
    return failure;
}

void expect_clean(const std::optional<std::string> &failure) {
    if (failure) {
        EXPECT_NE(*failure, "") << "failed without a message";
    }
}

TEST(Corpus, EveryFileRendersOrFailsWithItsReason) {
    auto files = testkit::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << testkit::corpus_dir();
    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        Expectation e = expectation_for(file);
        std::optional<std::string> failure = open_and_render(file);
        switch (e.outcome) {
            case expect::renders:
                EXPECT_EQ(failure, std::nullopt);
                break;
            case expect::fails:
                EXPECT_EQ(failure, e.message);
                break;
            case expect::may_fail:
                expect_clean(failure);
                break;
        }
    }
}

// Damaged copies: cut short at telling places, and single bits flipped.
TEST(Corpus, DamagedCopiesNeverCrash) {
    const char *picks[] = {"mammoth__tables.docx", "pandoc__alternate_document_path.docx",
                           "docxrs__hello.docx", "poi__bug53475-password-is-pass.docx"};
    if (testkit::corpus_files().empty()) GTEST_SKIP() << "no corpus at " << testkit::corpus_dir();
    TempDir dir;
    std::string copy = dir.file("copy.docx");
    for (const char *name : picks) {
        std::string bytes = testkit::read_file(testkit::corpus_dir() + "/" + name);
        if (bytes.empty()) continue;
        SCOPED_TRACE(name);
        size_t n = bytes.size();
        for (size_t len : {size_t{0}, size_t{1}, size_t{22}, n / 2, n - 22, n - 1}) {
            testkit::write_file(copy, std::string_view(bytes).substr(0, len));
            expect_clean(open_and_render(copy));
        }
        constexpr size_t flips = 97;
        for (size_t i = 0; i < flips; ++i) {
            std::string flipped = bytes;
            flipped[i * n / flips] ^= static_cast<char>(1 << (i % 8));
            testkit::write_file(copy, flipped);
            expect_clean(open_and_render(copy));
        }
    }
}

}  // namespace
