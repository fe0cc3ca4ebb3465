// testkit.cpp -- helpers shared by the tests.
#include "testkit.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tavrimel_docx.h"

namespace testkit {

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "docx-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string document_xml(std::string_view body, std::string_view body_tail) {
    std::string x =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><w:body>";
    x += body;
    x += body_tail;
    x += "</w:body></w:document>";
    return x;
}

void write_zip(const std::string &path, const Entries &entries) {
    int err = 0;
    zip_t *za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(za, nullptr) << "zip_open " << path;
    for (const auto &[name, bytes] : entries) {
        zip_source_t *src = zip_source_buffer(za, bytes.data(), bytes.size(), 0);
        ASSERT_NE(src, nullptr);
        zip_int64_t idx = zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8);
        if (idx < 0) zip_source_free(src);
        ASSERT_GE(idx, 0) << name;
        zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), ZIP_CM_DEFLATE, 6);
    }
    ASSERT_EQ(zip_close(za), 0) << zip_strerror(za);
}

std::string write_docx(const std::string &path, const std::string &doc_xml,
                       const std::string &core_xml) {
    Entries e = {
        {"[Content_Types].xml",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
         "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
         "<Default Extension=\"rels\" "
         "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
         "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
         "<Override PartName=\"/word/document.xml\" "
         "ContentType=\"application/"
         "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>"},
        {"_rels/.rels",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships "
         "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" "
         "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
         "officeDocument\" Target=\"word/document.xml\"/></Relationships>"},
        {"word/document.xml", doc_xml},
    };
    if (!core_xml.empty()) e.emplace_back("docProps/core.xml", core_xml);
    write_zip(path, e);
    return path;
}

Entries read_zip(const std::string &path) {
    Entries out;
    int err = 0;
    zip_t *za = zip_open(path.c_str(), ZIP_RDONLY, &err);
    if (!za) {
        ADD_FAILURE() << "cannot open zip " << path;
        return out;
    }
    zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        zip_stat_t st;
        zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st);
        std::string bytes(st.size, '\0');
        zip_file_t *f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
        if (!f) {
            ADD_FAILURE() << "cannot open entry " << st.name;
            continue;
        }
        zip_int64_t got = zip_fread(f, bytes.data(), bytes.size());
        zip_fclose(f);
        EXPECT_EQ(got, static_cast<zip_int64_t>(st.size)) << st.name;
        out.emplace_back(st.name, std::move(bytes));
    }
    zip_close(za);
    return out;
}

std::string read_entry(const std::string &path, std::string_view name) {
    for (auto &[n, bytes] : read_zip(path))
        if (n == name) return bytes;
    ADD_FAILURE() << "no entry " << name << " in " << path;
    return {};
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string noise(size_t n) {
    std::string bytes(n, '\0');
    uint32_t x = static_cast<uint32_t>(n);
    for (char &c : bytes) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    return bytes;
}

void write_file(const std::string &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string corpus_dir() {
    const char *env = std::getenv("DOCX_CORPUS_DIR");
    return env && *env ? env : DOCX_TEST_CORPUS;
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(corpus_dir(), ec))
        if (e.path().extension() == ".docx") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string corpus_note(const std::string &file) {
    std::ifstream in(corpus_dir() + "/MANIFEST.tsv");
    std::string name = fs::path(file).filename().string(), line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size() + 1, name + "\t") != 0) continue;
        return line.substr(line.rfind('\t') + 1);
    }
    return {};
}

Command run_command(const std::string &cmd) {
    Command r{-1, {}};
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return r;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0) r.output.append(chunk, n);
    int st = pclose(p);
    r.status = st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string content_of(const std::string &path, int format) {
    int h = docx_open(path.c_str());
    if (h < 0) return std::string("<error: ") + docx_last_error() + ">";
    const char *t = docx_content(h, format);
    std::string r = t ? t : std::string("<error: ") + docx_last_error() + ">";
    docx_close(h);
    return r;
}

}  // namespace testkit
