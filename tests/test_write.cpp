// test_write.cpp -- docx_write: the body built from Markdown and plain text,
// argument and output failures, running out of memory, and the round trip
// through docx_content.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "docx_internal.h"
#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

using testkit::TempDir;

constexpr std::string_view HEAD =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><w:body>";
constexpr std::string_view TAIL =
    "<w:sectPr><w:pgSz w:w=\"12240\" w:h=\"15840\"/><w:pgMar w:top=\"1440\" w:right=\"1440\" "
    "w:bottom=\"1440\" w:left=\"1440\"/></w:sectPr></w:body></w:document>";
constexpr std::string_view PAGE_BREAK = "<w:p><w:r><w:br w:type=\"page\"/></w:r></w:p>";

constexpr std::string_view BOLD = "<w:b/><w:bCs/>";
constexpr std::string_view ITALIC = "<w:i/><w:iCs/>";

std::string run(std::string_view t, std::string_view props = "", bool preserve = false) {
    std::string r = "<w:r>";
    if (!props.empty()) r += "<w:rPr>" + std::string(props) + "</w:rPr>";
    r += preserve ? "<w:t xml:space=\"preserve\">" : "<w:t>";
    return r + std::string(t) + "</w:t></w:r>";
}
// A run whose spaces or tabs must be preserved.
std::string keep(std::string_view t) {
    return run(t, "", true);
}
std::string bold(std::string_view t) {
    return run(t, BOLD);
}
std::string italic(std::string_view t) {
    return run(t, ITALIC);
}
std::string bold_italic(std::string_view t) {
    return run(t, std::string(BOLD) + std::string(ITALIC));
}
std::string para(const std::string &runs) {
    return "<w:p>" + runs + "</w:p>";
}
std::string heading(int level, const std::string &runs) {
    return "<w:p><w:pPr><w:pStyle w:val=\"Heading" + std::to_string(level) + "\"/></w:pPr>" + runs +
           "</w:p>";
}
std::string cell(std::string_view text) {
    return "<w:tc><w:tcPr><w:tcW w:w=\"2000\" w:type=\"dxa\"/></w:tcPr><w:p>" +
           (text.empty() ? "" : run(text)) + "</w:p></w:tc>";
}
std::string row(const std::vector<std::string_view> &cells) {
    std::string r = "<w:tr>";
    for (auto c : cells) r += cell(c);
    return r + "</w:tr>";
}
std::string table(int columns, const std::string &rows) {
    std::string t = "<w:tbl><w:tblPr><w:tblW w:w=\"0\" w:type=\"auto\"/></w:tblPr><w:tblGrid>";
    for (int i = 0; i < columns; ++i) t += "<w:gridCol w:w=\"2000\"/>";
    return t + "</w:tblGrid>" + rows + "</w:tbl>";
}

// The body content docx_write gives `text`, between the fixed head and tail.
std::string written_body(const std::string &text, int format) {
    TempDir dir;
    std::string out = dir.file("out.docx");
    if (docx_write(text.c_str(), format, out.c_str()) != 1)
        return std::string("<error: ") + docx_last_error() + ">";
    std::string xml = testkit::read_entry(out, "word/document.xml");
    if (!xml.starts_with(HEAD) || !xml.ends_with(TAIL)) return "<unexpected frame: " + xml + ">";
    return xml.substr(HEAD.size(), xml.size() - HEAD.size() - TAIL.size());
}

struct BodyCase {
    const char *name;
    int format;
    std::string text;
    std::string body;
};

