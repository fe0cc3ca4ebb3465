// test_package.cpp -- loading files, finding and extracting parts, writing
// and rewriting packages.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

#include <bit>
#include <cstring>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "docx_internal.h"
#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

using testkit::Entries;
using testkit::TempDir;
namespace fs = std::filesystem;

// MARK: - Raw ZIP bytes, for headers that no ZIP writer would produce

void put16(std::string &s, uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string &s, uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

std::string deflated(std::string_view plain) {
    libdeflate_compressor *c = libdeflate_alloc_compressor(6);
    std::string out(libdeflate_deflate_compress_bound(c, plain.size()), '\0');
    out.resize(libdeflate_deflate_compress(c, plain.data(), plain.size(), out.data(), out.size()));
    libdeflate_free_compressor(c);
    return out;
}

uint32_t crc_of(std::string_view s) {
    return libdeflate_crc32(0, s.data(), s.size());
}

struct RawEntry {
    std::string name;
    std::string plain;
    uint32_t declared_size = 0;  // 0: the true size
    bool stored = false;
};

// A ZIP archive written by hand, so that its headers can lie.
std::string raw_zip(const std::vector<RawEntry> &entries) {
    std::string zip, cdir;
    for (const RawEntry &e : entries) {
        std::string data = e.stored ? e.plain : deflated(e.plain);
        uint32_t size = e.declared_size ? e.declared_size : static_cast<uint32_t>(e.plain.size());
        std::string fields;  // method .. name length, shared by both headers
        put16(fields, e.stored ? 0 : 8);
        put32(fields, 0x00210000);  // time, date: 1980-01-01
        put32(fields, crc_of(e.plain));
        put32(fields, static_cast<uint32_t>(data.size()));
        put32(fields, size);
        put16(fields, static_cast<uint32_t>(e.name.size()));
        put16(fields, 0);
        uint32_t offset = static_cast<uint32_t>(zip.size());
        put32(zip, 0x04034b50);
        put32(zip, 20);  // version needed, flags
        zip += fields + e.name + data;
        put32(cdir, 0x02014b50);
        put32(cdir, 20 | (20u << 16));
        put16(cdir, 0);
        cdir += fields;
        put32(cdir, 0);  // comment length, disk
        put32(cdir, 0);  // attributes
        put16(cdir, 0);
        put32(cdir, offset);
        cdir += e.name;
    }
    uint32_t cdir_at = static_cast<uint32_t>(zip.size());
    zip += cdir;
    put32(zip, 0x06054b50);
    put32(zip, 0);
    put16(zip, static_cast<uint32_t>(entries.size()));
    put16(zip, static_cast<uint32_t>(entries.size()));
    put32(zip, static_cast<uint32_t>(cdir.size()));
    put32(zip, cdir_at);
    put16(zip, 0);
    return zip;
}

std::string zip_bytes(const TempDir &dir, const Entries &entries) {
    std::string path = dir.file("z.zip");
    testkit::write_zip(path, entries);
    return testkit::read_file(path);
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(gen());
    return s;
}

// One entry's compressed bytes and method, as stored in the archive.
struct StoredEntry {
    std::string raw;
    uint16_t method = 0;
};
std::map<std::string, StoredEntry> stored_entries(const std::string &path) {
    std::map<std::string, StoredEntry> out;
    int err = 0;
    zip_t *za = zip_open(path.c_str(), ZIP_RDONLY, &err);
    if (!za) return out;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st);
        StoredEntry e{std::string(st.comp_size, '\0'), st.comp_method};
        zip_file_t *f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), ZIP_FL_COMPRESSED);
        if (f) {
            zip_fread(f, e.raw.data(), e.raw.size());
            zip_fclose(f);
        }
        out[st.name] = std::move(e);
    }
    zip_discard(za);
    return out;
}

std::vector<std::string> names_of(const Entries &entries) {
    std::vector<std::string> names;
    for (const auto &e : entries) names.push_back(e.first);
    return names;
}

std::string heap_text(const docx_heap &h, size_t len) {
    return h ? std::string(h.get(), len) : std::string("<null>");
}

constexpr const char *WORD_MAIN =
    "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml";

// A package whose relationships name `target` as the main part (none when
// empty), its content types giving `type` to the part stored as `stored`.
Entries relationship_package(std::string_view target, std::string_view stored,
                             std::string_view type, std::string_view rel_extra = "") {
    std::string types =
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>";
    if (!type.empty())
        types += "<Override PartName=\"/" + std::string(stored) + "\" ContentType=\"" +
                 std::string(type) + "\"/>";
    Entries e = {{"[Content_Types].xml", types + "</Types>"}};
    if (!target.empty())
        e.emplace_back("_rels/.rels",
                       "<?xml version=\"1.0\"?><Relationships "
                       "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                       "<Relationship Id=\"rId1\" "
                       "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                       "relationships/officeDocument\" Target=\"" +
                           std::string(target) + "\"" + std::string(rel_extra) +
                           "/></Relationships>");
    e.emplace_back(stored, "<w:document/>");
    return e;
}

