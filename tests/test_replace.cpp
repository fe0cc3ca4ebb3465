// test_replace.cpp -- find and replace across runs: segments, references in
// the raw text, case and word boundaries, rewriting of edited text elements,
// argument checks, and a replace over every real-world document.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "docx_internal.h"
#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

using testkit::TempDir;

std::string p(const std::string &inner) {
    return "<w:p>" + inner + "</w:p>";
}
std::string r(const std::string &text) {
    return "<w:r><w:t>" + text + "</w:t></w:r>";
}
std::string repeat(std::string_view text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
}
std::string join(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view part : parts) out += part;
    return out;
}
std::string bold(const std::string &text) {
    return "<w:r><w:rPr><w:b/></w:rPr><w:t>" + text + "</w:t></w:r>";
}

struct Outcome {
    int count;
    std::string body;  // the output's main part, or the error message
};

// Replaces in a one-part package built around `body`; the result's main part
// is compared as a whole, so every byte outside the body counts too.
class Replace : public testing::Test {
  protected:
    Outcome replace(const std::string &body, const char *find, const char *repl, int match_case = 1,
                    int whole_word = 0) {
        std::string in = testkit::write_docx(dir_.file("in.docx"), testkit::document_xml(body));
        std::string out = dir_.file("out.docx");
        std::filesystem::remove(out);
        int h = docx_open(in.c_str());
        if (h < 0) return {-1, docx_last_error()};
        int n = docx_text_replace_opt(h, find, repl, out.c_str(), match_case, whole_word);
        std::string error = docx_last_error();
        docx_close(h);
        if (n < 0) return {n, error};
        return {n, testkit::read_entry(out, "word/document.xml")};
    }
    void expect(const std::string &body, const char *find, const char *repl, int count,
                const std::string &expected_body, int match_case = 1, int whole_word = 0) {
        Outcome o = replace(body, find, repl, match_case, whole_word);
        EXPECT_EQ(o.count, count) << o.body;
        EXPECT_EQ(o.body, testkit::document_xml(expected_body));
    }
    TempDir dir_;
};

// MARK: - Segments

TEST_F(Replace, MatchSpansRunsAndTakesTheFirstRunsFormatting) {
    // The runs after the first are removed where they held nothing but run
    // properties and the text; a run holding anything else keeps it.
    expect(p(r("He") + bold("l") + r("lo") + r(" world")), "Hello", "Hi", 1,
           p(r("Hi") + r(" world")));
    expect(p(bold("He") + "<w:r><w:t>llo</w:t><w:lastRenderedPageBreak/></w:r>"), "Hello", "Hi", 1,
           p(bold("Hi") + "<w:r><w:lastRenderedPageBreak/></w:r>"));
    // Markup that is no text and no break lies inside the segment.
    expect(p(r("fo") + "<w:proofErr w:type=\"spellStart\"/><w:bookmarkStart w:id=\"0\"/>" +
             r("ob") + "<!-- note -->" + r("ar")),
           "foobar", "x", 1,
           p(r("x") + "<w:proofErr w:type=\"spellStart\"/><w:bookmarkStart w:id=\"0\"/>" +
             "<!-- note -->"));
    // Empty text elements break nothing, and one inside a match keeps its run.
    std::string empties = "<w:r><w:t/></w:r><w:r><w:t></w:t></w:r>";
    expect(p(r("fo") + empties + r("o")), "foo", "X", 1, p(r("X") + empties));
}