const std::vector<BodyCase> &body_cases() {
    static const std::vector<BodyCase> cases = {
        // Headings
        {"heading", 0, "# Hi", heading(1, run("Hi"))},
        {"heading without space", 0, "#Title", heading(1, run("Title"))},
        {"heading spaces skipped", 0, "#   Title", heading(1, run("Title"))},
        {"heading tab kept", 0, "#\tTitle", heading(1, keep("\tTitle"))},
        {"heading alone", 0, "#", heading(1, "")},
        {"heading levels", 0, "## b\n###### f\n####### g ##",
         heading(2, run("b")) + heading(6, run("f")) + heading(6, run("g ##"))},
        {"heading with emphasis", 0, "## a **b**", heading(2, keep("a ") + bold("b"))},
        {"byte-order mark is text", 0, "\xEF\xBB\xBF# Title", para(run("\xEF\xBB\xBF# Title"))},
        // Lines
        {"empty text", 0, "", ""},
        {"line feeds only", 0, "\n\n\n", ""},
        {"blank line", 0, "a\n\nb", para(run("a")) + para(run("b"))},
        {"CRLF blank line", 0, "a\r\n\r\nb\r\n", para(run("a")) + para(run("b"))},
        {"one carriage return removed", 0, "a\r\r\n", para(run("a\r"))},
        {"not trimmed", 0, "- item\n> quote\n1. one",
         para(run("- item")) + para(run("&gt; quote")) + para(run("1. one"))},
        // Page breaks
        {"page breaks", 0, "a\n---\n***\nb",
         para(run("a")) + std::string(PAGE_BREAK) + std::string(PAGE_BREAK) + para(run("b"))},
        {"page break with CR", 0, "---\r\n", std::string(PAGE_BREAK)},
        {"near page breaks", 0, "--- \n- - -\n----",
         para(keep("--- ")) + para(run("- - -")) + para(run("----"))},
        // Emphasis
        {"italic", 0, "*a*", para(italic("a"))},
        {"bold", 0, "**a**", para(bold("a"))},
        {"bold italic", 0, "***a***", para(bold_italic("a"))},
        {"lone star", 0, "a * b", para(keep("a ") + run("*") + keep(" b"))},
        {"star between", 0, "2*3", para(run("2") + run("*") + run("3"))},
        {"unclosed double", 0, "**a", para(run("*") + run("*") + run("a"))},
        {"final star", 0, "x*", para(run("x*"))},
        {"star alone", 0, "*", para(run("*"))},
        {"empty bold", 0, "****", para("")},
        {"no nesting", 0, "**a *b* c**", para(bold("a *b* c"))},
        {"double before space", 0, "** a**", para(run(" a", BOLD, true))},
        {"single before space", 0, "* a*", para(run("*") + keep(" a*"))},
        {"first close wins", 0, "**a***", para(bold("a") + run("*"))},
        {"emphasis in text", 0, "x *y* z", para(keep("x ") + italic("y") + keep(" z"))},
        // Escaping and control characters
        {"escaped", 0, "a & <b> \"c\" 'd'",
         para(run("a &amp; &lt;b&gt; &quot;c&quot; &apos;d&apos;"))},
        {"tab preserved", 0, "a\tb", para(keep("a\tb"))},
        {"control characters dropped", 0,
         "a\x01"
         "b\x1f",
         para(run("ab"))},
        {"only control characters", 0, "\x02", para(run(""))},
        {"space behind control character", 0, "\x02 x\x03", para(keep(" x"))},
        {"broken UTF-8 as U+FFFD", 1,
         "caf\xC3 \xFF"
         "x",
         para(run("caf\xEF\xBF\xBD \xEF\xBF\xBD"
                  "x"))},
        {"broken UTF-8 in a cell", 0, "| \xE2\x82 |", table(1, row({"\xEF\xBF\xBD\xEF\xBF\xBD"}))},
        // Tables
        {"table", 0, "| A | B |\n|---|:---:|\n| 1 | 2 |",
         table(2, row({"A", "B"}) + row({"1", "2"}))},
        {"one dash or one bar is no separator", 0, "|-|\n|---",
         table(1, row({"-"}) + row({"---"}))},
        {"empty cells", 0, "|a||b|\n| a | b | ",
         table(3, row({"a", "", "b"}) + row({"a", "b", ""}))},
        {"bar alone", 0, "|", table(1, "<w:tr></w:tr>")},
        {"separator only", 0, "|  :--  |  --  |", table(2, "")},
        {"grid from first row", 0, "| a | b\n| c | d | e |",
         table(1, row({"a", "b"}) + row({"c", "d", "e"}))},
        {"cell text is literal", 0, "| **x** | a & b |", table(2, row({"**x**", "a &amp; b"}))},
        {"leading space is no row", 0, " | a |", para(keep(" | a |"))},
        {"blank lines inside a table", 0, "| a |\n\n| b |", table(1, row({"a"}) + row({"b"}))},
        {"CRLF blank lines inside a table", 0, "| a |\r\n\r\n| b |\r\n",
         table(1, row({"a"}) + row({"b"}))},
        {"table then page break", 0, "| a |\n---", table(1, row({"a"})) + std::string(PAGE_BREAK)},
        {"table then text", 0, "| a |\ntext\n| b |",
         table(1, row({"a"})) + para(run("text")) + table(1, row({"b"}))},
        // Plain text
        {"plain is literal", 1, "# x\n| a |\n**b**\n---",
         para(run("# x")) + para(run("| a |")) + para(run("**b**")) + para(run("---"))},
        {"plain CRLF blank line", 1, "a\r\n\r\nb", para(run("a")) + para(run("b"))},
        {"plain escapes", 1, " a<b ", para(keep(" a&lt;b "))},
    };
    return cases;
}

TEST(WriteBody, ExactXmlForEachConstruct) {
    for (const auto &c : body_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(written_body(c.text, c.format), c.body);
    }
}

TEST(WriteBody, EveryTableRowIsWritten) {
    std::string md, rows;
    for (int i = 0; i < 300; ++i) {
        std::string text = std::to_string(i);
        md.append("| ").append(text).append(" |\n");
        rows += row({text});
    }
    EXPECT_EQ(written_body(md, 0), table(1, rows));
}

