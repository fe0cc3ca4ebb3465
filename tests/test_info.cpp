// test_info.cpp -- the document summary: counts, styles, core properties,
// memory failures, handles, and strict JSON over the real-world corpus.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "docx_internal.h"
#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

using nlohmann::json;

docx_heap heap_copy(std::string_view s) {
    docx_heap block(static_cast<char *>(std::malloc(s.size() + 1)));
    std::memcpy(block.get(), s.data(), s.size());
    block.get()[s.size()] = 0;
    return block;
}

// The summary built straight from the two parts, as a slot would hold them.
std::string summary(const std::string &doc_xml, const std::optional<std::string> &core = {}) {
    docx_doc doc;
    doc.in_use = 1;
    doc.doc_xml = heap_copy(doc_xml);
    doc.doc_len = doc_xml.size();
    if (core) {
        doc.core_xml = heap_copy(*core);
        doc.core_len = core->size();
    }
    docx_buf out;
    if (docx_build_info_json(&doc, &out) != 0)
        return "<error: " + std::string(docx_last_error()) + ">";
    return std::string(out.view());
}

json body_summary(const std::string &body) {
    return json::parse(summary(testkit::document_xml(body)));
}

std::string core_xml(const std::string &inner) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><cp:coreProperties "
           "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
           "xmlns:dcterms=\"http://purl.org/dc/terms/\">" +
           inner + "</cp:coreProperties>";
}

std::string para(const std::string &style, const std::string &text = "x") {
    return "<w:p><w:pPr><w:pStyle w:val=\"" + style + "\"/></w:pPr><w:r><w:t>" + text +
           "</w:t></w:r></w:p>";
}

const std::string text_para = "<w:p w:rsidR=\"1\"><w:r><w:t>text</w:t></w:r></w:p>";
const std::string cell = "<w:tc><w:p><w:r><w:t>c</w:t></w:r></w:p></w:tc>";
const std::string table = "<w:tbl><w:tr>" + cell + cell + "</w:tr></w:tbl>";
const std::string drawing =
    "<w:drawing><wp:inline><a:graphic><a:graphicData><pic:pic><pic:blipFill><a:blip "
    "r:embed=\"rId5\"/></pic:blipFill></pic:pic></a:graphicData></a:graphic></wp:inline>"
    "</w:drawing>";
const std::string vml_image =
    "<w:pict><v:shape style=\"width:10pt\"><v:imagedata r:id=\"rId6\" o:title=\"\"/>"
    "</v:shape></w:pict>";
const std::string vml_shape = "<w:pict><v:rect style=\"width:10pt\"/></w:pict>";

std::string run_para(const std::string &run_content) {
    return "<w:p><w:r>" + run_content + "</w:r></w:p>";
}

std::string vml_text_box(const std::string &inner) {
    return "<w:pict><v:shape><v:textbox><w:txbxContent>" + inner +
           "</w:txbxContent></v:textbox></v:shape></w:pict>";
}

struct CountCase {
    const char *what;
    std::string body;
    int paragraphs, tables, images;
    json styles = nullptr;  // checked when given
};

template <size_t N>
void expect_counts(const CountCase (&cases)[N]) {
    for (const CountCase &c : cases) {
        SCOPED_TRACE(c.what);
        json j = body_summary(c.body);
        EXPECT_EQ(j["paragraphs"], c.paragraphs);
        EXPECT_EQ(j["tables"], c.tables);
        EXPECT_EQ(j["images"], c.images);
        if (!c.styles.is_null()) {
            EXPECT_EQ(j["styles"], c.styles);
        }
    }
}

