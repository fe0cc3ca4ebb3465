// test_merge.cpp -- docx_merge: the merged body, the namespaces of the merged
// root, the failures of the path list and of its inputs, and well-formed
// output from real documents.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "docx_internal.h"
#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

using testkit::TempDir;

constexpr std::string_view W_NS = "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
constexpr std::string_view R_NS =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
// The final section of the inputs, unless a test gives its own.
constexpr std::string_view SECTION = "<w:sectPr><w:pgSz w:w=\"1\"/></w:sectPr>";
constexpr std::string_view LETTER_SECTION =
    "<w:sectPr><w:pgSz w:w=\"12240\" w:h=\"15840\"/><w:pgMar w:top=\"1440\" w:right=\"1440\" "
    "w:bottom=\"1440\" w:left=\"1440\"/></w:sectPr>";

std::string root_tag(std::string_view extra) {
    return "<w:document xmlns:w=\"" + std::string(W_NS) + "\" xmlns:r=\"" + std::string(R_NS) +
           "\"" + std::string(extra) + ">";
}

// A main part whose root carries `extra` after the w and r declarations.
std::string document(std::string_view body, std::string_view extra = "",
                     std::string_view body_tail = SECTION) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n" + root_tag(extra) +
           "<w:body>" + std::string(body) + std::string(body_tail) + "</w:body></w:document>";
}

std::string para(std::string_view text) {
    return "<w:p><w:r><w:t>" + std::string(text) + "</w:t></w:r></w:p>";
}

std::string json_list(const std::vector<std::string> &paths) {
    return nlohmann::json(paths).dump();
}

class Merge : public ::testing::Test {
  protected:
    TempDir dir;
    std::string out = dir.file("out.docx");

    std::string input(const std::string &name, const std::string &xml) {
        return testkit::write_docx(dir.file(name), xml);
    }
    // The merged main part, or the failure message.
    std::string merged(const std::vector<std::string> &paths) {
        if (docx_merge(json_list(paths).c_str(), out.c_str()) != 1)
            return std::string("<error: ") + docx_last_error() + ">";
        return testkit::read_entry(out, "word/document.xml");
    }
    // How many growths of memory the merge of `list` takes: every earlier one
    // that fails must leave no output.
    long growths_until_written(const std::string &list) {
        long n = 0;
        for (;; ++n) {
            SCOPED_TRACE(n);
            docx_buf_fail_growth_after(n);
            int ok = docx_merge(list.c_str(), out.c_str());
            docx_buf_fail_growth_after(-1);
            if (ok) return n;
            EXPECT_FALSE(testkit::fs::exists(out));
        }
    }
    // The merged main part: the first input's final section ends it.
    std::string expected(std::string_view body, std::string_view extra = "",
                         std::string_view section = SECTION) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n" +
               root_tag(extra) + "<w:body>" + std::string(body) + std::string(section) +
               "</w:body></w:document>";
    }
};

