// test_frame.cpp -- opening and closing handles, the last-error message and
// the shared result buffer.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "docx_internal.h"
#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

using testkit::TempDir;

// The last text stays whole until a later call succeeds, whether that call
// fails before building its text or while building it; a caller reading in a
// loop gets its texts in the same two blocks.
TEST(ResultText, StaysUntilACallSucceedsAndItsBlocksAreReused) {
    TempDir dir;
    std::string body, expected;
    for (int i = 0; i < 1000; ++i) {  // text that outgrows the first block
        body += "<w:p><w:r><w:t>paragraph " + std::to_string(i) + "</w:t></w:r></w:p>";
        expected += "paragraph " + std::to_string(i) + "\n";
    }
    std::string big = testkit::write_docx(dir.file("big.docx"), testkit::document_xml(body));
    std::string small = testkit::write_docx(
        dir.file("small.docx"), testkit::document_xml("<w:p><w:r><w:t>hi</w:t></w:r></w:p>"));
    int hb = docx_open(big.c_str()), hs = docx_open(small.c_str());
    ASSERT_GE(hb, 0);
    ASSERT_GE(hs, 0);
    const char *text = docx_content(hb, 1);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text, expected);
    EXPECT_GT(docx_result_capacity(), expected.size());

    EXPECT_EQ(docx_content(hb, 7), nullptr);
    docx_buf_fail_growth_after(0);
    EXPECT_EQ(docx_content(hb, 0), nullptr);
    docx_buf_fail_growth_after(-1);
    EXPECT_STREQ(docx_last_error(), "out of memory");
    EXPECT_EQ(text, expected);

    EXPECT_STREQ(docx_content(hs, 1), "hi\n");
    const char *again = docx_content(hb, 1);
    EXPECT_EQ(again, text);
    EXPECT_EQ(again, expected);
    docx_close(hb);
    docx_close(hs);
}

// A large body without text reads as empty even where the block its text is
// built in still holds an earlier, longer text.
TEST(ResultText, LargeBodyWithoutTextIsEmptyAfterLongerTexts) {
    TempDir dir;
    std::string text_body, bare_body;
    for (int i = 0; i < 2000; ++i) {
        text_body += "<w:p><w:r><w:t>paragraph " + std::to_string(i) + "</w:t></w:r></w:p>";
        bare_body += "<w:bookmarkStart w:id=\"1\" w:name=\"x\"/><w:bookmarkEnd w:id=\"1\"/>";
    }
    std::string with_text =
        testkit::write_docx(dir.file("text.docx"), testkit::document_xml(text_body));
    std::string bare = testkit::write_docx(dir.file("bare.docx"), testkit::document_xml(bare_body));
    int ht = docx_open(with_text.c_str()), hb = docx_open(bare.c_str());
    ASSERT_GE(ht, 0);
    ASSERT_GE(hb, 0);
    for (int round = 0; round < 2; ++round) {
        for (int format : {0, 1}) {
            ASSERT_NE(docx_content(ht, format), nullptr);
            EXPECT_STREQ(docx_content(hb, format), "") << round << format;
        }
    }
    docx_close(ht);
    docx_close(hb);
}

class Frame : public ::testing::Test {
  protected:
    TempDir dir;
    std::string docx = testkit::write_docx(dir.file("a.docx"), testkit::document_xml("<w:p/>"),
                                           "<cp:coreProperties/>");
};

TEST_F(Frame, Opens64HandlesAndReusesTheLowestFree) {
    std::vector<int> handles;
    for (int i = 0; i < DOCX_MAX_HANDLES; ++i) handles.push_back(docx_open(docx.c_str()));
    for (int i = 0; i < DOCX_MAX_HANDLES; ++i) EXPECT_EQ(handles[i], i);
    EXPECT_EQ(docx_open(docx.c_str()), -1);
    EXPECT_STREQ(docx_last_error(), "too many open handles (max 64)");
    docx_close(5);
    EXPECT_EQ(docx_open(docx.c_str()), 5);
    EXPECT_STREQ(docx_last_error(), "");
    for (int h : handles) docx_close(h);
    EXPECT_EQ(docx_open(docx.c_str()), 0);
    docx_close(0);
}

TEST_F(Frame, CloseOfAnInvalidHandleChangesNothing) {
    int h = docx_open(docx.c_str());
    ASSERT_GE(h, 0);
    docx_close(h);
    EXPECT_EQ(docx_open(nullptr), -1);
    for (int bad : {-1, DOCX_MAX_HANDLES, h, INT_MIN}) {
        docx_close(bad);
        EXPECT_STREQ(docx_last_error(), "NULL path") << bad;
    }
    for (int bad : {-1, DOCX_MAX_HANDLES, h}) {
        EXPECT_EQ(docx_content(bad, 0), nullptr);
        EXPECT_STREQ(docx_last_error(), "invalid handle") << bad;
    }
}