// MARK: - Reading files

TEST(ReadFile, SizeLimitIsInclusive) {
    TempDir dir;
    struct Case {
        size_t size;
        bool loads;
    } cases[] = {{0, true}, {DOCX_MAX_FILE_SIZE, true}, {DOCX_MAX_FILE_SIZE + 1, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        std::string path = dir.file(std::to_string(c.size) + ".docx");
        testkit::write_file(path, "");
        fs::resize_file(path, c.size);  // sparse
        docx_heap data;
        size_t size = 1;
        int rc = docx_read_file(path.c_str(), &data, &size);
        if (c.loads) {
            ASSERT_EQ(rc, 0);
            EXPECT_EQ(size, c.size);
            EXPECT_EQ(data.get()[size], '\0');
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(size, 0u);
            EXPECT_EQ(docx_last_error(), "file exceeds 200MB limit: " + path);
        }
    }
}

// Large files are read in pieces (on two threads where two cores exist):
// every byte must land in its place, whatever the sizes of the pieces.
TEST(ReadFile, LargeFilesReadBackByteForByte) {
    TempDir dir;
    constexpr size_t MiB = size_t{1} << 20;
    for (size_t size : {8 * MiB - 1, 8 * MiB, 9 * MiB + 4093, 21 * MiB + 1}) {
        SCOPED_TRACE(size);
        std::string bytes = testkit::noise(size);
        std::string path = dir.file("large.docx");
        testkit::write_file(path, bytes);
        docx_heap data;
        size_t got = 0;
        ASSERT_EQ(docx_read_file(path.c_str(), &data, &got), 0);
        ASSERT_EQ(got, size);
        EXPECT_TRUE(std::string_view(data.get(), got) == bytes);
        EXPECT_EQ(data.get()[got], '\0');
    }
}

// A large file's bytes are used as soon as their chunks are in, while a
// second thread reads the rest: each range asked for must already hold the
// file's bytes, and ranges past the end are refused.
TEST(FileLoad, RangesAreInBeforeTheWholeFileIs) {
    TempDir dir;
    constexpr size_t MiB = size_t{1} << 20;
    struct Case {
        size_t size, two_thread_from, chunk;
    } cases[] = {{4096, docx_file_load::TWO_THREAD_FROM, docx_file_load::CHUNK},
                 {21 * MiB + 1, docx_file_load::TWO_THREAD_FROM, docx_file_load::CHUNK},
                 {100003, 0, 4096}};
    for (const auto [size, two_thread_from, chunk] : cases) {
        SCOPED_TRACE(size);
        const std::string bytes = testkit::noise(size);
        std::string path = dir.file("large.docx");
        testkit::write_file(path, bytes);
        docx_file_load file(two_thread_from, chunk);
        ASSERT_EQ(file.start(path.c_str()), 0);
        ASSERT_EQ(file.size(), size);
        struct Range {
            size_t at, n;
        } ranges[] = {{size - 22, 22}, {size / 3, size / 3}, {0, 8}, {size / 2, 1}, {size, 0}};
        for (const Range &r : ranges) {
            ASSERT_TRUE(file.ensure(r.at, r.n)) << r.at;
            EXPECT_TRUE(std::string_view(file.data() + r.at, r.n) ==
                        std::string_view(bytes).substr(r.at, r.n))
                << r.at;
        }
        EXPECT_FALSE(file.ensure(size - 1, 2));
        EXPECT_FALSE(file.ensure(size + 1, 0));
        docx_heap data;
        size_t got = 0;
        ASSERT_EQ(file.finish(&data, &got), 0);
        ASSERT_EQ(got, size);
        EXPECT_TRUE(std::string_view(data.get(), got) == bytes);
        EXPECT_EQ(data.get()[got], '\0');
    }
}

// A file that shrinks once its size was taken is a short read, whichever
// thread comes to the missing bytes.
TEST(FileLoad, FileCutShortWhileReadIsAShortRead) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "read whole at start";
    TempDir dir;
    constexpr size_t size = size_t{64} << 20;
    std::string path = dir.file("shrinking.docx");
    testkit::write_file(path, "");
    fs::resize_file(path, size);  // sparse
    docx_file_load file;
    ASSERT_EQ(file.start(path.c_str()), 0);
    fs::resize_file(path, size / 16);
    EXPECT_FALSE(file.ensure(size - 1, 1));
    docx_heap data;
    size_t got = 1;
    EXPECT_EQ(file.finish(&data, &got), -1);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(docx_last_error(), "short read: " + path);
}

