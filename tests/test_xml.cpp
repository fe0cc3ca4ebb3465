// test_xml.cpp -- tag scanning, attribute values, the body content of a
// merge input, escaping and entity decoding.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <random>
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

TEST(Xml, BodyInnerRangeEndsAtTheBodysOwnSectPr) {
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
        {"body tag without '>'", "<w:body ", "", "unclosed w:body"},
    };
    for (const BodyCase &c : cases) {
        SCOPED_TRACE(c.what);
        docx_clear_error();
        const char *start = nullptr;
        size_t len = 0;
        int rc = docx_body_inner_range(c.xml.data(), c.xml.size(), &start, &len);
        if (c.error) {
            EXPECT_EQ(rc, -1);
            EXPECT_STREQ(docx_last_error(), c.error);
            continue;
        }
        ASSERT_EQ(rc, 0) << docx_last_error();
        EXPECT_EQ(std::string(start, len), c.content);
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
    const std::string FFFD = "\xEF\xBF\xBD";
    const ConvertCase cases[] = {
        {"a<b & c>", "a&lt;b &amp; c&gt;"},
        {"say \"it's\"", "say &quot;it&apos;s&quot;"},
        {"\x01\t\x0b\n\x1f\r", "\t\n\r"},
        {"caf\xc3\xa9\x7f", "caf\xc3\xa9\x7f"},
        {"nul\0byte"s, "nulbyte"},
        {"", ""},
        // Bytes that are no character XML allows become U+FFFD, one a byte.
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"a\xFF"
         "b\x80",
         "a" + FFFD + "b" + FFFD},
        {"\xC0\xAF", FFFD + FFFD},                            // overlong '/'
        {"\xED\xA0\x80", FFFD + FFFD + FFFD},                 // a surrogate
        {"\xEF\xBF\xBF<\xEF\xBF\xBE", FFFD + "&lt;" + FFFD},  // U+FFFF, U+FFFE
        {"end \xE2\x82", "end " + FFFD + FFFD},               // cut short
        {"\xFA\x97\x97\x97", FFFD + FFFD + FFFD + FFFD},      // no lead byte since 2003
        {"\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},      // beyond U+10FFFF
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

// The scanners skip most of the text 16 bytes at a time; these plain
// one-'<'-at-a-time readings of the same rules must agree with them at every
// offset, also near the end of a range.
bool ref_name_end(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '/' || c == '>';
}
bool ref_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

const char *ref_find_tag(const char *s, const char *e, std::string_view n) {
    for (const char *p = s; p < e; ++p) {
        if (*p != '<') continue;
        if (static_cast<size_t>(e - p) <= n.size() + 1) return nullptr;
        if (p[1] == '!' || p[1] == '/' || p[1] == '?') continue;
        if (std::string_view(p + 1, n.size()) == n && ref_name_end(p[1 + n.size()])) return p;
    }
    return nullptr;
}

const char *ref_find_close(const char *s, const char *e, std::string_view n) {
    int depth = 1;
    const char *cur = s;
    while (cur < e) {
        const char *p =
            static_cast<const char *>(std::memchr(cur, '<', static_cast<size_t>(e - cur)));
        if (!p) return nullptr;
        size_t r = static_cast<size_t>(e - p);
        if (r > n.size() + 2 && p[1] == '/') {
            if (std::string_view(p + 2, n.size()) == n &&
                (p[2 + n.size()] == '>' || ref_space(p[2 + n.size()]))) {
                if (--depth == 0) {
                    const char *gt = static_cast<const char *>(std::memchr(p, '>', r));
                    return gt ? gt + 1 : nullptr;
                }
                cur = p + 2;
            } else {
                cur = p + 1;
            }
            continue;
        }
        cur = p + 1;
        char t = r > n.size() + 1 ? p[1 + n.size()] : 0;
        if (r > n.size() + 1 && p[1] != '/' && p[1] != '!' &&
            std::string_view(p + 1, n.size()) == n && (t == '/' || t == '>' || ref_space(t))) {
            const char *gt = static_cast<const char *>(std::memchr(p, '>', r));
            if (gt && gt[-1] == '/')
                cur = gt + 1;
            else
                ++depth;
        }
    }
    return nullptr;
}

TEST(Xml, ScannersAgreeWithPlainReadingsOnRandomMarkup) {
    const char *pieces[] = {"<w:p>",  "</w:p>", "<w:p/>",    "<w:pPr>", "</w:pPr>", "<w:p\t",
                            "</w:p ", "<w:r>",  "</w:r>",    "x",       " ",        "<",
                            ">",      "/",      "</w:body>", "<w:p\v",  "<!--"};
    std::mt19937 rng(7);
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        size_t count = rng() % 60;
        for (size_t i = 0; i < count; ++i) text += pieces[rng() % std::size(pieces)];
        const char *b = text.data(), *e = b + text.size();
        for (size_t from = 0; from <= text.size(); from += 1 + rng() % 7) {
            for (const char *name : {"w:p", "w:pPr", "w:r"}) {
                ASSERT_EQ(docx_find_tag(b + from, e, name), ref_find_tag(b + from, e, name))
                    << text << " @" << from;
                if (from < text.size()) {
                    ASSERT_EQ(docx_find_close(b + from, e, name), ref_find_close(b + from, e, name))
                        << text << " @" << from << " " << name;
                }
            }
            std::string_view hay(b + from, text.size() - from);
            size_t at = hay.find("</w:body>");
            ASSERT_EQ(docx_find_bytes(b + from, e, "</w:body>"),
                      at == std::string_view::npos ? nullptr : b + from + at);
        }
    }
}

}  // namespace
