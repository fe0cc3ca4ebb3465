// test_tables.cpp -- the tables of the body as JSON.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "docx_internal.h"
#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

struct json_result {
    bool failed;
    std::string text;
};

json_result tables_of_xml(const std::string &xml) {
    docx_buf out;
    EXPECT_EQ(docx_extract_tables_json(xml.data(), xml.size(), &out), 0);
    return {out.failed, std::string(out.view())};
}

std::string tables_of(const std::string &body) {
    json_result r = tables_of_xml(testkit::document_xml(body));
    EXPECT_FALSE(r.failed);
    return r.text;
}

std::string para(const std::string &text) {
    return "<w:p><w:r><w:t>" + text + "</w:t></w:r></w:p>";
}
std::string cell(const std::string &inner) {
    return "<w:tc><w:tcPr/>" + inner + "</w:tc>";
}
std::string text_cell(const std::string &text) {
    return cell(para(text));
}
std::string row(const std::string &cells) {
    return "<w:tr>" + cells + "</w:tr>";
}
std::string table(const std::string &rows) {
    return "<w:tbl><w:tblPr/>" + rows + "</w:tbl>";
}

const std::string table_2x2 =
    table(row(text_cell("a") + text_cell("b")) + row(text_cell("c") + text_cell("d")));

struct tables_case {
    const char *name;
    std::string body;
    std::string json;
};

void PrintTo(const tables_case &c, std::ostream *os) {
    *os << c.name;
}

class TablesJson : public testing::TestWithParam<tables_case> {};

TEST_P(TablesJson, Renders) {
    std::string json = tables_of(GetParam().body);
    EXPECT_EQ(json, GetParam().json);
    EXPECT_TRUE(nlohmann::json::accept(json));
}

std::string case_name(const testing::TestParamInfo<tables_case> &info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, TablesJson,
    testing::Values(
        tables_case{"no_tables", para("x"), "[]"},
        tables_case{"two_by_two", table_2x2, R"([[["a","b"],["c","d"]]])"},
        tables_case{"two_tables", table_2x2 + para("between") + table_2x2,
                    R"([[["a","b"],["c","d"]],[["a","b"],["c","d"]]])"},
        tables_case{"no_rows_and_no_cells", table("") + table(row("")), "[[],[[]]]"},
        tables_case{"ragged_rows",
                    table(row(text_cell("a") + text_cell("b")) + row(text_cell("c"))),
                    R"([[["a","b"],["c"]]])"},
        tables_case{"cell_runs_and_empty_cell",
                    table(row(cell("<w:p><w:r><w:t>Hel</w:t></w:r><w:r><w:t>lo</w:t></w:r></w:p>") +
                              cell(para("")) + cell(""))),
                    R"([[["Hello","",""]]])"},
        // Word splits words over runs; only paragraphs, tabs and breaks part them.
        tables_case{"cell_paragraphs_tabs_and_breaks",
                    table(row(cell("<w:p><w:r><w:t>a</w:t><w:tab/><w:t>b</w:t></w:r>"
                                   "<w:r><w:br/></w:r><w:r><w:t>c</w:t><w:cr/><w:t>d</w:t>"
                                   "</w:r></w:p><w:p><w:r><w:t xml:space=\"preserve\">e</w:t>"
                                   "</w:r><w:r><w:t>f</w:t></w:r></w:p>"))),
                    R"([[["a b c d ef"]]])"},
        tables_case{"cell_character_elements",
                    table(row(cell("<w:p><w:r><w:t>1</w:t><w:noBreakHyphen/><w:t>1</w:t><w:ptab/>"
                                   "<w:t>z</w:t></w:r></w:p>"))),
                    R"([[["1-1 z"]]])"},
        tables_case{"text_box_paragraph_in_cell",
                    table(row(cell("<w:p><w:r><w:t>a</w:t></w:r><w:r><w:pict><w:txbxContent>"
                                   "<w:p><w:r><w:t>box</w:t></w:r></w:p></w:txbxContent>"
                                   "</w:pict></w:r><w:r><w:t>c</w:t></w:r></w:p>"))),
                    R"([[["a box c"]]])"},
        tables_case{"self_closing_text_between_paragraphs",
                    table(row(cell("<w:p><w:r><w:t>A</w:t></w:r></w:p><w:p><w:r><w:t/></w:r>"
                                   "<w:r><w:t>B</w:t></w:r></w:p>"))),
                    R"([[["A B"]]])"},
        tables_case{"nested_table_is_cell_text",
                    table(row(cell(para("A") + table(row(text_cell("x") + text_cell("y")))))),
                    R"([[["A x y"]]])"},
        tables_case{"table_in_text_box_in_document_order",
                    "<w:p><w:r><w:pict><w:txbxContent>" + table(row(text_cell("box"))) +
                        "</w:txbxContent></w:pict></w:r></w:p>" + table(row(text_cell("body"))),
                    R"([[["box"]],[["body"]]])"},
        // The fallback of a text box repeats it, and moved text is elsewhere.
        tables_case{"hidden_copies_left_out",
                    "<w:p><w:r><mc:AlternateContent><mc:Choice><w:txbxContent>" +
                        table(row(cell("<w:p><w:r><w:t>box</w:t></w:r><w:moveFrom><w:r><w:t>old"
                                       "</w:t></w:r></w:moveFrom><mc:Fallback><w:r><w:t>box"
                                       "</w:t></w:r></mc:Fallback></w:p>"))) +
                        "</w:txbxContent></mc:Choice><mc:Fallback><w:txbxContent>" +
                        table(row(text_cell("box"))) +
                        "</w:txbxContent></mc:Fallback></mc:AlternateContent></w:r></w:p>" +
                        table(row(text_cell("body"))),
                    R"([[["box"]],[["body"]]])"},
        tables_case{"entities_decoded", table(row(text_cell("a &amp; &lt;b&gt; &#xE9;"))),
                    "[[[\"a & <b> \xC3\xA9\"]]]"},
        tables_case{"escaping", table(row(text_cell("q\" b\\ t\t r\r n\n u\x01 s/ d\x7F"))),
                    R"([[["q\" b\\ t\t r\r n\n u\u0001 s/ d)"
                    "\x7F"
                    R"("]]])"},
        tables_case{"unclosed_row_closes_json",
                    table(row(text_cell("a"))) + "<w:tbl><w:tr>" + text_cell("b") + "</w:tbl>",
                    R"([[["a"]],[]])"},
        tables_case{"unclosed_table_ends_list", table_2x2 + "<w:tbl>" + row(text_cell("b")),
                    R"([[["a","b"],["c","d"]]])"}),
    case_name);