TEST_F(Replace, BreakingElementsEndTheSegment) {
    const char *separators[] = {
        "<w:r><w:tab/></w:r>",
        "<w:r><w:br/></w:r>",
        "<w:r><w:br w:type=\"page\"/></w:r>",
        "<w:r><w:cr/></w:r>",
        "<w:r><w:ptab w:alignment=\"right\"/></w:r>",
        "<w:r><w:sym w:font=\"Wingdings\" w:char=\"F0E0\"/></w:r>",
        "<w:r><w:noBreakHyphen/></w:r>",
        "<w:r><w:fldChar w:fldCharType=\"begin\"/></w:r>",
        "<w:r><w:instrText>PAGE</w:instrText></w:r>",
        "<w:fldSimple w:instr=\"PAGE\"></w:fldSimple>",
        "<w:del w:id=\"1\"><w:r><w:delText>gone</w:delText></w:r></w:del>",
        "<w:r><w:drawing><wp:inline/></w:drawing></w:r>",
        "<w:r><w:pict/></w:r>",
        "<w:r><w:object/></w:r>",
    };
    for (const char *sep : separators) {
        SCOPED_TRACE(sep);
        std::string body = p(r("foo") + sep + r("bar"));
        expect(body, "foobar", "x", 0, body);
        expect(body, "bar", "x", 1, p(r("foo") + sep + r("x")), 1, 1);
    }
    // Within one run too.
    std::string one_run = p("<w:r><w:t>foo</w:t><w:tab/><w:t>bar</w:t></w:r>");
    expect(one_run, "foobar", "x", 0, one_run);
}

TEST_F(Replace, TextElementHoldingMarkupIsLeftAlone) {
    // Well-formed, though no schema allows it: replacing inside the tag would
    // break the XML, so the element is neither searched nor joined across.
    std::string odd = "<w:r><w:t>Qu<v:imagedata r:id=\"rId2\"/>ick</w:t></w:r>";
    expect(p(r("ca") + odd + r("ta")), "a", "X", 2, p(r("cX") + odd + r("tX")));
    expect(p(r("Qu") + odd), "QuQu", "X", 0, p(r("Qu") + odd));
}

// A text box's paragraphs are their own segments, both in the drawing and in
// its VML fallback, and the outer text on either side does not meet.
TEST_F(Replace, TextBoxParagraphsAreSeparateSegments) {
    auto doc = [](const std::string &inner) {
        std::string box = "<w:txbxContent><w:p>" + inner + "</w:p></w:txbxContent>";
        return p(r("ab") + "<w:r><mc:AlternateContent><mc:Choice Requires=\"wps\"><w:drawing>" +
                 box + "</w:drawing></mc:Choice><mc:Fallback><w:pict>" + box +
                 "</w:pict></mc:Fallback></mc:AlternateContent></w:r>" + r("ef"));
    };
    expect(doc(r("cd")), "cd", "CD", 2, doc(r("CD")));
    expect(doc(r("cd")), "abcd", "x", 0, doc(r("cd")));
    expect(doc(r("cd")), "abef", "x", 0, doc(r("cd")));
    // Without a drawing around it, a nested paragraph still separates.
    std::string nested = p(r("ab") + "<w:r><w:txbxContent><w:p>" + r("cd") +
                           "</w:p></w:txbxContent></w:r>" + r("ef"));
    expect(nested, "bc", "x", 0, nested);
    expect(nested, "de", "x", 0, nested);
    // The run search meets the run holding the box first, and the first run
    // end tag after it is the inner run's: that pair encloses the element but
    // holds the box, so only the element goes and the inner run stays.
    expect(
        nested, "cd", "", 1,
        p(r("ab") + "<w:r><w:txbxContent><w:p><w:r></w:r></w:p></w:txbxContent></w:r>" + r("ef")));
}

TEST_F(Replace, WrappersStayAroundRewrittenText) {
    std::string link =
        "<w:hyperlink r:id=\"rId9\"><w:r><w:rPr><w:rStyle w:val=\"Hyperlink\"/>"
        "</w:rPr><w:t>click here</w:t></w:r></w:hyperlink>";
    expect(p(link), "here", "now", 1,
           p("<w:hyperlink r:id=\"rId9\"><w:r><w:rPr><w:rStyle w:val=\"Hyperlink\"/>"
             "</w:rPr><w:t>click now</w:t></w:r></w:hyperlink>"));
    std::string ins = "<w:ins w:id=\"1\" w:author=\"A\"><w:r><w:t>new</w:t></w:r></w:ins>";
    expect(p(r("brand ") + ins), "brand new", "old", 1,
           p(r("old") + "<w:ins w:id=\"1\" w:author=\"A\"></w:ins>"));
    // Content controls and smart tags likewise.
    std::string sdt = "<w:sdt><w:sdtContent><w:r><w:t>value</w:t></w:r></w:sdtContent></w:sdt>";
    expect(p(sdt), "value", "v", 1,
           p("<w:sdt><w:sdtContent><w:r><w:t>v</w:t></w:r></w:sdtContent></w:sdt>"));
}