TEST(Info, CountsTopLevelParagraphsAndTablesAndEveryPicture) {
    const CountCase cases[] = {
        {"empty paragraphs", text_para + "<w:p/><w:p w:rsidR=\"00A1\"/>" + table, 3, 1, 0},
        {"paragraphs in cells are the table's",
         "<w:tbl><w:tr>" + cell + cell + cell + cell + cell + "</w:tr></w:tbl>" + text_para, 1, 1,
         0},
        {"nested table", "<w:tbl><w:tr><w:tc>" + table + "</w:tc></w:tr></w:tbl>", 0, 1, 0},
        {"content control",
         "<w:sdt><w:sdtContent>" + text_para + text_para + "</w:sdtContent></w:sdt>", 2, 0, 0},
        {"self-closing table", "<w:tbl/>" + text_para + table, 1, 2, 0},
        {"unclosed paragraph ends the walk", text_para + "<w:p><w:r>" + table, 2, 0, 0},
        {"unclosed table ends the walk", "<w:tbl><w:tr>" + text_para, 0, 1, 0},
        {"no content", "", 0, 0, 0},
        {"drawing in a paragraph", run_para(drawing), 1, 0, 1},
        {"two drawings in one paragraph", run_para(drawing + drawing), 1, 0, 2},
        {"drawing in a table cell",
         "<w:tbl><w:tr><w:tc>" + run_para(drawing) + "</w:tc></w:tr></w:tbl>", 0, 1, 1},
        {"VML image", run_para(vml_image), 1, 0, 1},
        {"VML shape without image", run_para(vml_shape), 1, 0, 0},
        {"VML text box holding two images",
         run_para(vml_text_box(run_para(vml_image) + run_para(vml_image))), 1, 0, 2},
        {"VML text box holding a drawing", run_para(vml_text_box(run_para(drawing))), 1, 0, 1},
        {"drawing text box holding a drawing",
         run_para("<w:drawing><wps:txbx><w:txbxContent>" + run_para(drawing) +
                  "</w:txbxContent></wps:txbx></w:drawing>"),
         1, 0, 2},
        {"fallback repeats the choice",
         run_para("<mc:AlternateContent><mc:Choice Requires=\"wps\">" + drawing +
                  "</mc:Choice><mc:Fallback>" + vml_image + "</mc:Fallback></mc:AlternateContent>"),
         1, 0, 1},
        {"image after a text box", run_para(vml_text_box(text_para) + vml_image), 1, 0, 1},
        {"picture outside any paragraph", drawing + vml_image, 0, 0, 2},
        {"self-closing pict", run_para("<w:pict/>") + run_para(vml_image), 2, 0, 1},
        {"image after an unclosed pict",
         "<w:p><w:r><w:pict><v:shape></w:r></w:p>" + run_para(vml_image), 2, 0, 1},
    };
    expect_counts(cases);
}

TEST(Info, PicturesAfterTheBodyAreNotCounted) {
    std::string xml = testkit::document_xml(run_para(drawing)) + drawing;
    EXPECT_EQ(json::parse(summary(xml))["images"], 1);
}

std::string nested_picts(int n) {
    std::string open, close;
    for (int i = 0; i < n; ++i) {
        open += "<w:pict>";
        close += "</w:pict><v:imagedata/>";
    }
    return open + "<v:imagedata/>" + close;
}

// Markup no word processor writes is read by the element rules all the same:
// the walk takes each tag of the body once and must agree with them.
TEST(Info, ReadsMalformedMarkupByTheElementRules) {
    const json none = json::array();
    const CountCase cases[] = {
        {"w:pPr inside a paragraph's end tag",
         "<w:p></w:p <w:pPr <w:pStyle w:val=\"InEndTag\"/><w:p/>", 2, 0, 0,
         json::array({"InEndTag"})},
        {"w:pPr inside a self-closing paragraph tag",
         "<w:p a=\"x\" <w:pPr <w:pStyle w:val=\"InTag\" /><w:p></w:p>", 2, 0, 0,
         json::array({"InTag"})},
        {"end tag inside a nested self-closing paragraph",
         "<w:p><w:p x=\"</w:p \"/><w:r/></w:p><w:p></w:p>", 2, 0, 0, none},
        {"vertical tab after a nested paragraph's name",
         "<w:p><w:p\v></w:p><w:pPr><w:pStyle w:val=\"Outer\"/></w:pPr></w:p><w:tbl></w:tbl >", 1, 1,
         0, json::array({"Outer"})},
        {"picts after an unclosed pict", "<w:pict><w:pict></w:pict><v:imagedata/>" + vml_image, 0,
         0, 2, none},
        {"image after a closed inner pict",
         "<w:pict><w:pict><v:imagedata/></w:pict><v:imagedata/></w:pict>", 0, 0, 2, none},
        {"pict start inside a fallback",
         "<w:pict><mc:Fallback><w:pict></mc:Fallback></w:pict><v:imagedata/>" + drawing, 0, 0, 2,
         none},
        {"unclosed fallback ends the count",
         "<mc:Fallback>" + drawing + "</mc:Fallback>" + drawing + "<mc:Fallback>" + drawing, 0, 0,
         1, none},
        {"picts nested deeper than tracked", nested_picts(18), 0, 0, 16, none},
    };
    expect_counts(cases);
}

struct StyleCase {
    const char *what;
    std::string body;
    json styles;
};

std::string style_name(int i) {
    std::string name = std::to_string(i);
    name.insert(name.begin(), 'S');
    return name;
}

std::string many_styles(int n) {
    std::string body;
    for (int i = 0; i < n; ++i) body += para(style_name(i));
    return body;
}

json style_names(int n) {
    json a = json::array();
    for (int i = 0; i < n; ++i) a.push_back(style_name(i));
    return a;
}

