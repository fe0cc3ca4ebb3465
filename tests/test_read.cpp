// test_read.cpp -- rendering the body as Markdown and as plain text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "docx_internal.h"
#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

constexpr int MARKDOWN = 0;
constexpr int PLAIN = 1;

struct rendered {
    int rc;
    bool failed;
    std::string text;
};

rendered render_xml(const std::string &xml, int format) {
    docx_buf out;
    int rc = docx_extract_content(xml.data(), xml.size(), format, &out);
    return {rc, out.failed, std::string(out.view())};
}

std::string render(const std::string &body, int format) {
    rendered r = render_xml(testkit::document_xml(body), format);
    EXPECT_EQ(r.rc, 0);
    EXPECT_FALSE(r.failed);
    return r.text;
}

std::string para(const std::string &inner) {
    return "<w:p>" + inner + "</w:p>";
}
std::string run(const std::string &inner) {
    return "<w:r>" + inner + "</w:r>";
}
std::string text_run(const std::string &text) {
    return run("<w:t>" + text + "</w:t>");
}
std::string styled(const std::string &style, const std::string &text) {
    return para("<w:pPr><w:pStyle w:val=\"" + style + "\"/></w:pPr>" + text_run(text));
}
std::string rpr_run(const std::string &props, const std::string &text) {
    return run("<w:rPr>" + props + "</w:rPr><w:t>" + text + "</w:t>");
}
std::string cell(const std::string &inner) {
    return "<w:tc><w:tcPr/>" + inner + "</w:tc>";
}
std::string text_cell(const std::string &text) {
    return cell(para(text_run(text)));
}
std::string row(const std::string &cells) {
    return "<w:tr>" + cells + "</w:tr>";
}
std::string table(const std::string &rows) {
    return "<w:tbl><w:tblPr/>" + rows + "</w:tbl>";
}

struct render_case {
    std::string name;
    std::string body;
    std::string markdown;
    std::string plain;
};

void PrintTo(const render_case &c, std::ostream *os) {
    *os << c.name;
}

class Render : public testing::TestWithParam<render_case> {};

TEST_P(Render, BothModes) {
    const render_case &c = GetParam();
    EXPECT_EQ(render(c.body, MARKDOWN), c.markdown);
    EXPECT_EQ(render(c.body, PLAIN), c.plain);
}

std::string case_name(const testing::TestParamInfo<render_case> &info) {
    return info.param.name;
}

const std::string table_2x2 =
    table(row(text_cell("a") + text_cell("b")) + row(text_cell("c") + text_cell("d")));

INSTANTIATE_TEST_SUITE_P(
    Paragraphs, Render,
    testing::Values(render_case{"empty_body", "", "", ""},
                    render_case{"heading2", styled("Heading2", "Intro"), "## Intro\n", "Intro\n"},
                    render_case{"title", styled("Title", "T"), "# T\n", "T\n"},
                    render_case{"lowercase_heading", styled("heading 3", "x"), "### x\n", "x\n"},
                    render_case{"heading_char", styled("Heading1Char", "x"), "# x\n", "x\n"},
                    render_case{"not_headings",
                                styled("Heading0", "a") + styled("Heading7", "b") +
                                    styled("Heading", "c") + styled("Subtitle", "d") +
                                    styled("Heading99999999999", "e"),
                                "a\nb\nc\nd\ne\n", "a\nb\nc\nd\ne\n"},
                    render_case{"empty_heading",
                                para("<w:pPr><w:pStyle w:val=\"Heading1\"/></w:pPr>"), "# \n",
                                "\n"},
                    render_case{"empty_paragraphs", "<w:p></w:p><w:p/>" + para(text_run("x")),
                                "\n\nx\n", "\n\nx\n"},
                    render_case{"entities_and_markdown_chars", para(text_run("a &amp; b *#|")),
                                "a & b *#|\n", "a & b *#|\n"},
                    render_case{"deleted_and_instructions",
                                para(run("<w:delText>gone</w:delText>") +
                                     run("<w:instrText> PAGE </w:instrText>") + text_run("kept")),
                                "kept\n", "kept\n"},
                    render_case{"hyperlink_and_insertion",
                                para("<w:hyperlink r:id=\"rId1\">" + text_run("link") +
                                     "</w:hyperlink><w:ins>" + text_run(" new") + "</w:ins>"),
                                "link new\n", "link new\n"},
                    render_case{"paragraph_level_page_break",
                                para(text_run("a") + "<w:br w:type=\"page\"/><w:br/>"),
                                "a\n\n---\n\n\n", "a\n\n---\n\n\n"},
                    render_case{"unclosed_paragraph_stops",
                                para(text_run("a")) + "<w:p>" + text_run("b"), "a\n", "a\n"},
                    render_case{"unclosed_run_ends_paragraph",
                                para(text_run("a") + "<w:r><w:t>b</w:t>") + para(text_run("c")),
                                "a\nc\n", "a\nc\n"},
                    render_case{"self_closing_run_is_stepped_over",
                                para("<w:r/>") + para(text_run("c")), "\nc\n", "\nc\n"}),
    case_name);