TEST(ExtractTablesJson, MissingBody) {
    EXPECT_EQ(tables_of_xml("<w:document></w:document>").text, "[]");
    EXPECT_EQ(tables_of_xml("<w:document><w:body ").text, "[]");
    EXPECT_EQ(tables_of_xml("<w:document><w:body/>" + table_2x2 + "</w:document>").text, "[]");
}

// Out of memory at any growth, in the output or in the cell buffer, fails
// the call; a JSON that is returned is always complete.
TEST(ExtractTablesJson, OutOfMemoryFailsTheCall) {
    std::string rows;
    for (int i = 0; i < 40; ++i)
        rows += row(text_cell("cell \"" + std::to_string(i) + "\"") + text_cell(""));
    const std::string xml = testkit::document_xml(table(rows) + table_2x2);
    const std::string full = tables_of_xml(xml).text;
    bool completed = false;
    for (long n = 0; !completed; ++n) {
        SCOPED_TRACE("growth " + std::to_string(n));
        docx_clear_error();
        docx_buf_fail_growth_after(n);
        json_result r = tables_of_xml(xml);
        docx_buf_fail_growth_after(-1);
        completed = !r.failed;
        if (completed)
            EXPECT_EQ(r.text, full);
        else
            EXPECT_STREQ(docx_last_error(), "out of memory");
    }
}

TEST(TablesExport, ReturnsJsonAndChecksTheHandle) {
    testkit::TempDir dir;
    std::string path = testkit::write_docx(dir.file("t.docx"), testkit::document_xml(table_2x2));
    int h = docx_open(path.c_str());
    ASSERT_GE(h, 0) << docx_last_error();
    const char *json = docx_tables(h);
    ASSERT_NE(json, nullptr) << docx_last_error();
    EXPECT_STREQ(json, R"([[["a","b"],["c","d"]]])");
    docx_close(h);
    for (int bad : {-1, 64, h}) {
        EXPECT_EQ(docx_tables(bad), nullptr);
        EXPECT_STREQ(docx_last_error(), "invalid handle");
    }
}

// The library never validates UTF-8, so a document whose own text is not
// valid UTF-8 is the one case whose JSON a strict parser may refuse; then the
// refusal must be about UTF-8 and nothing else.
TEST(TablesCorpus, EveryJsonParsesStrictly) {
    const auto files = testkit::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << testkit::corpus_dir();
    int parsed = 0;
    for (const std::string &file : files) {
        SCOPED_TRACE(file + " " + testkit::corpus_note(file));
        int h = docx_open(file.c_str());
        if (h < 0) continue;
        const char *json = docx_tables(h);
        EXPECT_NE(json, nullptr) << docx_last_error();
        if (json) {
            try {
                EXPECT_TRUE(nlohmann::json::parse(json).is_array());
                ++parsed;
            } catch (const nlohmann::json::parse_error &e) {
                EXPECT_NE(std::string(e.what()).find("ill-formed UTF-8"), std::string::npos)
                    << e.what();
            }
        }
        docx_close(h);
    }
    EXPECT_GT(parsed, 0);
}

}  // namespace