TEST(Info, ListsParagraphStylesInOrderOfFirstUse) {
    const std::string e_acute = "\xc3\xa9";
    const StyleCase cases[] = {
        {"distinct in order",
         para("Heading1") + para("Normal") + para("Heading1"),
         {"Heading1", "Normal"}},
        {"no pPr, empty value, self-closing pPr",
         text_para + para("") + "<w:p><w:pPr/><w:r><w:pStyle w:val=\"Run\"/></w:r></w:p>",
         json::array()},
        {"entities verbatim", para("A&amp;B"), {"A&amp;B"}},
        {"quote and backslash escaped", para("a\\b"), {"a\\b"}},
        {"styles of table paragraphs are not read",
         "<w:tbl><w:tr><w:tc>" + para("InCell") + "</w:tc></w:tr></w:tbl>" + para("Body"),
         {"Body"}},
        {"first 64 of 70", many_styles(70), style_names(64)},
        {"exactly 64", many_styles(64), style_names(64)},
        {"127 bytes kept", para(std::string(127, 's')), {std::string(127, 's')}},
        {"cut to 127 bytes", para(std::string(200, 's')), {std::string(127, 's')}},
        {"cut before a character that would straddle byte 127",
         para(std::string(126, 's') + e_acute),
         {std::string(126, 's')}},
        {"character ending at byte 127 kept",
         para(std::string(125, 's') + e_acute + "t"),
         {std::string(125, 's') + e_acute}},
    };
    for (const StyleCase &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(body_summary(c.body)["styles"], c.styles);
    }
}

struct CoreCase {
    const char *what;
    std::optional<std::string> core;
    std::string title, author, created;
};

TEST(Info, ReadsDecodedCorePropertiesCutAtCharacterBoundaries) {
    const std::string euro = "\xe2\x82\xac", emoji = "\xf0\x9f\x98\x80";
    const CoreCase cases[] = {
        {"all three",
         core_xml("<dc:title>Quarterly report</dc:title><dc:creator>Editor</dc:creator>"
                  "<dcterms:created xsi:type=\"dcterms:W3CDTF\">2024-05-01T10:00:00Z"
                  "</dcterms:created>"),
         "Quarterly report", "Editor", "2024-05-01T10:00:00Z"},
        {"entities decoded", core_xml("<dc:title>A&amp;B &lt;&#xE9;&gt;</dc:title>"),
         "A&B <\xc3\xa9>", "", ""},
        {"control characters", core_xml("<dc:title>a\tb\nc\rd\"e\\f</dc:title>"),
         "a\tb\nc\rd\"e\\f", "", ""},
        {"no core part", std::nullopt, "", "", ""},
        {"empty-element and missing", core_xml("<dc:title/><dc:creator></dc:creator>"), "", "", ""},
        {"other prefixes are not read",
         core_xml("<title>T</title><dcterms:creator>A"
                  "</dcterms:creator>"),
         "", "", ""},
        {"no end tag", core_xml("") + "<dc:title>open", "", "", ""},
        {"title cut to 511 bytes", core_xml("<dc:title>" + std::string(600, 't') + "</dc:title>"),
         std::string(511, 't'), "", ""},
        {"created cut to 127 bytes",
         core_xml("<dcterms:created>" + std::string(200, '1') + "</dcterms:created>"), "", "",
         std::string(127, '1')},
        {"cut before a 3-byte character",
         core_xml("<dc:creator>" + std::string(509, 'a') + euro + "</dc:creator>"), "",
         std::string(509, 'a'), ""},
        {"cut before a 4-byte character",
         core_xml("<dc:title>" + std::string(508, 'a') + emoji + "z</dc:title>"),
         std::string(508, 'a'), "", ""},
        {"4-byte character ending at byte 511 kept",
         core_xml("<dc:title>" + std::string(507, 'a') + emoji + "z</dc:title>"),
         std::string(507, 'a') + emoji, "", ""},
        {"entity decoded before the cut",
         core_xml("<dcterms:created>" + std::string(126, 'c') + "&#xE9;</dcterms:created>"), "", "",
         std::string(126, 'c')},
    };
    for (const CoreCase &c : cases) {
        SCOPED_TRACE(c.what);
        json j = json::parse(summary(testkit::document_xml(text_para), c.core));
        EXPECT_EQ(j["title"], c.title);
        EXPECT_EQ(j["author"], c.author);
        EXPECT_EQ(j["created"], c.created);
    }
}