TEST_F(Frame, KeepsThePartsItOpened) {
    std::string bare = testkit::write_docx(dir.file("bare.docx"), "<w:document/>");
    std::string moved = dir.file("moved.docx");
    testkit::write_zip(
        moved,
        {{"[Content_Types].xml",
          "<Types><Override PartName=\"/word/document2.xml\" "
          "ContentType=\"application/"
          "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>"},
         {"_rels/.rels",
          "<Relationships><Relationship Type=\"http://purl.oclc.org/ooxml/"
          "officeDocument/relationships/officeDocument\" "
          "Target=\"/word/document2.xml\"/></Relationships>"},
         {"word/document2.xml", "<w:document/>"}});
    struct Case {
        std::string path;
        const char *core;  // null: none
        const char *part;
    } cases[] = {{docx, "<cp:coreProperties/>", "word/document.xml"},
                 {bare, nullptr, "word/document.xml"},
                 {moved, nullptr, "word/document2.xml"}};
    for (const Case &c : cases) {
        int h = docx_open(c.path.c_str());
        ASSERT_GE(h, 0) << docx_last_error();
        EXPECT_STREQ(docx_last_error(), "");
        const docx_doc *d = docx_doc_get(h);
        EXPECT_STREQ(d->doc_part.get(), c.part);
        EXPECT_STREQ(d->core_xml.get(), c.core);
        EXPECT_EQ(d->file_len, testkit::read_file(c.path).size());
        EXPECT_EQ(d->encrypted, 0);
        docx_close(h);
    }
}

// A large package's main part is taken out while its pictures are still
// being read: wherever the parts lie, the handle holds them and the whole file.
TEST_F(Frame, LargePackagesKeepTheirPartsWhereverTheyLie) {
    const std::string doc_xml = testkit::document_xml("<w:p><w:r><w:t>x</w:t></w:r></w:p>"),
                      core = "<cp:coreProperties/>", picture = testkit::noise(size_t{8} << 20);
    const std::pair<std::string, std::string> main{"word/document.xml", doc_xml},
        props{"docProps/core.xml", core}, media{"word/media/image1.png", picture};
    const testkit::Entries orders[] = {
        {main, props, media}, {media, main, props}, {props, media, main}};
    for (const testkit::Entries &entries : orders) {
        SCOPED_TRACE(entries.front().first);
        std::string path = dir.file("pictures.docx");
        testkit::write_zip(path, entries);
        int h = docx_open(path.c_str());
        ASSERT_GE(h, 0) << docx_last_error();
        const docx_doc *d = docx_doc_get(h);
        EXPECT_EQ(std::string_view(d->doc_xml.get(), d->doc_len), doc_xml);
        EXPECT_STREQ(d->core_xml.get(), core.c_str());
        EXPECT_TRUE(std::string_view(d->file_data.get(), d->file_len) == testkit::read_file(path));
        docx_close(h);
    }
}

TEST_F(Frame, OpenFailuresSayWhy) {
    std::string doc = dir.file("old.doc"), encrypted = dir.file("locked.docx"),
                empty = dir.file("empty.docx"), theme = dir.file("theme.docx");
    std::string compound_file("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    compound_file.resize(1024, '\0');
    testkit::write_file(doc, compound_file);
    testkit::write_zip(encrypted, {{"EncryptionInfo", "x"}, {"EncryptedPackage", "x"}});
    testkit::write_file(empty, "");
    testkit::write_zip(theme, {{"theme/theme1.xml", "<a:theme/>"}});
    struct Case {
        std::string path, message;
    } cases[] = {
        {doc, "not a DOCX file: " + doc +
                  " is a legacy binary Office document (such as a Word 97-2003 .doc); save it "
                  "as .docx first"},
        {encrypted,
         "encrypted document (encrypted:true); password-protected DOCX is not supported"},
        {empty, "not a valid ZIP/DOCX archive"},
        {theme, "missing part in DOCX: word/document.xml"},
        {dir.file("absent.docx"),
         "cannot open file: " + dir.file("absent.docx") + " (No such file or directory)"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(docx_open(c.path.c_str()), -1);
        EXPECT_EQ(docx_last_error(), c.message);
    }
    EXPECT_EQ(docx_open(nullptr), -1);
    EXPECT_STREQ(docx_last_error(), "NULL path");
    EXPECT_EQ(docx_doc_get(0), nullptr) << "a failed open took a slot";
}

}  // namespace