// A text box's fallback repeats its choice, and w:moveFrom holds text a
// tracked move took elsewhere: neither renders. A comment makes a paragraph
// irregular, so the walk for such paragraphs is tried too.
const std::string text_box =
    "<mc:AlternateContent><mc:Choice Requires=\"wps\"><w:drawing><w:txbxContent>" +
    para(text_run("box")) +
    "</w:txbxContent></w:drawing></mc:Choice><mc:Fallback><w:pict><w:txbxContent>" +
    para(text_run("box")) + "</w:txbxContent></w:pict></mc:Fallback></mc:AlternateContent>";
const std::string text_boxes_and_spaces = run(text_box) + text_run(" c") +
                                          run(text_box + "<w:tab/>") + run(text_box) +
                                          "<w:r><w:noBreakHyphen/></w:r>";
const std::string moved = "<w:moveFrom w:id=\"1\">" + text_run("old") +
                          "</w:moveFrom><w:moveTo w:id=\"2\">" + rpr_run("<w:b/>", "new") +
                          "</w:moveTo>";

INSTANTIATE_TEST_SUITE_P(
    HiddenCopies, Render,
    testing::Values(
        render_case{"text_box_once", para(text_run("a") + run(text_box) + text_run("c")),
                    "a box c\n", "a box c\n"},
        render_case{"text_box_once_irregular",
                    para("<!---->" + text_run("a") + run(text_box) + text_run("c")), "a box c\n",
                    "a box c\n"},
        // A text box's paragraphs are parted from the text around them by one space.
        render_case{"text_box_first_and_spaces_kept", para(text_boxes_and_spaces),
                    "box c box\tbox -\n", "box c box\tbox -\n"},
        render_case{"text_box_first_and_spaces_kept_irregular",
                    para("<!---->" + text_boxes_and_spaces), "box c box\tbox -\n",
                    "box c box\tbox -\n"},
        render_case{"moved_text_once", para(text_run("a") + moved), "a**new**\n", "anew\n"},
        render_case{"moved_text_once_irregular", para("<!---->" + text_run("a") + moved),
                    "a**new**\n", "anew\n"},
        render_case{"body_level_fallback",
                    "<mc:AlternateContent><mc:Choice Requires=\"w14\">" + para(text_run("x")) +
                        "</mc:Choice><mc:Fallback>" + para(text_run("x")) +
                        "</mc:Fallback></mc:AlternateContent>" + para(text_run("y")),
                    "x\ny\n", "x\ny\n"},
        // A moved paragraph mark is an empty w:moveFrom and hides nothing.
        render_case{"empty_move_mark",
                    para("<w:pPr><w:rPr><w:moveFrom w:id=\"3\"/></w:rPr></w:pPr>" + text_run("x")),
                    "x\n", "x\n"},
        render_case{"unclosed_fallback_ends_paragraph",
                    para(text_run("a") + "<mc:Fallback>" + text_run("b")) + para(text_run("c")),
                    "a\nc\n", "a\nc\n"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Runs, Render,
    testing::Values(
        render_case{"bold", para(rpr_run("<w:b/>", "x")), "**x**\n", "x\n"},
        render_case{"bold_italic", para(rpr_run("<w:b/><w:i/>", "x")), "***x***\n", "x\n"},
        render_case{"italic", para(rpr_run("<w:i/>", "x")), "*x*\n", "x\n"},
        // Emphasis comes from the run's first w:rPr wherever it lies in the run.
        render_case{"flags_from_nested_paragraph_mark",
                    para(run("<w:t>a</w:t><w:pict><w:txbxContent><w:p><w:pPr><w:rPr><w:b/></w:rPr>"
                             "</w:pPr><w:r><w:t>b</w:t></w:r></w:p></w:txbxContent></w:pict>")),
                    "**a b**\n", "a b\n"},
        render_case{"flags_after_cut_short_text",
                    para(run("<w:t>a</w:t><w:t>b<w:rPr><w:i/></w:rPr>")), "*a*\n", "a\n"},
        render_case{"empty_bold_run_adds_nothing", para(rpr_run("<w:b/>", "") + text_run("x")),
                    "x\n", "x\n"},
        render_case{"breaks_and_tabs",
                    para(run("<w:br w:type=\"page\"/>") + run("<w:br/>") + run("<w:tab/>")),
                    "\n\n---\n\n\n\n", "\n\n---\n\n\n\t\n"},
        // Text, tabs and breaks keep their order within a run.
        render_case{"tab_between_texts", para(run("<w:t>Name:</w:t><w:tab/><w:t>John</w:t>")),
                    "Name:\tJohn\n", "Name:\tJohn\n"},
        render_case{"break_between_texts", para(run("<w:t>a</w:t><w:br/><w:t>b</w:t>")), "a\nb\n",
                    "a\nb\n"},
        render_case{"page_break_between_texts",
                    para(rpr_run("<w:b/>", "a</w:t><w:br w:type=\"page\"/><w:t>b")),
                    "**a**\n\n---\n\n**b**\n", "a\n\n---\n\nb\n"},
        // Characters that Word keeps in elements of their own.
        render_case{"character_elements",
                    para(run("<w:t>Figure 1</w:t><w:noBreakHyphen/><w:t>1</w:t><w:cr/><w:t>x</w:t>"
                             "<w:ptab w:alignment=\"right\"/><w:t>y</w:t>")),
                    "Figure 1-1\nx\ty\n", "Figure 1-1\nx\ty\n"},
        render_case{"character_elements_irregular",
                    para("<!---->" + run("<w:t>1</w:t><w:noBreakHyphen/><w:t>1</w:t><w:cr/>"
                                         "<w:t>x</w:t><w:ptab/><w:t>y</w:t>")),
                    "1-1\nx\ty\n", "1-1\nx\ty\n"},
        render_case{"tab_first", para(run("<w:tab/><w:t>x</w:t>")), "x\n", "\tx\n"},
        render_case{"tab_last", para(run("<w:t>x</w:t><w:tab/>")), "x\t\n", "x\t\n"},
        // Tab stops of a text box paragraph inside the run are no tab characters.
        render_case{
            "tab_stops_do_not_render",
            para(run("<w:rPr><w:tab/></w:rPr><w:t>a</w:t><w:pict><w:txbxContent><w:p><w:pPr>"
                     "<w:tabs><w:tab w:val=\"left\" w:pos=\"720\"/></w:tabs></w:pPr>"
                     "<w:r><w:t>b</w:t></w:r></w:p></w:txbxContent></w:pict>")),
            "a b\n", "a b\n"}),
    case_name);

// Each case through both paragraph walks: a comment sends a paragraph to the
// general one.
std::vector<render_case> both_walks(std::initializer_list<render_case> cases) {
    std::vector<render_case> all;
    for (const render_case &c : cases) {
        all.push_back(c);
        std::string irregular = c.body;
        irregular.insert(irregular.find("<w:p>") + 5, "<!---->");
        all.push_back({c.name + "_irregular", irregular, c.markdown, c.plain});
    }
    return all;
}

const std::string bold = "<w:b/>";
const std::string italic = "<w:i/>";

// Markers sit tight around the text, as Markdown readers need them to, and
// runs of one emphasis with only white space between share one pair.
INSTANTIATE_TEST_SUITE_P(
    Emphasis, Render,
    testing::ValuesIn(both_walks({
        {"toggles_off",
         para(rpr_run("<w:b w:val=\"false\"/>", "a") + rpr_run("<w:b w:val=\"0\"/>", "b") +
              rpr_run("<w:i w:val=\"off\"/>", "c") + rpr_run("<w:bCs/><w:iCs/>", "d")),
         "abcd\n", "abcd\n"},
        {"toggles_on",
         para(rpr_run("<w:b w:val=\"on\"/>", "a") + rpr_run("<w:b w:val=\"true\"/>", "b") +
              rpr_run("<w:b w:val=\"1\"/>", "c")),
         "**abc**\n", "abc\n"},
        {"same_emphasis_joins", para(rpr_run(bold, "A") + rpr_run(bold, "uthor")), "**Author**\n",
         "Author\n"},
        {"joins_over_white_space",
         para(rpr_run(bold, "a ") + text_run(" ") + rpr_run(bold, "b") + rpr_run(italic, "\tc") +
              run("<w:br/>") + rpr_run(italic, "d")),
         "**a  b**\t*c\nd*\n", "a  b\tc\nd\n"},
        {"other_text_parts", para(rpr_run(bold, "a") + text_run("c") + rpr_run(bold, "b")),
         "**a**c**b**\n", "acb\n"},
        {"other_emphasis_parts",
         para(rpr_run(bold, "a") + rpr_run(italic, "b") + rpr_run(bold, "c")), "**a***b***c**\n",
         "abc\n"},
        {"white_space_outside",
         para(run("<w:rPr><w:i/></w:rPr><w:t xml:space=\"preserve\"> a</w:t><w:tab/>")), "*a*\t\n",
         " a\t\n"},
        // U+00A0, U+2009 and U+3000 count as white space; U+2010 and U+00B7 do not.
        {"unicode_spaces_outside",
         para(rpr_run(bold, "\u00a0a\u2009") + rpr_run(italic, "\u3000") +
              rpr_run(italic, "\u2010b\u00b7")),
         "\u00a0**a**\u2009\u3000*\u2010b\u00b7*\n", "\u00a0a\u2009\u3000\u2010b\u00b7\n"},
        {"white_space_only_unmarked",
         para(text_run("x") + rpr_run(bold, " ") + run("<w:rPr><w:i/></w:rPr><w:tab/>") +
              text_run("y")),
         "x \ty\n", "x \ty\n"},
        {"page_breaks_part",
         para(run("<w:rPr><w:b/></w:rPr><w:t>a</w:t><w:br w:type=\"page\"/>") + rpr_run(bold, "b") +
              run("<w:br w:type=\"page\"/>") + rpr_run(bold, "c")),
         "**a**\n\n---\n\n**b**\n\n---\n\n**c**\n", "a\n\n---\n\nb\n\n---\n\nc\n"},
        // A line that starts with a tab or four spaces would be code: in
        // Markdown no line starts with white space.
        {"indents_dropped",
         para(run("<w:t xml:space=\"preserve\">    a</w:t><w:br/><w:tab/>") + rpr_run(bold, " b") +
              run("<w:br w:type=\"page\"/><w:t xml:space=\"preserve\">\t c  </w:t>")),
         "a\n**b**\n\n---\n\nc  \n", "    a\n\t b\n\n---\n\n\t c  \n"},
        {"in_a_heading",
         para("<w:pPr><w:pStyle w:val=\"Heading1\"/></w:pPr>" + rpr_run(bold, " a") +
              rpr_run(bold, "b")),
         "#  **ab**\n", " ab\n"},
    })),
    case_name);

// The first w:pPr gives the style and a run's first w:rPr its emphasis
// wherever they lie, also after text; breaks outside runs count only after
// the last one.
INSTANTIATE_TEST_SUITE_P(
    PropertiesAnywhere, Render,
    testing::Values(
        render_case{"style_after_text",
                    para(text_run("a") + "<w:pPr><w:pStyle w:val=\"Heading2\"/></w:pPr>"), "## a\n",
                    "a\n"},
        render_case{"style_inside_run",
                    para(run("<w:pPr><w:pStyle w:val=\"Heading1\"/></w:pPr>"
                             "<w:rPr><w:i/></w:rPr><w:t>x</w:t>")),
                    "# *x*\n", "x\n"},
        render_case{"flags_after_text", para(run("<w:t>a</w:t><w:rPr><w:b/></w:rPr><w:t>b</w:t>")),
                    "**ab**\n", "ab\n"},
        render_case{"empty_first_rpr_means_no_flags",
                    para(run("<w:rPr/><w:rPr><w:b/></w:rPr><w:t>x</w:t>")), "x\n", "x\n"},
        render_case{"page_break_before_a_run_is_dropped",
                    para("<w:br w:type=\"page\"/>" + text_run("a")), "a\n", "a\n"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Tables, Render,
    testing::Values(
        render_case{"two_by_two", table_2x2, "| a | b |\n| --- | --- |\n| c | d |\n\n",
                    "a\tb\nc\td\n\n"},
        // An empty cell keeps its column in plain text too.
        render_case{"empty_cell", table(row(text_cell("a") + cell(para("")) + text_cell("c"))),
                    "| a |  | c |\n| --- | --- | --- |\n\n", "a\t\tc\n\n"},
        render_case{"empty_cells_at_the_edges",
                    table(row(cell("") + text_cell("b") + cell(""))) + para(text_run("after")),
                    "|  | b |  |\n| --- | --- | --- |\n\nafter\n", "\tb\t\n\nafter\n"},
        render_case{
            "cell_runs_and_nested_table",
            table(row(cell(para(text_run("Hel") + text_run("lo"))) +
                      cell(para(text_run("A")) + table(row(text_cell("x") + text_cell("y")))))),
            "| Hello | A x y |\n| --- | --- |\n\n", "Hello\tA x y\n\n"},
        render_case{"cell_hyphen_and_text_box",
                    table(row(cell(para(run("<w:t>1</w:t><w:noBreakHyphen/><w:t>1</w:t>") +
                                        run(text_box))))),
                    "| 1-1 box |\n| --- |\n\n", "1-1 box\n\n"},
        // Markdown readers drop the cells beyond the header row's count.
        render_case{"narrow_header_row_widened",
                    table(row(text_cell("h")) + row(text_cell("a") + text_cell("b") + cell("")) +
                          row(text_cell("c"))),
                    "| h |  |  |\n| --- | --- | --- |\n| a | b |  |\n| c |\n\n",
                    "h\na\tb\t\nc\n\n"},
        // A cell merged across columns is followed by empty ones: the cells
        // after it keep their columns. Only the cell's own w:tcPr counts.
        render_case{"merged_cells_keep_columns",
                    table(row("<w:tc><w:tcPr><w:tcW w:w=\"0\"/><w:gridSpan w:val=\"3\"/></w:tcPr>" +
                              para(text_run("title")) + "</w:tc>") +
                          row(text_cell("a") + "<w:tc><w:tcPr><w:gridSpan w:val=\"2\"/></w:tcPr>" +
                              para(text_run("b")) + "</w:tc>" + text_cell("c")) +
                          row(text_cell("d") + text_cell("e") + text_cell("f") + text_cell("g"))),
                    "| title |  |  |  |\n| --- | --- | --- | --- |\n| a | b |  | c |\n| d | e | f "
                    "| g |\n\n",
                    "title\t\t\na\tb\t\tc\nd\te\tf\tg\n\n"},
        render_case{
            "span_of_a_nested_cell_or_out_of_range",
            table(row(cell(table(row("<w:tc><w:tcPr><w:gridSpan w:val=\"2\"/></w:tcPr>" +
                                     para(text_run("x")) + "</w:tc>"))) +
                      "<w:tc><w:tcPr><w:gridSpan w:val=\"-4\"/></w:tcPr></w:tc>" + text_cell("y"))),
            "| x |  | y |\n| --- | --- | --- |\n\n", "x\t\ty\n\n"},
        render_case{"first_row_without_cells", table(row("") + row(text_cell("a"))), "|\n| a |\n\n",
                    "\na\n\n"},
        render_case{"paragraphs_around_table",
                    para(text_run("before")) + table_2x2 + para(text_run("after")),
                    "before\n| a | b |\n| --- | --- |\n| c | d |\n\nafter\n",
                    "before\na\tb\nc\td\n\nafter\n"},
        render_case{"unclosed_table_stops", para(text_run("a")) + "<w:tbl>" + row(text_cell("x")),
                    "a\n", "a\n"}),
    case_name);

TEST(ExtractContent, BodyErrors) {
    docx_clear_error();
    std::string xml = "<w:document><w:p/></w:document>";
    rendered r = render_xml(xml, MARKDOWN);
    EXPECT_EQ(r.rc, -1);
    EXPECT_STREQ(docx_last_error(), "document missing w:body");

    docx_clear_error();
    r = render_xml("<w:document><w:body ", MARKDOWN);
    EXPECT_EQ(r.rc, -1);
    EXPECT_STREQ(docx_last_error(), "");

    r = render_xml("<w:document><w:body/><w:p><w:r><w:t>x</w:t></w:r></w:p></w:document>", PLAIN);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "");
}

// Big inputs come out whole; the walk stays linear, so this runs quickly even
// under the sanitizers.
TEST(ExtractContent, PathologicalSizes) {
    constexpr int n = 100000;
    std::string body, expected;
    for (int i = 0; i < n; ++i) {
        body += para(text_run(std::to_string(i)));
        expected += std::to_string(i) + "\n";
    }
    EXPECT_EQ(render(body, MARKDOWN), expected);

    body = "<w:p>";
    expected.clear();
    for (int i = 0; i < n; ++i) {
        body += i % 2 ? rpr_run("<w:b/>", "b") : text_run("p");
        expected += i % 2 ? "**b**" : "p";
    }
    body += "</w:p>";
    EXPECT_EQ(render(body, MARKDOWN), expected + "\n");

    std::string big(10 * 1024 * 1024, 'x');
    big[12345] = '&';
    EXPECT_EQ(render(para(text_run(big)), PLAIN), big + "\n");
}

// Out of memory at any growth fails the whole call; nothing truncated is
// ever returned as a result.
TEST(ExtractContent, OutOfMemoryFailsTheCall) {
    std::string body = styled("Heading1", "Title") + table_2x2 +
                       table(row(text_cell("h")) + row(text_cell("a") + text_cell("b"))) +
                       para(rpr_run("<w:b/>", "a</w:t><w:br w:type=\"page\"/><w:t>b"));
    for (int i = 0; i < 60; ++i) body += para(rpr_run("<w:i/>", "paragraph " + std::to_string(i)));
    const std::string xml = testkit::document_xml(body);
    for (int format : {MARKDOWN, PLAIN}) {
        const std::string full = render_xml(xml, format).text;
        bool completed = false;
        for (long n = 0; !completed; ++n) {
            SCOPED_TRACE("growth " + std::to_string(n));
            docx_clear_error();
            docx_buf_fail_growth_after(n);
            rendered r = render_xml(xml, format);
            docx_buf_fail_growth_after(-1);
            ASSERT_EQ(r.rc, 0);
            completed = !r.failed;
            if (completed)
                EXPECT_EQ(r.text, full);
            else
                EXPECT_STREQ(docx_last_error(), "out of memory");
        }
    }
}

class ContentExport : public testing::Test {
  protected:
    void SetUp() override {
        std::string body =
            styled("Heading1", "Report") + para(rpr_run("<w:b/>", "bold")) + table_2x2;
        handle =
            docx_open(testkit::write_docx(dir.file("a.docx"), testkit::document_xml(body)).c_str());
        ASSERT_GE(handle, 0) << docx_last_error();
    }
    void TearDown() override { docx_close(handle); }

    testkit::TempDir dir;
    int handle = -1;
};

TEST_F(ContentExport, RendersBothFormats) {
    const char *md = docx_content(handle, MARKDOWN);
    ASSERT_NE(md, nullptr) << docx_last_error();
    EXPECT_STREQ(md, "# Report\n**bold**\n| a | b |\n| --- | --- |\n| c | d |\n\n");
    const char *plain = docx_content(handle, PLAIN);
    ASSERT_NE(plain, nullptr) << docx_last_error();
    EXPECT_STREQ(plain, "Report\nbold\na\tb\nc\td\n\n");
}

TEST_F(ContentExport, ArgumentErrors) {
    int closed =
        docx_open(testkit::write_docx(dir.file("b.docx"), testkit::document_xml("")).c_str());
    ASSERT_GE(closed, 0);
    docx_close(closed);
    for (int bad : {-1, 64, closed}) {
        EXPECT_EQ(docx_content(bad, MARKDOWN), nullptr);
        EXPECT_STREQ(docx_last_error(), "invalid handle");
    }
    EXPECT_EQ(docx_content(-1, 2), nullptr);
    EXPECT_STREQ(docx_last_error(), "invalid handle");
    for (int bad_format : {2, -1}) {
        EXPECT_EQ(docx_content(handle, bad_format), nullptr);
        EXPECT_STREQ(docx_last_error(), "format must be 0 (markdown) or 1 (plain)");
    }
}

// The library keeps the blocks of earlier texts: this text is larger than any
// of them, so it needs a new one.
TEST_F(ContentExport, OutOfMemoryGivesNull) {
    std::string big(size_t{48} << 10, 'x');  // under the size that reserves up front
    ASSERT_LT(docx_result_capacity(), big.size());
    int large = docx_open(
        testkit::write_docx(dir.file("large.docx"), testkit::document_xml(para(text_run(big))))
            .c_str());
    ASSERT_GE(large, 0) << docx_last_error();
    docx_buf_fail_growth_after(0);
    const char *text = docx_content(large, MARKDOWN);
    docx_close(large);
    docx_buf_fail_growth_after(-1);
    EXPECT_EQ(text, nullptr);
    EXPECT_STREQ(docx_last_error(), "out of memory");
}

}  // namespace