TEST(ReadFile, UnreadablePathsNameTheCause) {
    TempDir dir;
    struct Case {
        std::string path, message;
    } cases[] = {
        {dir.file("absent.docx"),
         "cannot open file: " + dir.file("absent.docx") + " (No such file or directory)"},
        {dir.path().string(), "cannot open file: " + dir.path().string() + " (Is a directory)"},
    };
    for (const Case &c : cases) {
        docx_heap data;
        size_t size = 0;
        EXPECT_EQ(docx_read_file(c.path.c_str(), &data, &size), -1);
        EXPECT_EQ(docx_last_error(), c.message);
    }
}

// MARK: - Encryption and legacy files

// A Compound File: signature, header, then one 128-byte directory entry at
// `entry_at` naming `stream`.
std::string compound_file(std::string_view stream, size_t entry_at = 512) {
    std::string cfb("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    cfb.resize(entry_at + 128 * 4, '\0');
    for (size_t i = 0; i < stream.size(); ++i) cfb[entry_at + 2 * i] = stream[i];
    cfb[entry_at + 64] = static_cast<char>(2 * (stream.size() + 1));
    cfb[entry_at + 66] = 2;  // stream
    return cfb;
}

TEST(DetectEncrypted, CompoundFilesAndEncryptionEntries) {
    TempDir dir;
    std::string password_zip = dir.file("pw.zip");
    {
        int err = 0;
        zip_t *za = zip_open(password_zip.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
        zip_int64_t i =
            zip_file_add(za, "word/document.xml", zip_source_buffer(za, "<w:document/>", 13, 0), 0);
        zip_file_set_encryption(za, static_cast<zip_uint64_t>(i), ZIP_EM_TRAD_PKWARE, "pw");
        ASSERT_EQ(zip_close(za), 0);
    }
    struct Case {
        const char *what;
        std::string bytes;
        int expected;
    } cases[] = {
        {"encrypted package", compound_file("EncryptedPackage"), DOCX_ENCRYPTED},
        {"encryption info", compound_file("EncryptionInfo"), DOCX_ENCRYPTED},
        {"4096-byte sectors", compound_file("EncryptionInfo", 4096 + 256), DOCX_ENCRYPTED},
        {"a .doc", compound_file("WordDocument"), DOCX_LEGACY_BINARY},
        {"name off the entry grid", compound_file("EncryptedPackage", 520), DOCX_LEGACY_BINARY},
        {"signature alone", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8), DOCX_LEGACY_BINARY},
        {"7 bytes of signature", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A", 7),
         DOCX_NOT_ENCRYPTED},
        {"empty", "", DOCX_NOT_ENCRYPTED},
        {"entry EncryptionInfo", zip_bytes(dir, {{"EncryptionInfo", "x"}}), DOCX_ENCRYPTED},
        {"nested EncryptionInfo", zip_bytes(dir, {{"docs/EncryptionInfo", "x"}}),
         DOCX_NOT_ENCRYPTED},
        {"EncryptedPackage in a name", zip_bytes(dir, {{"data/EncryptedPackage.bin", "x"}}),
         DOCX_ENCRYPTED},
        {"plain package", zip_bytes(dir, {{"word/document.xml", "x"}}), DOCX_NOT_ENCRYPTED},
        {"ZIP password", testkit::read_file(password_zip), DOCX_ENCRYPTED},
    };
    for (const Case &c : cases)
        EXPECT_EQ(docx_detect_encrypted(c.bytes.data(), c.bytes.size()), c.expected) << c.what;
}

// A large Compound File is searched to its end, not only as far as it was
// read when the search began.
TEST(DetectEncrypted, LargeCompoundFileIsReadBeforeItIsSearched) {
    TempDir dir;
    std::string path = dir.file("large.doc");
    testkit::write_file(path, compound_file("EncryptedPackage", size_t{9} << 20));
    docx_file_load file;
    ASSERT_EQ(file.start(path.c_str()), 0);
    EXPECT_EQ(docx_detect_encrypted(file), DOCX_ENCRYPTED);
}

// MARK: - Extracting parts

struct ExtractCase {
    const char *what;
    std::string zip;
    const char *name;
    const char *expected;  // the part's bytes, or null
    std::string message;   // when it fails
};

TEST(ZipExtract, FindsChecksAndCapsParts) {
    TempDir dir;
    const std::string xml = "<w:document>text</w:document>";
    std::string crc_damaged = zip_bytes(dir, {{"word/document.xml", xml}});
    crc_damaged[crc_damaged.rfind(std::string("PK\x01\x02", 4)) + 16] ^= 1;  // central CRC
    std::string data_damaged = raw_zip({{"word/document.xml", xml}});
    data_damaged[30 + 17 + 3] ^= 0x55;  // inside the deflated data
    ExtractCase cases[] = {
        {"case ignored", zip_bytes(dir, {{"Word/Document.XML", xml}}), "word/document.xml",
         xml.c_str(), ""},
        {"stored", raw_zip({{"word/document.xml", xml, 0, true}}), "word/document.xml", xml.c_str(),
         ""},
        {"zero bytes", zip_bytes(dir, {{"docProps/core.xml", ""}}), "docProps/core.xml", "", ""},
        {"absent", zip_bytes(dir, {{"word/document.xml", xml}}), "docProps/core.xml", nullptr,
         "missing part in DOCX: docProps/core.xml"},
        {"no ZIP", "PK but not a zip archive at all", "word/document.xml", nullptr,
         "not a valid ZIP/DOCX archive"},
        {"empty file", "", "word/document.xml", nullptr, "not a valid ZIP/DOCX archive"},
        {"CRC mismatch", crc_damaged, "word/document.xml", nullptr,
         "missing part in DOCX: word/document.xml"},
        {"bad data", data_damaged, "word/document.xml", nullptr,
         "missing part in DOCX: word/document.xml"},
        {"size understated", raw_zip({{"word/document.xml", xml, 5}}), "word/document.xml", nullptr,
         "missing part in DOCX: word/document.xml"},
        {"zip bomb header", raw_zip({{"word/document.xml", xml, 0xFFFFFFFE}}), "word/document.xml",
         nullptr, "part exceeds 512MB uncompressed limit: word/document.xml"},
        {"size beyond deflate's reach", raw_zip({{"word/document.xml", xml, 100u << 20}}),
         "word/document.xml", nullptr, "missing part in DOCX: word/document.xml"},
    };
    for (const ExtractCase &c : cases) {
        SCOPED_TRACE(c.what);
        docx_clear_error();
        size_t len = 7;
        docx_heap part = docx_zip_extract(c.zip.data(), c.zip.size(), c.name, &len);
        if (c.expected) {
            ASSERT_NE(part, nullptr) << docx_last_error();
            EXPECT_EQ(std::string(part.get(), len), c.expected);
            EXPECT_EQ(part.get()[len], '\0');
        } else {
            EXPECT_EQ(part, nullptr);
            EXPECT_EQ(len, 0u);
            EXPECT_EQ(docx_last_error(), c.message);
        }
    }
}

TEST(ZipExtractMain, FollowsThePackageRelationshipToAWordPart) {
    TempDir dir;
    struct Case {
        const char *what;
        Entries entries;
        const char *part;  // stored name found, or null
    } cases[] = {
        {"fixed name", relationship_package("word/other.xml", "word/document.xml", ""),
         "word/document.xml"},
        {"fixed name, other case", relationship_package("", "WORD/Document.xml", ""),
         "WORD/Document.xml"},
        {"relationship",
         relationship_package("word/document2.xml", "word/document2.xml", WORD_MAIN),
         "word/document2.xml"},
        {"absolute target, other case",
         relationship_package("/Word/Main.xml", "word/main.xml", WORD_MAIN), "word/main.xml"},
        {"macro-enabled",
         relationship_package("word/main.xml", "word/main.xml",
                              "application/vnd.ms-word.document.macroEnabled.main+xml"),
         "word/main.xml"},
        {"theme package",
         relationship_package("theme/theme/themeManager.xml", "theme/theme/themeManager.xml",
                              "application/vnd.openxmlformats-officedocument.themeManager+xml"),
         nullptr},
        {"no Word content type", relationship_package("word/main.xml", "word/main.xml", ""),
         nullptr},
        {"external target",
         relationship_package("word/main.xml", "word/main.xml", WORD_MAIN,
                              " TargetMode=\"External\""),
         nullptr},
        {"target absent", relationship_package("word/gone.xml", "word/main.xml", WORD_MAIN),
         nullptr},
        {"no relationships", relationship_package("", "word/main.xml", WORD_MAIN), nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string zip = zip_bytes(dir, c.entries);
        docx_heap doc, part;
        size_t len = 0;
        int rc = docx_zip_extract_main(zip.data(), zip.size(), &doc, &len, &part);
        if (c.part) {
            ASSERT_EQ(rc, 0) << docx_last_error();
            EXPECT_STREQ(part.get(), c.part);
            EXPECT_EQ(heap_text(doc, len), "<w:document/>");
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_STREQ(docx_last_error(), "missing part in DOCX: word/document.xml");
        }
    }
}

// MARK: - Writing the minimal package

TEST(ZipWriteSimple, WritesTheSevenEntriesInOrder) {
    TempDir dir;
    std::string out = dir.file("out.docx");
    // Random bytes do not shrink: libzip would store them unless told to deflate.
    std::string doc = random_bytes(4000, 1);
    ASSERT_EQ(docx_zip_write_simple(out.c_str(), doc.data(), doc.size(), nullptr, 0), 0)
        << docx_last_error();
    Entries got = testkit::read_zip(out);
    ASSERT_EQ(names_of(got),
              (std::vector<std::string>{"[Content_Types].xml", "_rels/.rels", "word/document.xml",
                                        "word/_rels/document.xml.rels", "word/styles.xml",
                                        "docProps/core.xml", "docProps/app.xml"}));
    const size_t sizes[] = {796, 590, doc.size(), 284, 2780, 652, 290};
    const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<";
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].second.size(), sizes[i]) << got[i].first;
        if (i != 2) {
            EXPECT_TRUE(got[i].second.starts_with(decl)) << got[i].first;
        }
    }
    EXPECT_EQ(got[2].second, doc);
    EXPECT_NE(got[5].second.find("<dc:creator>tavrimel-docx-tools</dc:creator>"),
              std::string::npos);
    EXPECT_NE(got[5].second.find(">2026-09-12T00:00:00Z</dcterms:modified>"), std::string::npos);
    EXPECT_NE(got[1].second.find("Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                                 "relationships/officeDocument\" Target=\"word/document.xml\"/>"),
              std::string::npos);
    // Headings are headings to other readers only where their styles are defined.
    EXPECT_NE(got[3].second.find("relationships/styles\" Target=\"styles.xml\"/>"),
              std::string::npos);
    EXPECT_NE(got[0].second.find("<Override PartName=\"/word/styles.xml\" "), std::string::npos);
    for (int level = 1; level <= 6; ++level) {
        std::string id = "w:styleId=\"Heading" + std::to_string(level) +
                         "\"><w:name w:val=\"heading " + std::to_string(level) + "\"/>";
        std::string outline = "<w:outlineLvl w:val=\"" + std::to_string(level - 1) + "\"/>";
        size_t at = got[4].second.find(id);
        ASSERT_NE(at, std::string::npos) << id;
        EXPECT_EQ(got[4].second.find(outline, at), got[4].second.find("<w:outlineLvl", at)) << id;
    }
    // Merged notes keep their marks raised.
    for (const char *kind : {"Footnote", "Endnote"})
        EXPECT_NE(
            got[4].second.find(std::string("w:styleId=\"") + kind + "Reference\"><w:name w:val=\""),
            std::string::npos);
    EXPECT_NE(got[4].second.find("<w:vertAlign w:val=\"superscript\"/>"), std::string::npos);
    for (const auto &[name, e] : stored_entries(out)) EXPECT_EQ(e.method, ZIP_CM_DEFLATE) << name;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
        << "a temporary file was left behind";

    std::string core = "<core/>";
    ASSERT_EQ(docx_zip_write_simple(out.c_str(), "<d/>", 4, core.data(), core.size()), 0);
    EXPECT_EQ(testkit::read_entry(out, "docProps/core.xml"), core);
}

