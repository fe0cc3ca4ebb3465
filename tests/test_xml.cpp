// test_xml.cpp -- tag scanning, attribute values, the body content of a
// merge input, escaping and entity decoding.
#include <gtest/gtest.h>

#include <string>

#include "docx_internal.h"
#include "tavrimel_docx.h"

namespace {

using namespace std::string_literals;

constexpr long NONE = -1;

long offset_of(const char *found, const std::string &text) {
    return found ? found - text.data() : NONE;
}

// A scan over a whole text, and the offset it should give (NONE: null).
struct ScanCase {
    std::string text;
    const char *name;
    long offset;
};

using Scan = const char *(*)(const std::string &text, const char *name);

void expect_offsets(std::initializer_list<ScanCase> cases, Scan scan) {
    for (const ScanCase &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(offset_of(scan(c.text, c.name), c.text), c.offset);
    }
}

const char *text_end(const std::string &text) {
    return text.data() + text.size();
}

TEST(Xml, FindTagMatchesWholeNamesOfStartTagsOnly) {
    expect_offsets(
        {
            {"<w:pPr><w:p>", "w:p", 7},
            {"</w:p><w:p/>", "w:p", 6},
            {"<w:proofErr/><w:p w:rsidR=\"1\">", "w:p", 13},
            {"<w:p\t/>", "w:p", 0},
            {"<w:tab/><w:tbl><w:tc><w:t>", "w:t", 21},
            {"<w:p", "w:p", NONE},  // the name reaches the range end
            {"<w:p\v>", "w:p", NONE},
            {"<w:p\f>", "w:p", NONE},
            {"<?w:p?><!w:p></w:p>", "w:p", NONE},
            {"", "w:p", NONE},
        },
        [](const std::string &t, const char *name) {
            return docx_find_tag(t.data(), text_end(t), name);
        });
    EXPECT_EQ(docx_find_tag(nullptr, nullptr, "w:p"), nullptr);
    std::string cut = "<w:p>";  // a range that ends right after the name
    EXPECT_EQ(docx_find_tag(cut.data(), cut.data() + 4, "w:p"), nullptr);
    EXPECT_EQ(docx_find_tag(cut.data(), cut.data() + 5, "w:p"), cut.data());
}

TEST(Xml, FindCloseBalancesNestedElements) {
    expect_offsets(
        {
            {"<w:tbl><w:tbl>x</w:tbl></w:tbl>", "w:tbl", 31},
            {"<w:r><w:r/><w:r />a</w:r>tail", "w:r", 25},
            {"<w:p>x</w:p >", "w:p", 13},
            {"<w:p>x</w:p\n>", "w:p", 13},
            {"<w:p><w:pPr/><w:pStyle/></w:pPr></w:p>", "w:p", 38},
            {"<w:p>x</w:pPr></w:r>", "w:p", NONE},
            {"<w:p><w:p>x</w:p>", "w:p", NONE},
            {"<w:p>x</w:p", "w:p", NONE},
        },
        [](const std::string &t, const char *name) {
            return docx_find_close(t.data() + 1, text_end(t), name);
        });
}

TEST(Xml, ElementEndStepsOverSelfClosingAndFullElements) {
    expect_offsets(
        {
            {"<w:tbl/><w:tbl></w:tbl>", "w:tbl", 8},
            {"<w:tbl ><w:tr/></w:tbl>", "w:tbl", 23},
            {"<w:tbl", "w:tbl", NONE},
            {"<w:tbl>", "w:tbl", NONE},
        },
        [](const std::string &t, const char *name) {
            return docx_element_end(t.data(), text_end(t), name);
        });
}

struct AttrCase {
    std::string tag;  // the range ends at the tag's last '>'
    const char *name;
    size_t out_size;
    int rc;
    const char *value;
};

TEST(Xml, AttrValReadsRawDoubleQuotedValues) {
    const AttrCase cases[] = {
        {"<w:pStyle w:val=\"Heading1\"/>", "w:val", 64, 0, "Heading1"},
        {"<w:b/>", "w:val", 64, -1, ""},
        {"<w:pStyle w:val=\"Heading1\"/>", "w:val", 4, 0, "Hea"},
        {"<w:pStyle w:val=\"Heading1\"/>", "w:val", 1, 0, ""},
        {"<w:x w:val='1'/>", "w:val", 64, -1, ""},
        {"<w:x w:val = \"1\"/>", "w:val", 64, -1, ""},
        {"<w:x w:val=\"open/>", "w:val", 64, 0, "open/"},
        {"<w:x w:val=\"A&amp;B\"/>", "w:val", 64, 0, "A&amp;B"},
        {"<w:br w:type=\"page\" w:val=\"x\"/>", "w:type", 64, 0, "page"},
        {"<w:x/><w:y w:val=\"outside\"/>", "w:val", 64, -1, ""},
    };
    for (const AttrCase &c : cases) {
        SCOPED_TRACE(c.tag);
        char out[64] = "untouched";
        const char *gt = c.tag.data() + c.tag.find('>');
        EXPECT_EQ(docx_attr_val(c.tag.data(), gt, c.name, out, c.out_size), c.rc);
        EXPECT_STREQ(out, c.value);
    }
}

TEST(Xml, AttrValArgumentErrorsLeaveTheOutputAlone) {
    std::string tag = "<w:x w:val=\"1\"/>";
    const char *end = tag.data() + tag.size();
    std::string long_name(124, 'n');
    char out[8] = "keep";
    EXPECT_EQ(docx_attr_val(tag.data(), end, long_name.c_str(), out, sizeof out), -1);
    EXPECT_EQ(docx_attr_val(tag.data(), end, "w:val", out, 0), -1);
    EXPECT_EQ(docx_attr_val(nullptr, end, "w:val", out, sizeof out), -1);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(docx_attr_val(end, tag.data(), "w:val", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
}

struct BodyCase {
    const char *what;
    std::string xml;
    std::string content;  // when the call succeeds
    const char *error;    // null on success
};

const std::string para_break =
    "<w:p><w:pPr><w:sectPr><w:pgSz w:w=\"1\"/></w:sectPr></w:pPr><w:r><w:t>a</w:t></w:r></w:p>";

TEST(Xml, ExtractBodyInnerEndsAtTheBodysOwnSectPr) {
    const BodyCase cases[] = {
        {"final sectPr", "<w:body><w:p/><w:tbl/><w:sectPr><w:cols/></w:sectPr></w:body>",
         "<w:p/><w:tbl/>", nullptr},
        {"no sectPr", "<w:document><w:body><w:p>x</w:p></w:body></w:document>", "<w:p>x</w:p>",
         nullptr},
        {"sectPr only in the last paragraph", "<w:body>" + para_break + "</w:body>", para_break,
         nullptr},
        {"sectPr in a paragraph and in the body",
         "<w:body>" + para_break + "<w:p/><w:sectPr/></w:body>", para_break + "<w:p/>", nullptr},
        {"sectPr in a table cell",
         "<w:body><w:tbl><w:tr><w:tc>" + para_break + "</w:tc></w:tr></w:tbl></w:body>",
         "<w:tbl><w:tr><w:tc>" + para_break + "</w:tc></w:tr></w:tbl>", nullptr},
        {"comments and instructions are skipped",
         "<w:body><!-- <w:sectPr/> </w:body> --><?pi <w:sectPr/>?><w:p/></w:body>",
         "<!-- <w:sectPr/> </w:body> --><?pi <w:sectPr/>?><w:p/>", nullptr},
        {"final sectPr without end tag of the body", "<w:body><w:p/><w:sectPr/>", "<w:p/>",
         nullptr},
        {"empty body", "<w:body></w:body>", "", nullptr},
        {"self-closing body", "<w:body/>", "", "unclosed w:body"},
        {"no end tag", "<w:body><w:p/>", "", "unclosed w:body"},
        {"unclosed paragraph", "<w:body><w:p><w:r></w:body>", "", "unclosed w:body"},
        {"no body", "<w:document><w:p/></w:document>", "", "no w:body in document"},
        {"body tag without '>'", "<w:body ", "", ""},
    };
    for (const BodyCase &c : cases) {
        SCOPED_TRACE(c.what);
        docx_clear_error();
        size_t len = 99;
        docx_heap got = docx_extract_body_inner(c.xml.data(), c.xml.size(), &len);
        if (c.error) {
            EXPECT_EQ(got, nullptr);
            EXPECT_EQ(len, 0u);
            EXPECT_STREQ(docx_last_error(), c.error);
            continue;
        }
        ASSERT_NE(got, nullptr) << docx_last_error();
        EXPECT_EQ(std::string(got.get(), len), c.content);
        EXPECT_EQ(got.get()[len], 0);
    }
}

TEST(Xml, BodyRangeIsTheContentOfTheFirstBody) {
    struct {
        std::string xml;
        int rc;
        std::string content;
    } const cases[] = {
        {"<w:body a=\"1\"><w:p/></w:body><w:body>x</w:body>", 1, "<w:p/>"},
        {"<w:body><w:p/>", 1, "<w:p/>"},
        {"<w:body/></w:document>", 1, ""},
        {"<w:document/>", 0, ""},
        {"<w:body", 0, ""},  // the name reaches the end: no start tag
        {"<w:body ", -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.xml);
        const char *s = nullptr, *e = nullptr;
        ASSERT_EQ(docx_body_range(c.xml.data(), c.xml.size(), &s, &e), c.rc);
        if (c.rc == 1) {
            EXPECT_EQ(std::string(s, e), c.content);
        }
    }
}

struct ConvertCase {
    std::string in;
    std::string out;
};

std::string escaped(const std::string &text) {
    docx_buf b;
    docx_xml_escape(text.data(), text.size(), &b);
    return std::string(b.view());
}

std::string decoded(const std::string &text) {
    docx_buf b;
    docx_xml_decode_entities(text.data(), text.size(), &b);
    return std::string(b.view());
}

TEST(Xml, EscapeWritesMarkupCharactersAsEntitiesAndDropsControls) {
    const ConvertCase cases[] = {
        {"a<b & c>", "a&lt;b &amp; c&gt;"}, {"say \"it's\"", "say &quot;it&apos;s&quot;"},
        {"\x01\t\x0b\n\x1f\r", "\t\n\r"},   {"caf\xc3\xa9\x7f", "caf\xc3\xa9\x7f"},
        {"nul\0byte"s, "nulbyte"},          {"", ""},
    };
    for (const ConvertCase &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(escaped(c.in), c.out);
    }
    docx_buf b;
    docx_xml_escape(static_cast<const char *>(nullptr), &b);
    docx_xml_escape("x&y", &b);
    EXPECT_EQ(b.view(), "x&amp;y");
}

TEST(Xml, DecodeResolvesPredefinedAndCharacterReferences) {
    const ConvertCase cases[] = {
        {"&lt;w:t&gt; &amp;amp;", "<w:t> &amp;"},
        {"&quot;&apos;", "\"'"},
        {"&#65;&#x41;&#X41;", "AAA"},
        {"&#xE9;|&#8364;|&#xD800;", "\xc3\xa9|\xe2\x82\xac|\xed\xa0\x80"},
        {"&#x7FF;&#x800;&#xFFFF;", "\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"},
        {"a&#x1F600;b&#0;c&#;d&#xZZ;e", "abcde"},
        {"&# 65;&#+65;&#x0x41;&#-65;&#99999999999;", "AAA"},
        {"&nbsp; &AMP; &amp a& & b", "&nbsp; &AMP; &amp a& & b"},
        {"&#x" + std::string(11, '0') + "41;|", "A|"},  // ';' 16 bytes after the '&'
        {"&#x" + std::string(12, '0') + "41;|", "&#x" + std::string(12, '0') + "41;|"},
        {"&amp;&", "&&"},
        {"\xc3\xa9&lt;", "\xc3\xa9<"},
    };
    for (const ConvertCase &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(decoded(c.in), c.out);
    }
}

TEST(Xml, DecodeReadsOnlyTheGivenBytes) {
    std::string text = "&amp;&lt;";
    docx_buf b;
    docx_xml_decode_entities(text.data(), 4, &b);  // "&amp" without its ';'
    EXPECT_EQ(b.view(), "&amp");
}

}  // namespace