// MARK: - References in the raw text

TEST_F(Replace, ReferencesAreMatchedDecodedAndReplacedWhole) {
    struct Case {
        std::string raw;
        const char *find, *repl;
        int count;
        std::string expected;
    } cases[] = {
        {"a&amp;b", "&", "+", 1, "a+b"},
        {"a&amp;b", "a&b", "x", 1, "x"},
        {"x &lt;tag&gt;", "<tag>", "t", 1, "x t"},
        {"&quot;q&apos;", "\"q'", "Q", 1, "Q"},
        {"caf&#233; &#xE9;", "\xC3\xA9", "e", 2, "cafe e"},
        {"caf&#233;", "caf", "tea", 1, "tea&#233;"},  // the rest keeps its raw form
        // A match ending inside a reference's bytes takes the whole reference.
        {"caf&#233;s", "caf\xC3", "X", 1, "Xs"},
        {"&#65;&#x42;C", "ABC", "abc", 1, "abc"},
        // References this decoder does not know stay as they are written.
        {"&AMP;&nbsp;", "&AMP;&nbsp;", "ok", 1, "ok"},
        {"&#0;&#65536;", "&#0;&#65536;", "ok", 1, "ok"},
        {"&amp", "&amp", "ok", 1, "ok"},
        {"&#65;", "&#65;", "ok", 0, "&#65;"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.raw + " / " + c.find);
        expect(p(r(c.raw) + r("!")), c.find, c.repl, c.count, p(r(c.expected) + r("!")));
    }
}

// Only elements holding references keep maps from decoded to raw bytes: a
// match over runs with and without them finds each run's raw offsets.
TEST_F(Replace, MatchOverRunsWithAndWithoutReferences) {
    std::string body = p(r("x&amp;y") + r("a") + bold("&lt;b"));
    expect(body, "a<", "Z", 1, p(r("x&amp;y") + r("Z") + bold("b")));
    expect(body, "a<b", "Z", 1, p(r("x&amp;y") + r("Z")));
    expect(body, "ya<", "Z", 1, p(r("x&amp;Z") + bold("b")));
}

// MARK: - Case and word boundaries