// Large parts are deflated in two pieces joined into one stream; both readers
// (libzip with zlib, and the library's own) must get every byte back.
TEST(ZipWriteSimple, LargePartsReadBackExactly) {
    TempDir dir;
    std::string out = dir.file("out.docx");
    std::string prose;
    while (prose.size() < (3u << 20))
        prose += "<w:p><w:r><w:t>line " + std::to_string(prose.size()) + "</w:t></w:r></w:p>";
    struct Case {
        const char *what;
        std::string doc;
    } cases[] = {
        {"just under the two-piece size", prose.substr(0, (512u << 10) - 1)},
        {"at the two-piece size", prose.substr(0, 512u << 10)},
        {"3 MB of XML", prose},
        {"incompressible", random_bytes(1u << 20, 7)},
        {"incompressible head, XML tail", random_bytes(1u << 20, 8) + prose.substr(0, 2u << 20)},
        {"head ending in stored blocks", prose.substr(0, 1u << 20) + random_bytes(2u << 20, 9)},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // The head's stream ends at some bit of its last byte: these lengths end
    // it at each of the eight with Debian 12's libdeflate.
    for (size_t k = 0; k < 16; ++k)
        all.push_back({"lengths past the two-piece size", prose.substr(0, (600u << 10) + k * 29)});
    for (const Case &c : all) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(docx_zip_write_simple(out.c_str(), c.doc.data(), c.doc.size(), nullptr, 0), 0)
            << docx_last_error();
        EXPECT_TRUE(testkit::read_entry(out, "word/document.xml") == c.doc);
        std::string file = testkit::read_file(out);
        size_t len = 0;
        docx_heap part = docx_zip_extract(file.data(), file.size(), "word/document.xml", &len);
        ASSERT_TRUE(part) << docx_last_error();
        EXPECT_TRUE(std::string_view(part.get(), len) == c.doc);
    }
}