TEST(Info, WritesCompactJsonInItsKeyOrder) {
    std::string core = core_xml(
        "<dc:title>Quarterly\treport \"Q2\"\n</dc:title><dc:creator>Editor</dc:creator>"
        "<dcterms:created>2024-05-01T10:00:00Z</dcterms:created>");
    std::string body = para("Title") + para("Heading1") + table + run_para(drawing);
    EXPECT_EQ(summary(testkit::document_xml(body), core),
              "{\"paragraphs\":3,\"tables\":1,\"images\":1,\"styles\":[\"Title\",\"Heading1\"],"
              "\"title\":\"Quarterly\\u0009report \\\"Q2\\\"\\n\",\"author\":\"Editor\","
              "\"created\":\"2024-05-01T10:00:00Z\",\"encrypted\":false}");
}

TEST(Info, WithoutABodyCountsNothingButReadsTheCore) {
    std::string core = core_xml("<dc:title>T</dc:title>");
    for (const std::string &xml :
         {std::string("<w:document><w:p/></w:document>"), std::string("<w:document><w:body ")}) {
        SCOPED_TRACE(xml);
        EXPECT_EQ(summary(xml, core),
                  "{\"paragraphs\":0,\"tables\":0,\"images\":0,\"styles\":[],\"title\":\"T\","
                  "\"author\":\"\",\"created\":\"\",\"encrypted\":false}");
    }
}

// Every growth of the summary's buffers fails in turn: each failure must fail
// the call with "out of memory", never give a shortened summary.
TEST(Info, OutOfMemoryFailsTheCallAtEveryGrowth) {
    std::string core = core_xml("<dc:title>" + std::string(400, 't') + "&amp;</dc:title>" +
                                "<dc:creator>" + std::string(300, 'a') + "</dc:creator>");
    std::string xml = testkit::document_xml(many_styles(64) + table);
    std::string whole = summary(xml, core);
    ASSERT_EQ(whole.front(), '{');
    bool succeeded = false;
    for (long n = 0; n < 64 && !succeeded; ++n) {
        SCOPED_TRACE(n);
        docx_clear_error();
        docx_buf_fail_growth_after(n);
        std::string got = summary(xml, core);
        docx_buf_fail_growth_after(-1);
        succeeded = got == whole;
        if (!succeeded) {
            EXPECT_EQ(got, "<error: out of memory>");
        }
    }
    EXPECT_TRUE(succeeded) << "the summary needs more than 64 growths";
}

TEST(Info, RejectsInvalidHandles) {
    testkit::TempDir dir;
    std::string path = testkit::write_docx(dir.file("a.docx"), testkit::document_xml(text_para));
    int h = docx_open(path.c_str());
    ASSERT_GE(h, 0) << docx_last_error();
    const char *info = docx_info(h);
    ASSERT_NE(info, nullptr) << docx_last_error();
    EXPECT_EQ(json::parse(info)["paragraphs"], 1);
    docx_close(h);
    for (int bad : {-1, 64, h}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(docx_info(bad), nullptr);
        EXPECT_STREQ(docx_last_error(), "invalid handle");
    }
}

TEST(Info, OutOfMemoryThroughTheExportGivesNull) {
    testkit::TempDir dir;
    std::string path =
        testkit::write_docx(dir.file("a.docx"), testkit::document_xml(many_styles(40)));
    int h = docx_open(path.c_str());
    ASSERT_GE(h, 0) << docx_last_error();
    docx_buf_fail_growth_after(0);
    const char *info = docx_info(h);
    docx_buf_fail_growth_after(-1);
    EXPECT_EQ(info, nullptr);
    EXPECT_STREQ(docx_last_error(), "out of memory");
    docx_close(h);
}

bool valid_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// The library never validates text: a document whose styles or core
// properties are not valid UTF-8 gives a summary that is not either. That is
// the one case where a strict parser may refuse the summary, and then its
// structure must still be sound once the stray bytes are masked.
TEST(Info, EverySummaryOfTheCorpusIsStrictJson) {
    auto files = testkit::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << testkit::corpus_dir();
    int opened = 0;
    for (const std::string &file : files) {
        SCOPED_TRACE(file + " " + testkit::corpus_note(file));
        int h = docx_open(file.c_str());
        if (h < 0) continue;
        ++opened;
        const char *info = docx_info(h);
        ASSERT_NE(info, nullptr) << docx_last_error();
        std::string text = info;
        docx_close(h);
        std::string masked = text;
        for (char &c : masked)
            if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        json j = json::parse(valid_utf8(text) ? text : masked);
        ASSERT_TRUE(j.is_object());
        EXPECT_EQ(j.size(), 8u);
        for (const char *key : {"paragraphs", "tables", "images"})
            EXPECT_TRUE(j[key].is_number_integer() && j[key] >= 0) << key;
        EXPECT_TRUE(j["styles"].is_array() && j["styles"].size() <= 64);
        EXPECT_EQ(j["encrypted"], false);
        EXPECT_EQ(text.find('\n'), std::string::npos);
    }
    EXPECT_GT(opened, 0);
}

}  // namespace
