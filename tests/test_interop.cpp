// test_interop.cpp -- what docx_write and docx_merge produce must open in the
// tools people use: pandoc always, LibreOffice where it is installed; what
// docx_content writes as Markdown must read as meant in cmark-gfm, the
// reference reader of GitHub's Markdown.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

using testkit::TempDir;

using testkit::Command;

Command run(const std::string &cmd) {
    return testkit::run_command(cmd);
}

bool installed(const std::string &tool) {
    return run("command -v " + tool).status == 0;
}

constexpr const char *MARKDOWN =
    "# Quarterly report\n"
    "Sales rose by **twelve** percent & costs fell *slightly*.\n"
    "| Region | Result |\n"
    "|---|---|\n"
    "| North | up |\n"
    "---\n"
    "## Outlook\n"
    "Steady.\n";

// The texts every reader must find in the documents written here.
const std::vector<std::string> WRITTEN_TEXTS = {"Quarterly report", "twelve", "costs fell",
                                                "slightly",         "Region", "North",
                                                "Outlook",          "Steady."};

class Interop : public ::testing::Test {
  protected:
    TempDir dir;

    std::string written() {
        std::string out = dir.file("written.docx");
        EXPECT_EQ(docx_write(MARKDOWN, 0, out.c_str()), 1) << docx_last_error();
        return out;
    }
    std::string merged() {
        std::string plain = dir.file("plain.docx");
        EXPECT_EQ(docx_write("Appendix line\nLast line", 1, plain.c_str()), 1) << docx_last_error();
        std::string out = dir.file("merged.docx");
        std::string list = nlohmann::json(std::vector<std::string>{written(), plain}).dump();
        EXPECT_EQ(docx_merge(list.c_str(), out.c_str()), 1) << docx_last_error();
        return out;
    }
    static void expect_texts(const std::string &text, const std::vector<std::string> &wanted) {
        for (const auto &w : wanted)
            EXPECT_NE(text.find(w), std::string::npos) << w << " in:\n" << text;
    }
};

std::vector<std::string> merged_texts() {
    std::vector<std::string> t = WRITTEN_TEXTS;
    t.insert(t.end(), {"Appendix line", "Last line"});
    return t;
}

std::string pandoc_text(const std::string &docx) {
    Command c = run("pandoc -f docx -t plain '" + docx + "'");
    EXPECT_EQ(c.status, 0) << c.output;
    return c.output;
}

// LibreOffice writes `docx` as text into `dir` and names it after it.
std::string soffice_text(const std::string &docx, const testkit::fs::path &dir) {
    // A profile of its own, so that runs in parallel do not share one.
    Command c = run("soffice -env:UserInstallation=file://" + dir.string() +
                    "/profile --headless --convert-to txt:Text --outdir '" + dir.string() + "' '" +
                    docx + "'");
    EXPECT_EQ(c.status, 0) << c.output;
    return testkit::read_file((dir / testkit::fs::path(docx).stem()).string() + ".txt");
}

TEST_F(Interop, PandocReadsWrittenAndMergedDocuments) {
    ASSERT_TRUE(installed("pandoc")) << "pandoc is needed for the interop tests";
    expect_texts(pandoc_text(written()), WRITTEN_TEXTS);
    expect_texts(pandoc_text(merged()), merged_texts());
}

// pandoc takes a paragraph for a heading by its style's name, which only the
// package's styles part gives.
TEST_F(Interop, PandocReadsWrittenHeadingsAsHeadings) {
    ASSERT_TRUE(installed("pandoc")) << "pandoc is needed for the interop tests";
    for (const std::string &docx : {written(), merged()}) {
        Command c = run("pandoc -f docx -t gfm '" + docx + "'");
        ASSERT_EQ(c.status, 0) << c.output;
        expect_texts(c.output, {"# Quarterly report\n", "## Outlook\n"});
    }
}

// Runs that Word splits, spaces at the edges of emphasis, a paragraph
// indented by a tab after an empty one, and a table whose first row is one
// merged title cell.
TEST_F(Interop, CmarkGfmReadsRenderedMarkdown) {
    ASSERT_TRUE(installed("cmark-gfm")) << "cmark-gfm is needed for the interop tests";
    auto text_run = [](const std::string &props, const std::string &text) {
        return "<w:r><w:rPr>" + props + "</w:rPr><w:t xml:space=\"preserve\">" + text +
               "</w:t></w:r>";
    };
    auto cell = [](const std::string &text) {
        return "<w:tc><w:p><w:r><w:t>" + text + "</w:t></w:r></w:p></w:tc>";
    };
    const std::string body = "<w:p>" + text_run("<w:b/>", "A") + text_run("<w:b/>", "uthor ") +
                             text_run("", "and") + text_run("<w:i/>", " spaced ") +
                             text_run("<w:b/><w:i/>", "both\u00a0") + text_run("", "end.") +
                             "</w:p><w:p/><w:p><w:r><w:tab/><w:t>Indented</w:t></w:r></w:p>" +
                             "<w:tbl><w:tr>" + cell("Title") + "</w:tr><w:tr>" + cell("left") +
                             cell("right") + "</w:tr></w:tbl>";
    const std::string docx =
        testkit::write_docx(dir.file("runs.docx"), testkit::document_xml(body));
    const std::string md = dir.file("runs.md");
    testkit::write_file(md, testkit::content_of(docx, 0));
    Command html = run("cmark-gfm -e table '" + md + "'");
    ASSERT_EQ(html.status, 0) << html.output;
    expect_texts(html.output,
                 {"<strong>Author</strong> and <em>spaced</em>", "<em><strong>both</strong></em>",
                  "<p>Indented</p>", "<td>right</td>"});
    EXPECT_EQ(html.output.find('*'), std::string::npos) << html.output;
}

TEST_F(Interop, LibreOfficeReadsWrittenAndMergedDocuments) {
    if (!installed("soffice")) GTEST_SKIP() << "soffice is not installed";
    expect_texts(soffice_text(written(), dir.path()), WRITTEN_TEXTS);
    expect_texts(soffice_text(merged(), dir.path()), merged_texts());
}

// Nothing that docx_content writes is meant as code: no paragraph of a real
// document may come out as a code block.
TEST_F(Interop, CmarkGfmFindsNoCodeInCorpusMarkdown) {
    ASSERT_TRUE(installed("cmark-gfm")) << "cmark-gfm is needed for the interop tests";
    auto files = testkit::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << testkit::corpus_dir();
    const std::string md = dir.file("corpus.md");
    for (const std::string &file : files) {
        std::string text = testkit::content_of(file, 0);
        if (text.starts_with("<error: ")) continue;  // the corpus test covers failures
        testkit::write_file(md, text);
        Command html = run("cmark-gfm -e table '" + md + "'");
        ASSERT_EQ(html.status, 0) << file;
        EXPECT_EQ(html.output.find("<pre>"), std::string::npos) << file;
    }
}

}  // namespace