// zlib's inflate, stopping at the end of every block, as the reference for
// where a stream's final block starts and ends.
bool zlib_final_block(const std::string &stream, size_t *start, size_t *end) {
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return false;
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream.data()));
    zs.avail_in = static_cast<uInt>(stream.size());
    std::vector<unsigned char> sink(1 << 16);
    bool ended = false;
    int rc;
    do {
        zs.next_out = sink.data();
        zs.avail_out = static_cast<uInt>(sink.size());
        rc = inflate(&zs, Z_BLOCK);
        if (rc != Z_OK || !(zs.data_type & 128)) continue;
        size_t at = zs.total_in * 8 - (static_cast<unsigned>(zs.data_type) & 7);
        if (zs.data_type & 64) {
            *end = at;
            ended = true;
        } else {
            *start = at;
        }
    } while (rc == Z_OK);
    inflateEnd(&zs);
    return rc == Z_STREAM_END && ended && zs.avail_in == 0;
}

std::string zlib_deflated(std::string_view plain, int level, int strategy) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 9, strategy), Z_OK);
    std::string out(deflateBound(&zs, plain.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.data()));
    zs.avail_in = static_cast<uInt>(plain.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// The large parts' two pieces are joined at the head's final block: every
// kind of block (stored, fixed, dynamic, codes longer than the fast table)
// is walked to where zlib finds its end, and broken streams are declined.
TEST(DeflateFinalBlock, AgreesWithZlib) {
    std::string prose;
    while (prose.size() < (1u << 20))
        prose += "<w:p><w:r><w:t>line " + std::to_string(prose.size() * 7919 % 100003) +
                 "</w:t></w:r></w:p>";
    // Symbols of very uneven frequency get codes of up to 15 bits.
    std::string skewed;
    std::mt19937 rng(3);
    for (size_t i = 0; i < 300000; ++i) {
        unsigned r = rng() & 0xFFFF;
        skewed += static_cast<char>(r < 40000 ? 'a' : 32 + std::countl_zero(r) * 13 + (r & 7));
    }
    const std::string inputs[] = {"",     "x",
                                  prose,  random_bytes(200000, 5),
                                  skewed, prose.substr(0, 70000) + random_bytes(70000, 6) + prose};
    std::vector<std::pair<std::string, std::string>> streams;
    for (const std::string &in : inputs) {
        for (int level : {0, 1, 6, 12}) {
            libdeflate_compressor *c = libdeflate_alloc_compressor(level);
            std::string out(libdeflate_deflate_compress_bound(c, in.size()), '\0');
            out.resize(
                libdeflate_deflate_compress(c, in.data(), in.size(), out.data(), out.size()));
            libdeflate_free_compressor(c);
            streams.push_back({"libdeflate level " + std::to_string(level), out});
        }
        for (int strategy : {Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE, Z_DEFAULT_STRATEGY})
            streams.push_back(
                {"zlib strategy " + std::to_string(strategy), zlib_deflated(in, 6, strategy)});
    }
    for (const auto &[what, stream] : streams) {
        SCOPED_TRACE(what + ", " + std::to_string(stream.size()) + " bytes");
        size_t want_start = 0, want_end = 0, start = 1, end = 1;
        ASSERT_TRUE(zlib_final_block(stream, &want_start, &want_end));
        ASSERT_TRUE(docx_deflate_final_block(stream.data(), stream.size(), &start, &end));
        EXPECT_EQ(start, want_start);
        EXPECT_EQ(end, want_end);
        if (stream.size() < 2) continue;
        EXPECT_FALSE(docx_deflate_final_block(stream.data(), stream.size() - 1, &start, &end))
            << "truncated";
        std::string longer = stream + '\0';
        EXPECT_FALSE(docx_deflate_final_block(longer.data(), longer.size(), &start, &end))
            << "bytes after the end";
    }
    // Damaged streams are declined without reading out of bounds.
    for (unsigned seed = 0; seed < 200; ++seed) {
        std::string stream = streams[seed % streams.size()].second;
        if (stream.empty()) continue;
        stream[rng() % stream.size()] ^= static_cast<char>(1 + rng() % 255);
        size_t want_start = 0, want_end = 0, start = 0, end = 0;
        bool want = zlib_final_block(stream, &want_start, &want_end);
        bool got = docx_deflate_final_block(stream.data(), stream.size(), &start, &end);
        if (got && want) {
            EXPECT_EQ(start, want_start);
            EXPECT_EQ(end, want_end);
        }
    }
    for (unsigned seed = 0; seed < 50; ++seed) {
        std::string noise = random_bytes(1 + seed * 37, seed);
        size_t start = 0, end = 0;
        docx_deflate_final_block(noise.data(), noise.size(), &start, &end);
    }
}

// The temporary file the package is built in is private until renamed; the
// output must still get the permissions any new file of the user gets.
TEST(ZipWriteSimple, OutputGetsTheUsualPermissions) {
    TempDir dir;
    std::string out = dir.file("out.docx");
    testkit::write_file(out, "an older file");
    for (mode_t mask : {mode_t{022}, mode_t{077}}) {
        mode_t old = umask(mask);
        int rc = docx_zip_write_simple(out.c_str(), "<d/>", 4, nullptr, 0);
        umask(old);
        ASSERT_EQ(rc, 0);
        struct stat st;
        ASSERT_EQ(stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    }
    EXPECT_EQ(testkit::read_entry(out, "word/document.xml"), "<d/>");
}

TEST(ZipWriteSimple, UncreatableOutputCreatesNothing) {
    TempDir dir;
    struct Case {
        std::string out;
    } cases[] = {{dir.file("missing/out.docx")}, {dir.path().string()}};
    for (const Case &c : cases) {
        EXPECT_EQ(docx_zip_write_simple(c.out.c_str(), "<d/>", 4, nullptr, 0), -1);
        EXPECT_EQ(docx_last_error(), "cannot create output: " + c.out);
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// MARK: - Rewriting a package

class Rewrite : public ::testing::Test {
  protected:
    TempDir dir;
    std::string src_path = dir.file("src.docx");
    std::string out = dir.file("out.docx");
    const std::string new_xml = "<w:document>new</w:document>";

    int rewrite(const std::string &src, const char *main_part) {
        return docx_zip_rewrite_document(src.data(), src.size(), main_part, new_xml.data(),
                                         new_xml.size(), out.c_str());
    }
};

TEST_F(Rewrite, ReplacesExactlyTheOpenedMainPart) {
    struct Case {
        const char *main;
    } cases[] = {{"word/document.xml"}, {"Word/Document.xml"}, {"word/document2.xml"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.main);
        Entries src = {{"[Content_Types].xml", "<Types/>"},
                       {"word/", ""},
                       {c.main, "<w:document>old</w:document>"},
                       {"docProps/core.xml", "<core/>"}};
        testkit::write_zip(src_path, src);
        ASSERT_EQ(rewrite(testkit::read_file(src_path), c.main), 0) << docx_last_error();
        Entries expected = {src[0], {c.main, new_xml}, src[3]};  // directories dropped
        EXPECT_EQ(testkit::read_zip(out), expected);
        EXPECT_EQ(stored_entries(out)[c.main].method, ZIP_CM_DEFLATE);
    }
}

TEST_F(Rewrite, CopiesOtherEntriesWithoutRecompressing) {
    std::string picture = random_bytes(300000, 2);
    std::string text(20000, 'a');
    std::string src = raw_zip({{"word/document.xml", "<old/>"},
                               {"word/media/image1.png", picture, 0, true},
                               {"word/styles.xml", text}});
    testkit::write_file(src_path, src);
    ASSERT_EQ(rewrite(src, "word/document.xml"), 0) << docx_last_error();
    auto before = stored_entries(src_path), after = stored_entries(out);
    for (const char *name : {"word/media/image1.png", "word/styles.xml"}) {
        EXPECT_EQ(after[name].method, before[name].method) << name;
        EXPECT_TRUE(after[name].raw == before[name].raw) << name << " was recompressed";
    }
}

TEST_F(Rewrite, FailureLeavesAnExistingOutputUntouched) {
    std::string damaged = raw_zip(
        {{"word/document.xml", "<old/>"}, {"word/media/image1.png", random_bytes(1000, 3)}});
    damaged[damaged.rfind(std::string("PK\x01\x02", 4)) + 16] ^= 1;  // last entry's CRC
    struct Case {
        const char *what;
        std::string src;
        std::string message;
    } cases[] = {
        {"damaged entry", damaged, "failed extracting word/media/image1.png"},
        {"entry over the cap",
         raw_zip({{"word/document.xml", "<old/>"}, {"big.bin", "x", 0xFFFFFFF0}}),
         "part exceeds 512MB uncompressed limit: big.bin"},
        {"not a ZIP", "garbage", "cannot re-open zip for rewrite"},
        {"main part absent", raw_zip({{"word/document.xml", "<old/>"}}),
         "missing part in DOCX: word/document2.xml"},
    };
    testkit::write_file(out, "precious");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const char *main =
            c.message.ends_with("document2.xml") ? "word/document2.xml" : "word/document.xml";
        EXPECT_EQ(rewrite(c.src, main), -1);
        EXPECT_EQ(docx_last_error(), c.message);
        EXPECT_EQ(testkit::read_file(out), "precious");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
        << "a temporary file was left behind";
}

TEST_F(Rewrite, OutputInAMissingFolderCreatesNothing) {
    testkit::write_docx(src_path, "<old/>");
    out = dir.file("missing/out.docx");
    EXPECT_EQ(rewrite(testkit::read_file(src_path), "word/document.xml"), -1);
    EXPECT_EQ(docx_last_error(), "cannot create output: " + out);
    EXPECT_FALSE(fs::exists(dir.file("missing")));
}

TEST_F(Rewrite, OverTheOpenedFileKeepsTheHandleUsable) {
    testkit::write_docx(src_path, testkit::document_xml("<w:p/>"));
    int h = docx_open(src_path.c_str());
    ASSERT_GE(h, 0) << docx_last_error();
    const docx_doc *d = docx_doc_get(h);
    std::string opened(d->doc_xml.get(), d->doc_len);
    out = src_path;
    EXPECT_EQ(docx_zip_rewrite_document(d->file_data.get(), d->file_len, d->doc_part.get(),
                                        new_xml.data(), new_xml.size(), out.c_str()),
              0)
        << docx_last_error();
    EXPECT_EQ(testkit::read_entry(src_path, "word/document.xml"), new_xml);
    EXPECT_EQ(std::string(d->doc_xml.get(), d->doc_len), opened);
    docx_close(h);
}

// MARK: - Deflated entries as written

uint32_t get16(const std::string &s, size_t at) {
    return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}
uint32_t get32(const std::string &s, size_t at) {
    return get16(s, at) | get16(s, at + 2) << 16;
}

// An entry's local header and data, as a reader streaming the file sees them.
struct LocalEntry {
    uint32_t method = 0, crc = 0, comp_size = 0, size = 0;
    std::string raw;
};
std::map<std::string, LocalEntry> local_entries(const std::string &zip) {
    std::map<std::string, LocalEntry> out;
    for (size_t at = 0; at + 30 <= zip.size() && get32(zip, at) == 0x04034b50;) {
        size_t name_len = get16(zip, at + 26), data_at = at + 30 + name_len + get16(zip, at + 28);
        uint32_t comp_size = get32(zip, at + 18);
        out[zip.substr(at + 30, name_len)] = {get16(zip, at + 8), get32(zip, at + 14), comp_size,
                                              get32(zip, at + 22), zip.substr(data_at, comp_size)};
        at = data_at + comp_size;
    }
    return out;
}

// Each part the library writes holds the libdeflate level-6 stream of its
// bytes, so libzip copied it instead of compressing it again; the local
// headers agree with the bytes, and unzip accepts the package.
TEST(WrittenEntries, AreTheLibraryDeflateStreams) {
    TempDir dir;
    std::string src = testkit::read_file(testkit::write_docx(dir.file("src.docx"), "<old/>"));
    const std::string doc =
        testkit::document_xml("<w:p><w:r><w:t>text text text</w:t></w:r></w:p>");
    struct Case {
        const char *what;
        std::string doc;
        bool rewrite;
    } cases[] = {{"write", doc, false},
                 {"write, empty main part", "", false},
                 {"rewrite", doc, true},
                 {"rewrite, empty main part", "", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string out = dir.file("out.docx");
        int rc = c.rewrite
                     ? docx_zip_rewrite_document(src.data(), src.size(), nullptr, c.doc.data(),
                                                 c.doc.size(), out.c_str())
                     : docx_zip_write_simple(out.c_str(), c.doc.data(), c.doc.size(), nullptr, 0);
        ASSERT_EQ(rc, 0) << docx_last_error();
        EXPECT_EQ(testkit::read_entry(out, "word/document.xml"), c.doc);
        auto central = stored_entries(out);
        auto local = local_entries(testkit::read_file(out));
        ASSERT_EQ(local.size(), central.size());
        for (const auto &[name, plain] : testkit::read_zip(out)) {
            SCOPED_TRACE(name);
            const LocalEntry &l = local[name];
            EXPECT_EQ(central[name].method, ZIP_CM_DEFLATE);
            EXPECT_EQ(l.method, ZIP_CM_DEFLATE);
            EXPECT_EQ(l.crc, crc_of(plain));
            EXPECT_EQ(l.size, plain.size());
            EXPECT_TRUE(l.raw == central[name].raw);
            if (!c.rewrite || name == "word/document.xml") {
                EXPECT_TRUE(central[name].raw == deflated(plain)) << "recompressed";
            }
        }
        testkit::Command unzip = testkit::run_command("unzip -tq " + out);
        EXPECT_EQ(unzip.status, 0) << unzip.output;
    }
}

// A part that cannot be compressed for lack of memory fails the call before
// anything reaches the disk.
TEST(WrittenEntries, OutOfMemoryWritesNothing) {
    TempDir dir;
    std::string src = testkit::read_file(testkit::write_docx(dir.file("src.docx"), "<old/>"));
    std::string out = dir.file("out.docx");
    testkit::write_file(out, "precious");
    struct Case {
        bool rewrite;
        long fail_at;  // growths that succeed first
        const char *part;
    } cases[] = {{false, 0, "[Content_Types].xml"},
                 {false, 2, "word/document.xml"},
                 {true, 0, "word/document.xml"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.part);
        docx_buf_fail_growth_after(c.fail_at);
        int rc = c.rewrite ? docx_zip_rewrite_document(src.data(), src.size(), nullptr, "<new/>", 6,
                                                       out.c_str())
                           : docx_zip_write_simple(out.c_str(), "<new/>", 6, nullptr, 0);
        docx_buf_fail_growth_after(-1);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(docx_last_error(), std::string("out of memory compressing ") + c.part);
        EXPECT_EQ(testkit::read_file(out), "precious");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2)
        << "a temporary file was left behind";
}

}  // namespace