TEST_F(Merge, JoinsBodiesInListOrder) {
    std::string a = input("a.docx", document(para("a")));
    std::string b = input("b.docx", document(para("b1") + para("b2")));
    std::string empty = input("empty.docx", document(""));
    // A section break inside the last paragraph's properties is content.
    std::string inner =
        input("inner.docx",
              document("<w:p><w:pPr><w:sectPr/></w:pPr><w:r><w:t>s</w:t></w:r></w:p>", "", ""));
    const std::string a4_section = "<w:sectPr><w:pgSz w:w=\"11906\" w:h=\"16838\"/></w:sectPr>";
    std::string a4 = input("a4.docx", document(para("4"), "", a4_section));
    struct Case {
        const char *name;
        std::vector<std::string> paths;
        std::string body;
        std::string_view section = SECTION;
    } cases[] = {
        {"one input", {a}, para("a")},
        {"two inputs", {a, b}, para("a") + "\n" + para("b1") + para("b2")},
        {"same input twice", {b, b}, para("b1") + para("b2") + "\n" + para("b1") + para("b2")},
        {"empty body", {a, empty}, para("a") + "\n"},
        {"section break in a paragraph",
         {inner, a},
         "<w:p><w:pPr><w:sectPr/></w:pPr><w:r><w:t>s</w:t></w:r></w:p>\n" + para("a"),
         LETTER_SECTION},
        {"the first input's section ends the body",
         {a4, a},
         para("4") + "\n" + para("a"),
         a4_section},
        {"a later input's section stays behind", {a, a4}, para("a") + "\n" + para("4")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(merged(c.paths), expected(c.body, "", c.section));
        EXPECT_EQ(testkit::read_zip(out).size(), 7u);
    }
}

TEST_F(Merge, RootDeclaresTheInputsNamespacesFirstDeclarationWinning) {
    std::string mc = " xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\"";
    std::string first = input(
        "first.docx", document(para("1"), " xmlns:w14=\"urn:w14\"" + mc + " mc:Ignorable=\"w14\""));
    std::string second = input(
        "second.docx", document(para("2"),
                                " mc:Ignorable=\"w14  w15 undeclared\" xmlns:w14=\"urn:other\"\n"
                                "  xmlns:wp = 'urn:wp' xmlns:w15=\"urn:w15\"" +
                                    mc));
    std::string no_mc =
        input("nomc.docx", document(para("3"), " xmlns:a=\"urn:a\" mc:Ignorable=\"a\""));
    EXPECT_EQ(merged({first, second}),
              expected(para("1") + "\n" + para("2"),
                       " xmlns:w14=\"urn:w14\"" + mc +
                           " xmlns:wp='urn:wp' xmlns:w15=\"urn:w15\" mc:Ignorable=\"w14 w15\""));
    // Without a declared mc prefix an Ignorable list would be unbound.
    EXPECT_EQ(merged({no_mc}), expected(para("3"), " xmlns:a=\"urn:a\""));
}

// Word takes drawings that share a wp:docPr ID for damage, and every document
// numbers its own from 1; bookmark IDs pair starts with ends and must be
// unique too: the merged body numbers both anew.
TEST_F(Merge, DrawingsAndBookmarksAreNumberedOnAcrossInputs) {
    const std::string wp = " xmlns:wp=\"urn:wp\"";
    auto drawings = [](const char *first, const char *second) {
        return std::string("<w:p><w:r><w:drawing><wp:docPr id=\"") + first +
               "\" name=\"A\"/></w:drawing></w:r><w:r><w:drawing><wp:docPr name=\"id=1\" id=\"" +
               second + "\"/><wp:docPrx id=\"7\"/></w:drawing></w:r></w:p>";
    };
    // A start and end of one ID, another bookmark around it, and an ID used
    // again after its bookmark ended.
    auto bookmarks = [](int n) {
        auto id = [](int i) { return std::to_string(i); };
        return "<w:p><w:bookmarkStart w:id=\"" + id(n) +
               "\" w:name=\"a\"/><w:bookmarkStart w:name=\"b\" w:id=\"" + id(n + 1) +
               "\"/><w:bookmarkEnd w:id=\"" + id(n) + "\"/><w:bookmarkEnd w:id=\"" + id(n + 1) +
               "\"/><w:bookmarkStart w:id=\"" + id(n) + "\" w:name=\"c\"/><w:bookmarkEnd w:id=\"" +
               id(n) + "\"/><w:bookmarks w:id=\"9\"/></w:p>";
    };
    std::string a = input("a.docx", document(drawings("1", "x") + bookmarks(7), wp));
    EXPECT_EQ(
        merged({a, a}),
        expected(drawings("1", "2") + bookmarks(0) + "\n" + drawings("3", "4") + bookmarks(2), wp));
}

TEST_F(Merge, RefusesBadListsAndCreatesNothing) {
    std::string good = input("good.docx", document(para("x")));
    std::string missing = dir.file("missing.docx");
    std::string not_zip = dir.file("text.docx");
    testkit::write_file(not_zip, "plain text, no archive");
    std::string encrypted = dir.file("encrypted.docx");
    testkit::write_zip(encrypted, {{"EncryptionInfo", "x"}, {"word/document.xml", document("")}});
    std::string dtd =
        input("dtd.docx", "<?xml version=\"1.0\"?><!DOCTYPE w:document [<!ENTITY e \"x\">]>" +
                              root_tag("") + "<w:body>" + para("&e;") + "</w:body></w:document>");
    std::string cut = input("cut.docx", root_tag("") + "<w:body ");
    std::string bodiless = input("bodiless.docx", root_tag("") + "</w:document>");
    std::string good_json = nlohmann::json(good).dump();
    struct Case {
        std::string json;
        std::string message;
    } cases[] = {
        {"", "invalid paths_json (expected JSON array of paths)"},
        {"[", "invalid paths_json (expected JSON array of paths)"},
        {"[" + good_json + ",]", "invalid paths_json (expected JSON array of paths)"},
        {"[/* c */" + good_json + "]", "invalid paths_json (expected JSON array of paths)"},
        {"[" + good_json + "] x", "invalid paths_json (expected JSON array of paths)"},
        {"[]", "paths_json must be a non-empty JSON array"},
        {"{}", "paths_json must be a non-empty JSON array"},
        {"null", "paths_json must be a non-empty JSON array"},
        {good_json, "paths_json must be a non-empty JSON array"},
        {"[1]", "paths_json elements must be strings"},
        {"[" + good_json + ", 2]", "paths_json elements must be strings"},
        {"[" + good_json + ", null]", "paths_json elements must be strings"},
        {"[\"" + good + "\\u0000.txt\"]", "path in paths_json holds a NUL character: " + good},
        {json_list({good, missing}),
         "cannot open file: " + missing + " (No such file or directory)"},
        {json_list({good, good, encrypted}),
         "encrypted document in merge list: " + encrypted + " (encrypted:true)"},
        {json_list({not_zip}), "not a valid ZIP/DOCX archive"},
        {json_list({good, dtd}), "document type declaration in merge input not supported: " + dtd},
        {json_list({good, cut}), "unclosed w:body"},
        {json_list({bodiless, good}), "no w:body in document"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(docx_merge(c.json.c_str(), out.c_str()), 0);
        EXPECT_EQ(docx_last_error(), c.message);
        EXPECT_FALSE(testkit::fs::exists(out));
    }
    EXPECT_EQ(docx_merge(nullptr, out.c_str()), 0);
    EXPECT_STREQ(docx_last_error(), "NULL argument to docx_merge");
    EXPECT_EQ(docx_merge("[]", nullptr), 0);
    EXPECT_STREQ(docx_last_error(), "NULL argument to docx_merge");
}

// A package whose body refers to other parts: a hyperlink, a picture, the
// header of a section, and references that cannot travel.
class MergeRelationships : public Merge {
  protected:
    static constexpr std::string_view REL =
        "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

    static std::string relationship(std::string_view id, std::string_view type,
                                    std::string_view target, std::string_view extra = "") {
        return "<Relationship Id=\"" + std::string(id) + "\" Type=\"" + std::string(REL) +
               std::string(type) + "\" Target=\"" + std::string(target) + "\"" +
               std::string(extra) + "/>";
    }
    static std::string relationships(const std::string &elements) {
        return "<?xml version=\"1.0\"?><Relationships "
               "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
               elements + "</Relationships>";
    }
    // The body, with `id` in place of each relationship ID the source uses.
    static std::string body(const std::string &id) {
        return "<w:p><w:hyperlink r:id=\"" + id +
               "rId2\"><w:r><w:t>link</w:t></w:r></w:hyperlink>"
               "<w:r><w:drawing><a:blip xmlns:a=\"urn:a\" r:embed=\"" +
               id +
               "rId3\"/></w:drawing>"
               "</w:r><w:r><w:t xml:space=\"preserve\"> r:id=\"rId3\"</w:t></w:r></w:p>"
               "<w:p><w:pPr><w:sectPr><w:headerReference w:type=\"default\" r:id=\"" +
               id +
               "rId4\"/></w:sectPr></w:pPr></w:p>"
               "<w:p><w:r><w:object r:id=\"rId5\" r:pict=\"rId6\" r:x=\"rId9\"/></w:r></w:p>";
    }

    testkit::Entries package() const {
        std::string doc_rels =
            relationships(relationship("rId1", "styles", "styles.xml") +
                          relationship("rId2", "hyperlink", "http://example.com/?a=1&amp;b=2",
                                       " TargetMode=\"External\"") +
                          relationship("rId3", "image", "/word/media/image1.png") +
                          relationship("rId4", "header", "./header1.xml") +
                          relationship("rId5", "oleObject", "embeddings/x.unknown") +
                          relationship("rId6", "image", "../../outside.png"));
        std::string header_rels =
            relationships(relationship("rId1", "image", "media/image1.png") +
                          relationship("rId2", "image", "../word/media/logo.png") +
                          relationship("rId3", "officeDocument", "document.xml"));
        return {
            {"[Content_Types].xml",
             "<?xml version=\"1.0\"?><Types "
             "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
             "<Default Extension=\"rels\" "
             "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
             "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
             "<Default Extension=\"PNG\" ContentType=\"image/png\"/>"
             // Attributes may stand in any order.
             "<Override ContentType=\"text/header\" PartName=\"/WORD/header1.xml\"/></Types>"},
            {"word/document.xml", document(body(""))},
            {"word/_rels/document.xml.rels", doc_rels},
            {"word/styles.xml", "<w:styles/>"},
            {"word/header1.xml", "<w:hdr/>"},
            {"word/_rels/header1.xml.rels", header_rels},
            {"word/embeddings/x.unknown", "no content type"},
            {"outside.png", "not in word/"},
            {"word/media/logo.png", "logo"},
            {"word/media/image1.png", "picture"},
        };
    }
};

// The relationships a body uses come along under IDs of their input, with the
// parts they reach (once each), copied below merged/N/ with their content
// types; what is not used, or cannot travel, stays behind.
TEST_F(MergeRelationships, BodiesKeepTheirPartsUnderNewIds) {
    std::string a = dir.file("a.docx");
    testkit::write_zip(a, package());
    ASSERT_EQ(merged({a, a}), expected(body("m1_") + "\n" + body("m2_"))) << docx_last_error();

    std::vector<std::string> names;
    for (const auto &[name, bytes] : testkit::read_zip(out)) names.push_back(name);
    const std::vector<std::string> copied = {"word/media/image1.png", "word/header1.xml",
                                             "word/_rels/header1.xml.rels", "word/media/logo.png"};
    ASSERT_EQ(names.size(), 7 + 2 * copied.size());
    std::string types = testkit::read_entry(out, "[Content_Types].xml");
    std::string rels = testkit::read_entry(out, "word/_rels/document.xml.rels");
    for (int n : {1, 2}) {
        const std::string number = std::to_string(n);
        const std::string prefix = "merged/" + number + "/";
        for (size_t i = 0; i < copied.size(); ++i) {
            EXPECT_EQ(names[7 + (n - 1) * copied.size() + i], prefix + copied[i]);
            EXPECT_EQ(testkit::read_entry(out, prefix + copied[i]),
                      testkit::read_entry(a, copied[i]));
        }
        const std::string id = "m" + number + "_";
        for (const std::string &e :
             {relationship(id + "rId2", "hyperlink", "http://example.com/?a=1&amp;b=2",
                           " TargetMode=\"External\""),
              relationship(id + "rId3", "image", "/" + prefix + "word/media/image1.png"),
              relationship(id + "rId4", "header", "/" + prefix + "word/header1.xml"),
              "<Override PartName=\"/" + prefix +
                  "word/media/image1.png\" ContentType=\"image/png\"/>",
              "<Override PartName=\"/" + prefix +
                  "word/header1.xml\" ContentType=\"text/header\"/>",
              "<Override PartName=\"/" + prefix +
                  "word/media/logo.png\" ContentType=\"image/png\"/>"}) {
            EXPECT_NE((e.starts_with("<Override") ? types : rels).find(e), std::string::npos) << e;
        }
    }
    EXPECT_EQ(rels.find("_rId1"), std::string::npos);
    EXPECT_EQ(rels.find("rId5"), std::string::npos);
    EXPECT_EQ(rels.find("outside"), std::string::npos);
}

// An input large enough to be read on two threads has its main part taken
// out while its pictures are still read; they come along whole.
TEST_F(MergeRelationships, LargeInputsCarryTheirPicturesWhole) {
    testkit::Entries entries = package();
    const std::string picture = testkit::noise(size_t{8} << 20);
    for (auto &[name, bytes] : entries)
        if (name == "word/media/image1.png") bytes = picture;
    // The main part last, so that it is read after the picture.
    auto main = std::find_if(entries.begin(), entries.end(),
                             [](const auto &e) { return e.first == "word/document.xml"; });
    std::rotate(main, main + 1, entries.end());
    std::string a = dir.file("a.docx");
    testkit::write_zip(a, entries);
    ASSERT_EQ(merged({a, a}), expected(body("m1_") + "\n" + body("m2_"))) << docx_last_error();
    for (const char *n : {"1", "2"})
        EXPECT_TRUE(testkit::read_entry(
                        out, std::string("merged/") + n + "/word/media/image1.png") == picture);
}

// The first input's final section ends the merged body with the headers it
// names, carried like the body's own (one relationship where both name one).
TEST_F(MergeRelationships, FirstSectionKeepsItsHeaders) {
    auto section = [](const std::string &id) {
        return "<w:sectPr><w:headerReference w:type=\"first\" r:id=\"" + id +
               "rId4\"/><w:pgSz w:w=\"11906\"/><w:titlePg/></w:sectPr>";
    };
    std::string a = dir.file("a.docx"), plain = dir.file("plain.docx");
    testkit::Entries entries = package();
    entries[1].second = document(body(""), "", section(""));
    testkit::write_zip(a, entries);
    entries[1].second = document(para("p"), "", section(""));
    testkit::write_zip(plain, entries);

    ASSERT_EQ(merged({a, a}), expected(body("m1_") + "\n" + body("m2_"), "", section("m1_")))
        << docx_last_error();
    std::string rels = testkit::read_entry(out, "word/_rels/document.xml.rels");
    EXPECT_EQ(rels.find("\"m1_rId4\""), rels.rfind("\"m1_rId4\""));

    // Only the section names the header.
    ASSERT_EQ(merged({plain}), expected(para("p"), "", section("m1_"))) << docx_last_error();
    EXPECT_EQ(testkit::read_entry(out, "merged/1/word/header1.xml"), "<w:hdr/>");
}

// Notes and comments that a body refers to come along, numbered on across the inputs,
// with what they refer to; the notes part declares the inputs' namespaces.
TEST_F(MergeRelationships, NotesAreNumberedOnAcrossInputs) {
    const std::string xml_decl =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";
    const std::string roots =
        " xmlns:w=\"" + std::string(W_NS) + "\" xmlns:r=\"" + std::string(R_NS) + "\"";
    auto body = [](const std::string &first, const std::string &other) {
        std::string b = "<w:p><w:r><w:footnoteReference w:id=\"";
        b += first;
        b += "\"/></w:r><w:r><w:footnoteReference w:id=\"9\"/></w:r><w:r>"
             "<w:endnoteReference w:customMarkFollows=\"1\" w:id=\"";
        b += other;
        b += "\"/></w:r></w:p><w:commentRangeStart w:id=\"";
        b += other;
        b += "\"/><w:p/><w:commentRangeEnd w:id=\"";
        b += other;
        b += "\"/><w:p><w:r><w:commentReference w:id=\"";
        b += other;
        b += "\"/></w:r></w:p>";
        return b;
    };
    const std::string note =
        "<w:p><w:hyperlink r:id=\"rId1\"><w:r><w:t>five</w:t></w:r></w:hyperlink></w:p>";
    testkit::Entries entries = package();
    entries[1].second = document(body("5", "2"));
    entries[2].second = relationships(relationship("rId7", "footnotes", "footnotes.xml") +
                                      relationship("rId8", "endnotes", "endnotes.xml"));
    entries.push_back({"word/footnotes.xml",
                       xml_decl + "<w:footnotes" + roots +
                           " xmlns:x=\"urn:x\">"
                           "<w:footnote w:type=\"separator\" w:id=\"-1\"><w:p/></w:footnote>"
                           "<w:footnote w:id=\"6\"><w:p/></w:footnote>"
                           "<w:footnote w:id=\"5\">" +
                           note + "</w:footnote></w:footnotes>"});
    entries.push_back({"word/_rels/footnotes.xml.rels",
                       relationships(relationship("rId1", "hyperlink", "https://example.com/",
                                                  " TargetMode=\"External\""))});
    entries.push_back({"word/endnotes.xml", xml_decl + "<w:endnotes" + roots +
                                                "><w:endnote x:a=\"1\" w:id=\"2\"/></w:endnotes>"});
    entries.push_back(
        {"word/comments.xml",
         xml_decl + "<w:comments" + roots +
             "><w:comment w:id=\"2\" w:author=\"A\"><w:p/></w:comment></w:comments>"});
    entries[2].second = relationships(relationship("rId7", "footnotes", "footnotes.xml") +
                                      relationship("rId8", "endnotes", "endnotes.xml") +
                                      relationship("rId9", "comments", "comments.xml"));
    std::string a = dir.file("a.docx");
    testkit::write_zip(a, entries);

    ASSERT_EQ(merged({a, a}), expected(body("1", "1") + "\n" + body("2", "2")))
        << docx_last_error();
    auto numbered = [&](const char *id, const char *rel) {
        std::string n = note;
        n.replace(n.find("rId1"), 4, rel);
        return std::string("<w:footnote w:id=\"") + id + "\">" + n + "</w:footnote>";
    };
    EXPECT_EQ(
        testkit::read_entry(out, "word/footnotes.xml"),
        xml_decl + "<w:footnotes" + roots +
            " xmlns:x=\"urn:x\">"
            "<w:footnote w:type=\"separator\" w:id=\"-1\"><w:p><w:r><w:separator/></w:r></w:p>"
            "</w:footnote><w:footnote w:type=\"continuationSeparator\" w:id=\"0\"><w:p><w:r>"
            "<w:continuationSeparator/></w:r></w:p></w:footnote>" +
            numbered("1", "m1_rId1") + numbered("2", "m2_rId1") + "</w:footnotes>");
    std::string endnotes = testkit::read_entry(out, "word/endnotes.xml");
    EXPECT_NE(
        endnotes.find(
            "<w:endnote x:a=\"1\" w:id=\"1\"/><w:endnote x:a=\"1\" w:id=\"2\"/></w:endnotes>"),
        std::string::npos)
        << endnotes;
    std::string note_rels = testkit::read_entry(out, "word/_rels/footnotes.xml.rels");
    for (const char *id : {"m1_rId1", "m2_rId1"})
        EXPECT_NE(note_rels.find(relationship(id, "hyperlink", "https://example.com/",
                                              " TargetMode=\"External\"")),
                  std::string::npos)
            << note_rels;
    std::string rels = testkit::read_entry(out, "word/_rels/document.xml.rels");
    std::string types = testkit::read_entry(out, "[Content_Types].xml");
    EXPECT_NE(testkit::read_entry(out, "word/comments.xml")
                  .find("<w:comment w:id=\"1\" w:author=\"A\"><w:p/></w:comment><w:comment "
                        "w:id=\"2\" w:author=\"A\"><w:p/></w:comment></w:comments>"),
              std::string::npos);
    for (const char *kind : {"footnotes", "endnotes", "comments"}) {
        EXPECT_NE(rels.find(std::string(REL) + kind + "\" Target=\"/word/" + kind + ".xml\"/>"),
                  std::string::npos)
            << rels;
        EXPECT_NE(
            types.find(
                std::string("<Override PartName=\"/word/") + kind +
                ".xml\" "
                "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml." +
                kind + "+xml\"/>"),
            std::string::npos)
            << types;
    }
    std::remove(out.c_str());
    EXPECT_GT(growths_until_written(json_list({a, a})), 20);
}

// The lists a body uses come along, numbered on across the inputs: the
// abstract definitions first, each once, then the instances.
TEST_F(MergeRelationships, ListsAreNumberedOnAcrossInputs) {
    auto para_in_list = [](const char *num_id) {
        return std::string("<w:p><w:pPr><w:numPr><w:ilvl w:val=\"0\"/><w:numId w:val=\"") + num_id +
               "\"/></w:numPr></w:pPr></w:p>";
    };
    const std::string abstract =
        "<w:abstractNum w:abstractNumId=\"7\"><w:lvl w:ilvl=\"0\">"
        "<w:numFmt w:val=\"bullet\"/></w:lvl></w:abstractNum>";
    testkit::Entries entries = package();
    entries[1].second = document(para_in_list("3") + para_in_list("0"));
    entries[2].second = relationships(relationship("rId7", "numbering", "numbering.xml"));
    entries.push_back(
        {"word/numbering.xml",
         "<?xml version=\"1.0\"?><w:numbering xmlns:w=\"" + std::string(W_NS) + "\">" +
             "<w:abstractNum w:abstractNumId=\"8\"/>" + abstract +
             "<w:num w:numId=\"4\"><w:abstractNumId w:val=\"8\"/></w:num>"
             "<w:num w:numId=\"3\"><w:abstractNumId w:val=\"7\"/></w:num></w:numbering>"});
    std::string a = dir.file("a.docx");
    testkit::write_zip(a, entries);

    ASSERT_EQ(merged({a, a}), expected(para_in_list("1") + para_in_list("0") + "\n" +
                                       para_in_list("2") + para_in_list("0")))
        << docx_last_error();
    auto renumbered = [&](const char *n) {
        std::string def = abstract;
        def.replace(def.find("\"7\""), 3, std::string("\"") + n + "\"");
        return def;
    };
    std::string numbering = testkit::read_entry(out, "word/numbering.xml");
    EXPECT_TRUE(numbering.ends_with(renumbered("1") + renumbered("2") +
                                    "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"1\"/></w:num>"
                                    "<w:num w:numId=\"2\"><w:abstractNumId w:val=\"2\"/></w:num>"
                                    "</w:numbering>"))
        << numbering;
    EXPECT_NE(testkit::read_entry(out, "word/_rels/document.xml.rels")
                  .find(std::string(REL) + "numbering\" Target=\"/word/numbering.xml\"/>"),
              std::string::npos);
}

// Every input's styles come along, the first definition of an ID winning, then
// the package's own for IDs that no input defines; each type keeps one
// default style, a style's list is numbered on as the bodies' are, and the
// theme of the first styles comes along.
TEST_F(MergeRelationships, StylesOfEveryInputComeAlong) {
    auto styles_part = [](const std::string &inner) {
        return "<?xml version=\"1.0\"?><w:styles xmlns:w=\"" + std::string(W_NS) +
               "\" xmlns:mc=\"urn:mc\" xmlns:w14=\"urn:w14\" mc:Ignorable=\"w14\">" + inner +
               "</w:styles>";
    };
    const std::string a_defaults =
        "<w:docDefaults><w:rPrDefault><w:rPr><w:sz w:val=\"30\"/></w:rPr></w:rPrDefault>"
        "</w:docDefaults><w:latentStyles w:count=\"1\"><w:lsdException w:name=\"Normal\"/>"
        "</w:latentStyles>";
    const std::string a_normal =
        "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name "
        "w:val=\"Normal\"/></w:style>";
    const std::string a_grid = "<w:style w:type=\"table\" w:styleId=\"TableGrid\"/>";
    auto a_bullet = [](const char *num_id) {
        return std::string(
                   "<w:style w:type=\"paragraph\" w:styleId=\"ListBullet\"><w:pPr><w:numPr>"
                   "<w:numId w:val=\"") +
               num_id + "\"/></w:numPr></w:pPr></w:style>";
    };
    testkit::Entries a_entries = package();
    a_entries[1].second = document(para("a"));
    a_entries[2].second = relationships(relationship("rId1", "styles", "styles.xml") +
                                        relationship("rId7", "numbering", "numbering.xml") +
                                        relationship("rId8", "theme", "theme/theme1.xml"));
    a_entries.push_back({"word/theme/theme1.xml", "<a:theme name=\"A\"/>"});
    a_entries[3].second = styles_part(a_defaults + a_normal + a_grid + a_bullet("3"));
    a_entries.push_back({"word/numbering.xml",
                         "<?xml version=\"1.0\"?><w:numbering xmlns:w=\"" + std::string(W_NS) +
                             "\"><w:abstractNum w:abstractNumId=\"0\"/><w:num w:numId=\"3\">"
                             "<w:abstractNumId w:val=\"0\"/></w:num>"
                             "</w:numbering>"});
    // Defaults of types that have one already: the paragraph style "a", and
    // "Quote", a paragraph style since it gives no type.
    const std::string b_default =
        "<w:style w:type=\"paragraph\" w:styleId=\"a\"><w:name w:val=\"Normal\"/></w:style>";
    const std::string b_character =
        "<w:style w:type=\"character\" w:default=\"1\" w:styleId=\"a0\"/>";
    testkit::Entries b_entries = package();
    b_entries[1].second = document(para("b"));
    b_entries[2].second = relationships(relationship("rId1", "styles", "styles.xml") +
                                        relationship("rId8", "theme", "theme/theme1.xml"));
    b_entries.push_back({"word/theme/theme1.xml", "<a:theme name=\"B\"/>"});
    b_entries[3].second = styles_part(
        "<w:docDefaults/><w:style w:type=\"paragraph\" w:default=\"on\" w:styleId=\"a\"><w:name "
        "w:val=\"Normal\"/></w:style><w:style w:type=\"paragraph\" w:styleId=\"Normal\"/>"
        "<w:style w:styleId=\"Quote\" w:default=\"true\"/>" +
        b_character);
    std::string a = dir.file("a.docx"), b = dir.file("b.docx");
    testkit::write_zip(a, a_entries);
    testkit::write_zip(b, b_entries);
    ASSERT_EQ(merged({a, b}), expected(para("a") + "\n" + para("b"))) << docx_last_error();

    std::string styles = testkit::read_entry(out, "word/styles.xml");
    const std::string expected_start =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<w:styles xmlns:w=\"" +
        std::string(W_NS) + "\" xmlns:r=\"" + std::string(R_NS) +
        "\" xmlns:mc=\"urn:mc\" xmlns:w14=\"urn:w14\" mc:Ignorable=\"w14\">" + a_defaults +
        a_normal + a_grid + a_bullet("1") + b_default + "<w:style w:styleId=\"Quote\"/>" +
        b_character + "<w:style w:type=\"paragraph\" w:styleId=\"Title\">";
    EXPECT_TRUE(styles.starts_with(expected_start)) << styles;
    for (const char *id : {"Heading1", "Heading6", "FootnoteReference", "EndnoteText"})
        EXPECT_NE(styles.find(std::string("w:styleId=\"") + id + "\""), std::string::npos) << id;
    EXPECT_EQ(styles.find("w:styleId=\"Normal\"", styles.find(a_normal) + a_normal.size()),
              std::string::npos);
    EXPECT_NE(testkit::read_entry(out, "word/numbering.xml")
                  .find("<w:abstractNum w:abstractNumId=\"1\"/><w:num w:numId=\"1\">"
                        "<w:abstractNumId w:val=\"1\"/></w:num>"),
              std::string::npos);
    // The theme that the first styles take their fonts from comes along.
    EXPECT_NE(testkit::read_entry(out, "word/_rels/document.xml.rels")
                  .find(relationship("m1_rId8", "theme", "/merged/1/word/theme/theme1.xml")),
              std::string::npos);
    EXPECT_EQ(testkit::read_entry(out, "merged/1/word/theme/theme1.xml"), "<a:theme name=\"A\"/>");
    for (const auto &[name, bytes] : testkit::read_zip(out))
        EXPECT_FALSE(name.starts_with("merged/2/")) << name;
}

// A carried part that is damaged fails the merge, as a damaged main part does.
TEST_F(MergeRelationships, DamagedCarriedPartFailsTheMerge) {
    std::string a = dir.file("a.docx");
    testkit::write_zip(a, package());
    std::string bytes = testkit::read_file(a);
    bytes[bytes.rfind(std::string("PK\x01\x02", 4)) + 16] ^= 1;  // CRC of the last entry
    testkit::write_file(a, bytes);
    EXPECT_EQ(docx_merge(json_list({a}).c_str(), out.c_str()), 0);
    EXPECT_STREQ(docx_last_error(), "failed extracting word/media/image1.png");
    EXPECT_FALSE(testkit::fs::exists(out));
}

// The theme, the settings and the font table are carried for the look only:
// damaged ones stay behind.
TEST_F(MergeRelationships, DamagedThemeSettingsOrFontsStayBehind) {
    for (const char *type : {"theme", "settings", "fontTable"}) {
        SCOPED_TRACE(type);
        testkit::Entries entries = package();
        entries[2].second = relationships(relationship("rId1", "styles", "styles.xml") +
                                          relationship("rId8", type, "part.xml"));
        entries.push_back({"word/part.xml", "<w:settings><w:gutterAtTop/></w:settings>"});
        std::string a = dir.file("a.docx");
        testkit::write_zip(a, entries);
        std::string bytes = testkit::read_file(a);
        bytes[bytes.rfind(std::string("PK\x01\x02", 4)) + 16] ^= 1;  // CRC of the part
        testkit::write_file(a, bytes);
        ASSERT_EQ(docx_merge(json_list({a}).c_str(), out.c_str()), 1) << docx_last_error();
        EXPECT_STREQ(docx_last_error(), "");
        EXPECT_EQ(testkit::read_entry(out, "word/_rels/document.xml.rels").find(type),
                  std::string::npos);
    }
}

// The first input's settings that shape its pages come along, and its font
// table; settings that refer to other parts or notes, protect the document or
// track changes do not.
TEST_F(MergeRelationships, FirstInputsLayoutSettingsAndFontsComeAlong) {
    const std::string kept =
        "<w:defaultTabStop w:val=\"709\"/><w:evenAndOddHeaders/><w:compat><w:compatSetting "
        "w:name=\"compatibilityMode\" w:val=\"15\"/></w:compat><m:mathPr><m:mathFont "
        "m:val=\"Cambria Math\"/></m:mathPr>";
    auto with_settings = [&](const std::string &name, const std::string &settings) {
        testkit::Entries entries = package();
        entries[2].second = relationships(relationship("rId1", "styles", "styles.xml") +
                                          relationship("rId9", "settings", "settings.xml") +
                                          relationship("rId7", "fontTable", "fontTable.xml"));
        entries.push_back({"word/settings.xml", settings});
        entries.push_back({"word/fontTable.xml", "<w:fonts/>"});
        std::string path = dir.file(name);
        testkit::write_zip(path, entries);
        return path;
    };
    std::string a = with_settings(
        "a.docx",
        "<w:settings xmlns:w=\"" + std::string(W_NS) +
            "\" xmlns:m=\"urn:m\"><w:zoom w:percent=\"90\"/><w:documentProtection "
            "w:edit=\"readOnly\"/><w:attachedTemplate r:id=\"rId1\"/><w:trackRevisions/>" +
            kept.substr(0, kept.find("<w:compat>")) +
            "<w:footnotePr><w:footnote w:id=\"-1\"/></w:footnotePr>" +
            kept.substr(kept.find("<w:compat>")) + "<w:rsids/></w:settings>");
    std::string b = with_settings("b.docx", "<w:settings><w:mirrorMargins/></w:settings>");
    std::string plain = dir.file("plain.docx");
    testkit::write_zip(plain, package());

    ASSERT_EQ(docx_merge(json_list({a, b}).c_str(), out.c_str()), 1) << docx_last_error();
    std::string settings = testkit::read_entry(out, "word/settings.xml");
    const size_t root_end = settings.find('>', settings.find("<w:settings"));
    EXPECT_EQ(settings.substr(root_end + 1), kept + "</w:settings>");
    EXPECT_NE(settings.substr(0, root_end).find("xmlns:m=\"urn:m\""), std::string::npos);
    const std::string rels = testkit::read_entry(out, "word/_rels/document.xml.rels");
    EXPECT_NE(rels.find("/settings\""), std::string::npos);
    EXPECT_NE(rels.find(relationship("m1_rId7", "fontTable", "/merged/1/word/fontTable.xml")),
              std::string::npos);
    EXPECT_EQ(testkit::read_entry(out, "merged/1/word/fontTable.xml"), "<w:fonts/>");

    // Only the first input's settings and fonts count.
    ASSERT_EQ(docx_merge(json_list({plain, a}).c_str(), out.c_str()), 1) << docx_last_error();
    for (const auto &[name, bytes] : testkit::read_zip(out))
        EXPECT_TRUE(name != "word/settings.xml" && !name.ends_with("fontTable.xml")) << name;
}

// Every input is read before the output is written, so the output may be one
// of them.
TEST_F(Merge, OutputMayNameAnInput) {
    std::string a = input("a.docx", document(para("a")));
    ASSERT_EQ(docx_merge(json_list({a, a}).c_str(), a.c_str()), 1) << docx_last_error();
    EXPECT_EQ(testkit::read_entry(a, "word/document.xml"), expected(para("a") + "\n" + para("a")));
}

// Whatever allocation fails, a merge that could not build its part whole
// writes nothing.
TEST_F(Merge, OutOfMemoryWritesNothing) {
    std::string a = input("a.docx", document(para(std::string(5000, 'a'))));
    EXPECT_GT(growths_until_written(json_list({a, a, a})), 2);
}

// Runs `script` under python3 with `args`; returns what it printed.
std::string run_python(const std::string &script, const std::vector<std::string> &args) {
    std::string cmd = "python3 " + script;
    for (const auto &a : args) cmd += " '" + a + "'";
    return testkit::run_command(cmd).output;
}

// Parses each file with namespace processing and checks that every prefix in
// the root's mc:Ignorable is declared there; prints one line per fault.
constexpr std::string_view WELL_FORMED_PY = R"(import sys
import xml.etree.ElementTree as ET
MC = '{http://schemas.openxmlformats.org/markup-compatibility/2006}Ignorable'
for path in sys.argv[1:]:
    try:
        declared, root = set(), None
        for event, item in ET.iterparse(path, events=('start-ns', 'start')):
            if event == 'start-ns':
                declared.add(item[0])
            elif root is None:
                root = item
                break
        ET.parse(path)
        undeclared = [p for p in root.get(MC, '').split() if p not in declared]
        if undeclared:
            print(path, 'undeclared in mc:Ignorable:', undeclared)
    except ET.ParseError as e:
        print(path, e)
)";

// Inputs with a document type declaration are refused (RefusesBadLists...).
bool declares_doctype(const std::string &docx) {
    docx_heap data, xml, part;
    size_t size = 0, len = 0;
    if (docx_read_file(docx.c_str(), &data, &size) != 0 ||
        docx_zip_extract_main(data.get(), size, &xml, &len, &part) != 0)
        return false;
    return std::string_view(xml.get(), len).find("<!DOCTYPE") != std::string_view::npos;
}

TEST(MergeCorpus, MergedRealDocumentsAreNamespaceWellFormed) {
    auto files = testkit::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << testkit::corpus_dir();
    TempDir dir;
    std::string script = dir.file("check.py");
    testkit::write_file(script, WELL_FORMED_PY);
    std::vector<std::string> parts, mergeable;
    // The parts the merge makes (the carried ones are copied as they are).
    const std::set<std::string> made = {
        "word/document.xml", "word/styles.xml",   "word/numbering.xml", "word/footnotes.xml",
        "word/endnotes.xml", "word/comments.xml", "word/settings.xml"};
    auto merge_into = [&](const std::vector<std::string> &inputs, const std::string &name) {
        std::string out = dir.file(name + ".docx");
        if (docx_merge(json_list(inputs).c_str(), out.c_str()) != 1) return false;
        for (const auto &[entry, bytes] : testkit::read_zip(out)) {
            if (!made.contains(entry)) continue;
            parts.push_back(dir.file(name + "-" + entry.substr(entry.find('/') + 1)));
            testkit::write_file(parts.back(), bytes);
        }
        return true;
    };
    for (size_t i = 0; i < files.size(); ++i)
        if (!declares_doctype(files[i]) &&
            merge_into({files[i], files[i]}, "pair" + std::to_string(i)))
            mergeable.push_back(files[i]);
    ASSERT_GE(mergeable.size(), files.size() / 2) << "most corpus files should merge";
    ASSERT_TRUE(merge_into(mergeable, "all")) << docx_last_error();
    EXPECT_EQ(run_python(script, parts), "");
}

}  // namespace