TEST_F(Replace, CaseFoldingAndWholeWords) {
    const std::string NO_BREAK_SPACE = "\xC2\xA0", COMBINING_ACUTE = "\xCC\x81",
                      SOFT_HYPHEN = "\xC2\xAD", ZERO_WIDTH_NON_JOINER = "\xE2\x80\x8C";
    struct Case {
        std::string body;
        const char *find;
        int match_case, whole_word, count;
    } cases[] = {
        {p(r("aaaa")), "aa", 1, 0, 2},
        {p(r("aaa")), "aa", 1, 0, 1},
        {p(r("hello Hello HELLO")), "HELLO", 0, 0, 3},
        {p(r("hello Hello HELLO")), "hello", 1, 0, 1},
        {p(r("\xC3\xA9")), "\xC3\x89", 0, 0, 0},  // é is not folded onto É
        {p(r("the cat.")), "cat", 1, 1, 1},
        {p(r("cat_food")), "cat", 1, 1, 1},
        {p(r("cats")), "cat", 1, 1, 0},
        {p(r("concat")), "cat", 1, 1, 0},
        {p(r("\xC3\xA9"
             "cat")),
         "cat", 1, 1, 0},
        {p(r("Cat CAT cat")), "cat", 0, 1, 3},
        // Non-ASCII punctuation, symbols and spaces part words; letters,
        // marks, joiners, soft hyphens and malformed bytes do not.
        {p(r("“cat”")), "cat", 1, 1, 1},
        {p(r("«cat»")), "cat", 1, 1, 1},
        {p(r("cat—dog")), "dog", 1, 1, 1},
        {p(r("cat" + NO_BREAK_SPACE + "dog")), "cat", 1, 1, 1},
        {p(r("قط،")), "قط", 1, 1, 1},    // Arabic comma
        {p(r("😀cat")), "cat", 1, 1, 1},  // a symbol of four bytes
        {p(r("𝐀cat")), "cat", 1, 1, 0},  // a letter of four bytes
        {p(r("cat" + COMBINING_ACUTE)), "cat", 1, 1, 0},
        {p(r("cat" + SOFT_HYPHEN + "s")), "cat", 1, 1, 0},
        {p(r("cat" + ZERO_WIDTH_NON_JOINER)), "cat", 1, 1, 0},
        {p(r(repeat("\x80", 4) + "cat")), "cat", 1, 1, 0},  // stray continuation bytes
        {p(r("\xC0\xAE"                                     // '.' written in two bytes
             "cat")),
         "cat", 1, 1, 0},
        {p(r("cat\xE2\x80")), "cat", 1, 1, 0},   // a character cut short
        {p(r("ca") + r("ts")), "cat", 1, 1, 0},  // the boundary is looked for across runs
        {p(r("cat") + r("s")), "cat", 1, 1, 0},
        {p("<w:r><w:t>foo</w:t><w:tab/><w:t>bar</w:t></w:r>"), "bar", 1, 1, 1},
        {p(r("short")), "much longer than the text", 1, 0, 0},
        // Matches start only at character starts: the second byte of é is
        // never tried.
        {p(r("\xC3\xA9")), "\xA9", 1, 0, 0},
        // Long texts are searched 16 bytes at a time where they are ASCII:
        // matches past the first block, in either case, next to non-ASCII
        // text, and split over runs, are all found.
        {p(r(join({repeat("x", 40), "Fox", repeat("y", 30), "fOX"}))), "fox", 0, 0, 2},
        {p(r(join({repeat("x", 40), "Fox", repeat("y", 30), "fox"}))), "fox", 1, 0, 1},
        {p(r(join({repeat("x", 17), "\xC3\xA9t", repeat("x", 20), "\xC3\xA9t"}))), "\xC3\xA9t", 1,
         0, 2},
        {p(r(join({repeat("\xC3\xA9", 12), "cat", repeat(" ", 20), "cat"}))), "cat", 1, 1, 1},
        {p(r(join({repeat("a", 20), "\xC3\xA9", repeat("a", 20)}))), "\xA9", 1, 0, 0},
        {p(r(join({repeat("-", 30), "ca"})) + bold(join({"t", repeat("-", 30)}))), "CAT", 0, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body + " / " + c.find);
        EXPECT_EQ(replace(c.body, c.find, "_", c.match_case, c.whole_word).count, c.count);
    }
}

TEST_F(Replace, CountsEveryParagraphAndCell) {
    std::string cell = "<w:tc><w:tcPr/>" + p(r("one")) + "</w:tc>";
    std::string body = p(r("one, and one")) + "<w:tbl><w:tr>" + cell + "</w:tr></w:tbl>";
    EXPECT_EQ(replace(body, "one", "1").count, 3);
}

// MARK: - Rewriting text elements

TEST_F(Replace, EmptyReplacementDropsEmptiedElementsAndSoleRuns) {
    expect(p(bold("gone") + r(" kept")), "gone", "", 1, p(r(" kept")));
    // A run with anything besides its properties and the text keeps it.
    expect(p("<w:r><w:rPr><w:b/></w:rPr><w:tab/><w:t>gone</w:t></w:r>"), "gone", "", 1,
           p("<w:r><w:rPr><w:b/></w:rPr><w:tab/></w:r>"));
    // A w:t outside any run goes alone.
    expect(p("<w:t>gone</w:t>"), "gone", "", 1, p(""));
    // Deleting part of a text keeps the rest, preserving its edge space.
    expect(p(r("gone away")), "gone", "", 1,
           p("<w:r><w:t xml:space=\"preserve\"> away</w:t></w:r>"));
}