TEST(WritePackage, HoldsTheSevenPartsWithTheTemplateCoreProperties) {
    TempDir dir;
    std::string out = dir.file("out.docx");
    ASSERT_EQ(docx_write("x", 0, out.c_str()), 1) << docx_last_error();
    std::vector<std::string> names;
    for (const auto &[name, bytes] : testkit::read_zip(out)) names.push_back(name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"[Content_Types].xml", "_rels/.rels", "word/document.xml",
                                        "word/_rels/document.xml.rels", "word/styles.xml",
                                        "docProps/core.xml", "docProps/app.xml"}));
    EXPECT_NE(testkit::read_entry(out, "docProps/core.xml").find("tavrimel-docx-tools"),
              std::string::npos);
}

TEST(WriteErrors, RefuseBadArgumentsAndCreateNothing) {
    TempDir dir;
    std::string out = dir.file("out.docx");
    std::string missing = dir.file("no/such/folder/out.docx");
    struct Case {
        const char *text;
        int format;
        const char *path;
        std::string message;
    } cases[] = {
        {nullptr, 0, out.c_str(), "NULL argument to docx_write"},
        {nullptr, 7, out.c_str(), "NULL argument to docx_write"},
        {"x", 0, nullptr, "NULL argument to docx_write"},
        {"x", 2, out.c_str(), "format must be 0 (markdown) or 1 (plain)"},
        {"x", -1, out.c_str(), "format must be 0 (markdown) or 1 (plain)"},
        {"x", 0, missing.c_str(), "cannot create output: " + missing},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(docx_write(c.text, c.format, c.path), 0);
        EXPECT_EQ(docx_last_error(), c.message);
        EXPECT_TRUE(testkit::fs::is_empty(dir.path()));
    }
}

class WriteOutOfMemory : public ::testing::Test {
  protected:
    void TearDown() override { docx_buf_fail_growth_after(-1); }
    TempDir dir;
};

// A main part that could not be built whole must not reach the disk: the
// file already at the output path stays as it was.
TEST_F(WriteOutOfMemory, FailsWithOomAndLeavesTheOutputAlone) {
    std::string out = dir.file("out.docx");
    testkit::write_file(out, "previous");
    std::string md;
    for (int i = 0; i < 200; ++i) md += "# h\n| a | b |\n**bold** and *it*\n";
    for (long n = 0; n < 4; ++n) {
        SCOPED_TRACE(n);
        docx_buf_fail_growth_after(n);
        EXPECT_EQ(docx_write(md.c_str(), 0, out.c_str()), 0);
        EXPECT_STREQ(docx_last_error(), "oom");
        EXPECT_EQ(testkit::read_file(out), "previous");
    }
    docx_buf_fail_growth_after(-1);
    EXPECT_EQ(docx_write(md.c_str(), 0, out.c_str()), 1) << docx_last_error();
}

// Documents as a word processor writes them; the Markdown read from each must
// come back unchanged once written and read again.
struct RoundTrip {
    const char *name;
    std::string body;
};

std::string styled(int level, std::string_view text) {
    return "<w:p><w:pPr><w:pStyle w:val=\"Heading" + std::to_string(level) +
           "\"/></w:pPr><w:r><w:t>" + std::string(text) + "</w:t></w:r></w:p>";
}

const std::vector<RoundTrip> &round_trips() {
    static const std::vector<RoundTrip> docs = {
        {"headings", styled(1, "One") + styled(2, "Two") + styled(3, "Three") + styled(4, "Four") +
                         styled(5, "Five") + styled(6, "Six") + para(run("body"))},
        {"emphasis", para(keep("plain ") + bold("bold") + keep(" and ") + italic("italic") +
                          keep(" and ") + bold_italic("both"))},
        {"page breaks", para(run("before")) + std::string(PAGE_BREAK) + para(run("after")) +
                            std::string(PAGE_BREAK) + para(run("end"))},
        {"pipe table", para(run("above")) +
                           table(2, row({"Name", "Value"}) + row({"a", "1"}) + row({"b", "2"})) +
                           para(run("below"))},
        {"mixed", styled(1, "Report") + para(bold("Note:") + keep(" read ") + italic("this")) +
                      table(3, row({"x", "y", "z"}) + row({"1", "2", "3"})) +
                      std::string(PAGE_BREAK) + styled(2, "Next")},
    };
    return docs;
}

TEST(WriteRoundTrip, MarkdownIsAFixedPointOfWritingAndReading) {
    TempDir dir;
    for (const auto &d : round_trips()) {
        SCOPED_TRACE(d.name);
        std::string original =
            testkit::write_docx(dir.file("d.docx"), testkit::document_xml(d.body));
        std::string md = testkit::content_of(original, 0);
        ASSERT_FALSE(md.starts_with("<error")) << md;
        std::string again = dir.file("again.docx");
        ASSERT_EQ(docx_write(md.c_str(), 0, again.c_str()), 1) << docx_last_error();
        EXPECT_EQ(testkit::content_of(again, 0), md);
    }
}

}  // namespace
