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

// A document with an inline picture and a hyperlink: merged, pandoc must
// still find the picture's bytes and the link's target.
TEST_F(Interop, PandocFindsTheMergedPicturesAndLinks) {
    ASSERT_TRUE(installed("pandoc")) << "pandoc is needed for the interop tests";
    const std::string png = "\x89PNG\r\n\x1a\nnot really a picture";
    const std::string body =
        "<w:p><w:hyperlink r:id=\"rId2\"><w:r><w:t>site</w:t></w:r></w:hyperlink></w:p>"
        "<w:p><w:r><w:drawing><wp:inline><wp:extent cx=\"914400\" cy=\"914400\"/>"
        "<wp:docPr id=\"1\" name=\"Picture 1\"/><a:graphic><a:graphicData "
        "uri=\"http://schemas.openxmlformats.org/drawingml/2006/picture\"><pic:pic>"
        "<pic:nvPicPr><pic:cNvPr id=\"1\" name=\"p.png\"/><pic:cNvPicPr/></pic:nvPicPr>"
        "<pic:blipFill><a:blip r:embed=\"rId3\"/></pic:blipFill><pic:spPr/></pic:pic>"
        "</a:graphicData></a:graphic></wp:inline></w:drawing></w:r></w:p>";
    std::string doc = testkit::document_xml(body);
    doc.replace(
        doc.find("<w:document ") + 12, 0,
        "xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\" "
        "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
        "xmlns:pic=\"http://schemas.openxmlformats.org/drawingml/2006/picture\" ");
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    std::string input = dir.file("pictured.docx");
    testkit::write_zip(
        input,
        {{"[Content_Types].xml",
          "<?xml version=\"1.0\"?><Types "
          "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
          "<Default Extension=\"rels\" "
          "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
          "<Default Extension=\"png\" ContentType=\"image/png\"/>"
          "<Override PartName=\"/word/document.xml\" ContentType=\"application/"
          "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>"},
         {"_rels/.rels",
          "<?xml version=\"1.0\"?><Relationships "
          "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
          "<Relationship Id=\"rId1\" Type=\"" +
              rel + "officeDocument\" Target=\"word/document.xml\"/></Relationships>"},
         {"word/document.xml", doc},
         {"word/_rels/document.xml.rels",
          "<?xml version=\"1.0\"?><Relationships "
          "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
          "<Relationship Id=\"rId2\" Type=\"" +
              rel +
              "hyperlink\" Target=\"https://example.com/a\" TargetMode=\"External\"/>"
              "<Relationship Id=\"rId3\" Type=\"" +
              rel + "image\" Target=\"media/p.png\"/></Relationships>"},
         {"word/media/p.png", png}});
    std::string out = dir.file("merged.docx");
    std::string list = nlohmann::json(std::vector<std::string>{input, input}).dump();
    ASSERT_EQ(docx_merge(list.c_str(), out.c_str()), 1) << docx_last_error();
    std::string media = dir.file("media");
    Command c = run("pandoc -f docx -t gfm --extract-media='" + media + "' '" + out + "'");
    ASSERT_EQ(c.status, 0) << c.output;
    auto count = [&](std::string_view what) {
        size_t n = 0;
        for (size_t at = c.output.find(what); at != std::string::npos;
             at = c.output.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("[site](https://example.com/a)"), 2u) << c.output;
    EXPECT_EQ(count("<img"), 2u) << c.output;
    size_t files = 0;
    for (const auto &f : testkit::fs::recursive_directory_iterator(media)) {
        if (!f.is_regular_file()) continue;
        ++files;
        EXPECT_EQ(testkit::read_file(f.path().string()), png);
    }
    EXPECT_EQ(files, 1u);  // pandoc keeps one file per distinct content
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