TEST_F(Replace, ReplacementIsEscapedAndEdgeSpacePreserved) {
    expect(p(r("x")), "x", " <a & 'b'>", 1,
           p("<w:r><w:t xml:space=\"preserve\"> &lt;a &amp; &apos;b&apos;&gt;</w:t></w:r>"));
    expect(p(r("x")), "x", "tail\t", 1, p("<w:r><w:t xml:space=\"preserve\">tail\t</w:t></w:r>"));
    // An xml:space attribute already there is kept as it stands.
    expect(p("<w:r><w:t xml:space=\"preserve\">x y</w:t></w:r>"), "x", "z", 1,
           p("<w:r><w:t xml:space=\"preserve\">z y</w:t></w:r>"));
    expect(p("<w:r><w:t xml:space=\"default\">x</w:t></w:r>"), "x", " z", 1,
           p("<w:r><w:t xml:space=\"default\"> z</w:t></w:r>"));
}

TEST_F(Replace, UntouchedBytesStayAsTheyWere) {
    std::string odd =
        "<w:p w:rsidR=\"00AB\" ><w:pPr><w:jc w:val=\"center\" /></w:pPr>\r\n"
        "<w:r ><w:rPr><w:i/></w:rPr><w:t xml:space='preserve'>  a &amp; b  </w:t>"
        "</w:r><!-- <w:t>hello</w:t> is not a comment's --></w:p>";
    std::string hit = p(r("x &#233; hello y") + r("more &amp; more"));
    std::string body =
        odd + "<w:p/>" + hit + "<w:tbl><w:tr><w:tc>" + odd + "</w:tc></w:tr></w:tbl>";
    // A comment is not skipped: the w:t written inside it counts as text.
    Outcome o = replace(body, "hello", "bye");
    EXPECT_EQ(o.count, 3);
    std::string odd_out = odd;
    odd_out.replace(odd_out.find("<w:t>hello"), 10, "<w:t>bye");
    EXPECT_EQ(o.body, testkit::document_xml(
                          odd_out + "<w:p/>" + p(r("x &#233; bye y") + r("more &amp; more")) +
                          "<w:tbl><w:tr><w:tc>" + odd_out + "</w:tc></w:tr></w:tbl>"));
    expect(body, "nowhere", "x", 0, body);
}

// A paragraph of many runs comes out exactly as planned: every second run
// merges into the one before it.
TEST_F(Replace, LongParagraphOfSplitMatches) {
    std::string in, expected;
    for (int i = 0; i < 100000; ++i) {
        in += r("x") + bold("y");
        expected += r("Z");
        if (i % 1000 == 0) {  // an unmatched run that is no sole run stays whole
            in += "<w:r><w:t>q</w:t><w:tab/></w:r>";
            expected += "<w:r><w:t>q</w:t><w:tab/></w:r>";
        }
    }
    expect(p(in), "xy", "Z", 100000, p(expected));
}

// MARK: - The calls

TEST_F(Replace, ArgumentsAreCheckedInOrder) {
    std::string in = testkit::write_docx(dir_.file("in.docx"), testkit::document_xml(p(r("a"))));
    std::string out = dir_.file("out.docx");
    int h = docx_open(in.c_str());
    ASSERT_GE(h, 0) << docx_last_error();
    const char *null_arg = "NULL argument to docx_text_replace_opt";
    struct Case {
        int handle;
        const char *find, *repl, *out;
        const char *message;
    } cases[] = {
        {h, nullptr, "x", out.c_str(), null_arg},
        {h, "a", nullptr, out.c_str(), null_arg},
        {h, "a", "x", nullptr, null_arg},
        {-1, nullptr, "x", out.c_str(), null_arg},
        {-1, "", "x", out.c_str(), "empty find string"},
        {-1, "a", "x", out.c_str(), "invalid handle"},
        {64, "a", "x", out.c_str(), "invalid handle"},
        {h + 1, "a", "x", out.c_str(), "invalid handle"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(docx_text_replace(c.handle, c.find, c.repl, c.out), -1);
        EXPECT_STREQ(docx_last_error(), c.message);
        EXPECT_EQ(docx_text_replace_opt(c.handle, c.find, c.repl, c.out, 0, 1), -1);
        EXPECT_STREQ(docx_last_error(), c.message);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
    docx_close(h);
    EXPECT_EQ(docx_text_replace(h, "a", "x", out.c_str()), -1);
    EXPECT_STREQ(docx_last_error(), "invalid handle");
}

TEST_F(Replace, HandleKeepsTheDocumentAsOpened) {
    std::string in =
        testkit::write_docx(dir_.file("in.docx"), testkit::document_xml(p(r("Hello"))));
    std::string out = dir_.file("out.docx");
    int h = docx_open(in.c_str());
    ASSERT_GE(h, 0) << docx_last_error();
    EXPECT_EQ(docx_text_replace(h, "hello", "Bye", out.c_str()), 0);
    EXPECT_EQ(docx_text_replace_opt(h, "hello", "Bye", out.c_str(), 0, 0), 1);
    EXPECT_STREQ(docx_last_error(), "");
    EXPECT_EQ(docx_text_replace(h, "Bye", "Ciao", out.c_str()), 0);
    // Writing over the opened file leaves the handle reading what it read.
    EXPECT_EQ(docx_text_replace(h, "Hello", "Bye", in.c_str()), 1);
    EXPECT_STREQ(docx_content(h, 1), "Hello\n");
    docx_close(h);
    EXPECT_EQ(testkit::content_of(in, 1), "Bye\n");
}

// A find of broken UTF-8 that ends inside a character takes the whole
// character, written raw or as a reference, so that no part of one is left
// behind and the next match starts after it.
TEST_F(Replace, MatchEndingInsideACharacterTakesItWhole) {
    expect(p(r("caf\xC3\xA9s")), "caf\xC3", "X", 1, p(r("Xs")));
    expect(p(r("\xA9&#233;&#233;")), "\xA9\xC3", "x", 1, p(r("x&#233;")));
    expect(p(r("a\xF0\x9F\x98\x80"
               "b")),
           "a\xF0", "x", 1, p(r("xb")));
}

TEST_F(Replace, NothingMatchedStillWritesTheSamePackage) {
    std::string in = testkit::write_docx(dir_.file("in.docx"), testkit::document_xml(p(r("a"))),
                                         "<cp:coreProperties/>");
    std::string out = dir_.file("out.docx");
    int h = docx_open(in.c_str());
    ASSERT_GE(h, 0) << docx_last_error();
    EXPECT_EQ(docx_text_replace(h, "zzz", "x", out.c_str()), 0);
    docx_close(h);
    EXPECT_EQ(testkit::read_zip(out), testkit::read_zip(in));
}

// Every failed growth fails the call with a message and writes nothing.
TEST_F(Replace, OutOfMemoryFailsCleanly) {
    std::string body = p(r("He") + bold("l") + r("lo &amp; more")) + p(r("x"));
    std::string in = testkit::write_docx(dir_.file("in.docx"), testkit::document_xml(body));
    std::string out = dir_.file("out.docx");
    int h = docx_open(in.c_str());
    ASSERT_GE(h, 0) << docx_last_error();
    int n = -1;
    for (long fail_at = 0; n < 0 && fail_at < 1000; ++fail_at) {
        docx_buf_fail_growth_after(fail_at);
        n = docx_text_replace(h, "Hello", "<Bye>", out.c_str());
        docx_buf_fail_growth_after(-1);
        if (n >= 0) break;
        SCOPED_TRACE(fail_at);
        EXPECT_NE(std::string(docx_last_error()).find("out of memory"), std::string::npos)
            << docx_last_error();
        EXPECT_FALSE(std::filesystem::exists(out));
    }
    docx_close(h);
    EXPECT_EQ(n, 1);
}

// MARK: - Real-world documents

// The most frequent word of four or more ASCII letters.
std::string frequent_word(const std::string &text) {
    std::map<std::string, int> seen;
    std::string best, word;
    for (size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : ' ';
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            word += c;
            continue;
        }
        if (word.size() >= 4 && ++seen[word] > (best.empty() ? 0 : seen[best])) best = word;
        word.clear();
    }
    return best;
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// Prints one line for every output main part that does not parse although its
// original did (expat: the parser under xml.dom.minidom, without the tree).
constexpr const char *WELL_FORMED_PY = R"(import sys
import xml.parsers.expat
def parse(path):
    with open(path, 'rb') as f:
        xml.parsers.expat.ParserCreate().ParseFile(f)
args = sys.argv[1:]
for original, output in zip(args[0::2], args[1::2]):
    try:
        parse(original)
    except Exception:
        continue
    try:
        parse(output)
    except Exception as e:
        print(output, e)
)";

// The main document part as docx_open finds it; "" when there is none.
std::string main_part(const std::string &docx) {
    docx_heap data, xml, part;
    size_t size = 0, len = 0;
    bool ok = docx_read_file(docx.c_str(), &data, &size) == 0 &&
              docx_zip_extract_main(data.get(), size, &xml, &len, &part) == 0;
    return ok ? std::string(xml.get(), len) : std::string();
}

// Files where the plain rendering cannot show what the replace did.
const std::map<std::string, std::string> k_rendering_differs = {
    // The replace also edits the copies that the rendering leaves out (the
    // fallback of a text box, the text a tracked move took away), so both
    // copies keep saying the same.
    {"docxrs__image_in_textbox.docx", "text box written twice"},
    {"docxrs__textbox.docx", "text box written twice"},
    {"mammoth__text-box.docx", "text box written twice"},
    {"pandoc__text_in_shape_format.docx", "text box written twice"},
    {"pandoc__track_changes_move.docx", "moved text in its old place"},
    // Only the first w:body renders; the replace covers every paragraph.
    {"poi__MultipleBodyBug.docx", "paragraphs in a second w:body"},
};
// Files that open but whose package cannot be copied.
const std::map<std::string, std::string> k_not_written = {
    {"poi__clusterfuzz-testcase-minimized-POIXWPFFuzzer-6733884933668864.docx",
     "an entry fails its CRC check, so no copy is written"},
};

TEST(ReplaceCorpus, MarkersMatchTheCountAndOutputsStayWellFormed) {
    auto files = testkit::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << testkit::corpus_dir();
    TempDir dir;
    std::string script = dir.file("check.py");
    testkit::write_file(script, WELL_FORMED_PY);
    std::vector<std::string> parts;
    size_t replaced_files = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string &file = files[i];
        std::string name = std::filesystem::path(file).filename().string();
        SCOPED_TRACE(name + " (" + testkit::corpus_note(file) + ")");
        std::string before = testkit::content_of(file, 1);
        std::string word = frequent_word(before);
        if (before.rfind("<error:", 0) == 0 || word.empty()) continue;
        const std::string marker = "QZ9MARK";
        ASSERT_EQ(before.find(marker), std::string::npos);
        std::string out = dir.file("out" + std::to_string(i) + ".docx");
        int h = docx_open(file.c_str());
        ASSERT_GE(h, 0) << docx_last_error();
        int n = docx_text_replace(h, word.c_str(), marker.c_str(), out.c_str());
        docx_close(h);
        if (k_not_written.count(name)) {
            EXPECT_EQ(n, -1);
            EXPECT_FALSE(std::filesystem::exists(out));
            continue;
        }
        ASSERT_GE(n, 0) << docx_last_error();
        ++replaced_files;
        std::string after = testkit::content_of(out, 1);
        if (k_rendering_differs.count(name) == 0) {
            EXPECT_EQ(occurrences(after, marker), static_cast<size_t>(n)) << word;
            EXPECT_EQ(occurrences(before, word) - occurrences(after, word), static_cast<size_t>(n))
                << word;
        }
        std::string main_in = main_part(file), main_out = main_part(out);
        ASSERT_FALSE(main_out.empty()) << docx_last_error();
        if (n == 0) {
            EXPECT_EQ(main_out, main_in);
            continue;
        }
        parts.push_back(dir.file("orig" + std::to_string(i) + ".xml"));
        testkit::write_file(parts.back(), main_in);
        parts.push_back(dir.file("out" + std::to_string(i) + ".xml"));
        testkit::write_file(parts.back(), main_out);
    }
    std::string cmd = "python3 '" + script + "'", log = dir.file("check.log");
    for (const auto &part : parts) cmd += " '" + part + "'";
    EXPECT_EQ(std::system((cmd + " > '" + log + "' 2>&1").c_str()), 0);
    EXPECT_EQ(testkit::read_file(log), "");
    EXPECT_GT(replaced_files, files.size() / 2);
}

}  // namespace
