// bench_docx.cpp -- throughput of the exports on generated documents, each
// beside its floor: inflating (and deflating) the same main part alone.
//
// MB/s counts the bytes of document XML (for write, of Markdown input). The
// floors use libdeflate at level 6, the codec the library reads and writes
// with, and, for deflating, also zlib at level 6, libzip's own codec.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tavrimel_docx.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kParagraphs = 100'000;
constexpr size_t kRuns = 100'000;
constexpr size_t kMarkdownLines = 5'000;
constexpr size_t kPictureBytes = 20u << 20;
constexpr int kLevel = 6;

// MARK: - Generated XML

// Words drawn at random, so that the main part compresses like real prose
// (about 1:4) rather than like a repeated line.
std::string words(uint64_t *seed, int n) {
    static const char *const vocabulary[] = {
        "the",      "quick",   "brown",   "fox",     "jumps",     "over",     "lazy",
        "dog",      "report",  "quarter", "revenue", "growth",    "market",   "customer",
        "policy",   "section", "annual",  "summary", "analysis",  "results",  "project",
        "schedule", "budget",  "review",  "meeting", "agreement", "contract", "service",
        "delivery", "quality", "team",    "member",  "and",       "of",       "to",
        "in",       "for",     "with",    "on",      "by",        "Zürich",   "naïve",
        "café",     "über",    "€",       "&amp;",   "&lt;x&gt;", "2024"};
    std::string out;
    for (int i = 0; i < n; ++i) {
        *seed = *seed * 6364136223846793005u + 1442695040888963407u;
        if (i) out += ' ';
        out += vocabulary[(*seed >> 33) % std::size(vocabulary)];
    }
    return out;
}

std::string paragraph(size_t i) {
    static uint64_t seed = 1;
    if (i % 100 == 0)
        return "<w:p><w:pPr><w:pStyle w:val=\"Heading1\"/></w:pPr><w:r><w:t>Section " +
               std::to_string(i) + "</w:t></w:r></w:p>";
    return "<w:p><w:r><w:rPr><w:b/></w:rPr><w:t>" + words(&seed, 3) +
           "</w:t></w:r><w:r><w:t xml:space=\"preserve\"> " + words(&seed, 12) +
           " fox.</w:t></w:r></w:p>";
}

std::string table(size_t i) {
    std::string t = "<w:tbl><w:tblGrid><w:gridCol/><w:gridCol/><w:gridCol/></w:tblGrid>";
    for (int r = 0; r < 3; ++r) {
        t += "<w:tr>";
        for (int c = 0; c < 3; ++c)
            t += "<w:tc><w:p><w:r><w:t>cell " + std::to_string(i) + "." + std::to_string(r) + "." +
                 std::to_string(c) + " fox</w:t></w:r></w:p></w:tc>";
        t += "</w:tr>";
    }
    return t + "</w:tbl>";
}

std::string document(const std::string &body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
           "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<w:body>" +
           body +
           "<w:sectPr><w:pgSz w:w=\"12240\" w:h=\"15840\"/></w:sectPr></w:body></w:document>";
}

std::string paragraphs_body(bool with_tables) {
    std::string body;
    for (size_t i = 0; i < kParagraphs; ++i) {
        body += paragraph(i);
        if (with_tables && i % 50 == 49) body += table(i);
    }
    return body;
}

std::string runs_body() {
    std::string body = "<w:p>";
    for (size_t i = 0; i < kRuns; ++i)
        body += i % 2 ? "<w:r><w:rPr><w:i/></w:rPr><w:t>fox </w:t></w:r>"
                      : "<w:r><w:t xml:space=\"preserve\">word </w:t></w:r>";
    return body + "</w:p>";
}

std::string markdown() {
    uint64_t seed = 7;
    std::string md;
    for (size_t i = 0; i < kMarkdownLines; ++i) {
        std::string n = std::to_string(i);
        if (i % 100 == 0)
            md += "## Section " + n + "\n";
        else if (i % 50 < 4)
            md += i % 50 == 1 ? "|---|---|---|\n" : "| a " + n + " | **b** | *c* |\n";
        else
            md += "Line " + n + " " + words(&seed, 4) + " *" + words(&seed, 2) + "* and **" +
                  words(&seed, 2) + "** " + words(&seed, 6) + " fox.\n";
    }
    return md;
}

// Bytes that do not compress, like the JPEG and PNG pictures of real documents.
std::string picture_bytes(size_t n, uint64_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        std::memcpy(&s[i], &seed, 8);
    }
    return s;
}

// MARK: - Codecs

struct deflate_codec {
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> c{
        libdeflate_alloc_compressor(kLevel), libdeflate_free_compressor};
    std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> d{
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor};

    std::string deflate(const std::string &in) const {
        std::string out(libdeflate_deflate_compress_bound(c.get(), in.size()), '\0');
        out.resize(
            libdeflate_deflate_compress(c.get(), in.data(), in.size(), out.data(), out.size()));
        return out;
    }
    void inflate(const std::string &in, std::string *out) const {
        if (libdeflate_deflate_decompress(d.get(), in.data(), in.size(), out->data(), out->size(),
                                          nullptr) != LIBDEFLATE_SUCCESS)
            throw std::runtime_error("inflate failed");
    }
};

size_t zlib_deflate(const std::string &in, std::string *out) {
    z_stream z{};
    deflateInit2(&z, kLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    out->resize(deflateBound(&z, in.size()));
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef *>(out->data());
    z.avail_out = static_cast<uInt>(out->size());
    deflate(&z, Z_FINISH);
    size_t n = z.total_out;
    deflateEnd(&z);
    return n;
}

// MARK: - Documents on disk

void write_package(const std::string &path, const std::string &xml, size_t pictures) {
    int err = 0;
    zip_t *za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) throw std::runtime_error("cannot create " + path);
    std::vector<std::pair<std::string, std::string>> parts = {
        {"[Content_Types].xml",
         "<?xml version=\"1.0\"?><Types "
         "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default "
         "Extension=\"png\" ContentType=\"image/png\"/><Override PartName=\"/word/document.xml\" "
         "ContentType=\"application/"
         "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>"},
        {"word/document.xml", xml}};
    for (size_t i = 0; i * (1u << 20) < pictures; ++i)
        parts.emplace_back("word/media/image" + std::to_string(i) + ".png",
                           picture_bytes(1u << 20, i + 1));
    for (const auto &[name, bytes] : parts) {
        zip_source_t *src = zip_source_buffer(za, bytes.data(), bytes.size(), 0);
        zip_int64_t idx = zip_file_add(za, name.c_str(), src, 0);
        zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), ZIP_CM_DEFLATE, kLevel);
    }
    if (zip_close(za) != 0) throw std::runtime_error("cannot write " + path);
}

class Workspace {
  public:
    Workspace() {
        std::string tmpl = (fs::temp_directory_path() / "docx-bench-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
    }
    ~Workspace() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string file(const std::string &name) const { return (dir_ / name).string(); }

  private:
    fs::path dir_;
};

Workspace &workspace() {
    static Workspace w;
    return w;
}

struct Doc {
    std::string path, xml, deflated;
};

// Generated once, on first use.
const Doc &doc(const std::string &name) {
    static std::map<std::string, Doc> docs;
    auto it = docs.find(name);
    if (it != docs.end()) return it->second;
    Doc d;
    d.path = workspace().file(name + ".docx");
    if (name == "runs")
        d.xml = document(runs_body());
    else
        d.xml = document(paragraphs_body(name != "paragraphs"));
    write_package(d.path, d.xml, name == "pictures" ? kPictureBytes : 0);
    d.deflated = deflate_codec().deflate(d.xml);
    return docs.emplace(name, std::move(d)).first->second;
}

// MARK: - Benchmarks

void set_xml_bytes(benchmark::State &state, size_t per_iteration) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * per_iteration));
}

void floor_inflate(benchmark::State &state, const std::string &name) {
    const Doc &d = doc(name);
    deflate_codec codec;
    std::string out(d.xml.size(), '\0');
    for (auto _ : state) codec.inflate(d.deflated, &out);
    set_xml_bytes(state, d.xml.size());
}

void floor_inflate_deflate(benchmark::State &state, const std::string &name, bool zlib) {
    const Doc &d = doc(name);
    deflate_codec codec;
    std::string xml(d.xml.size(), '\0'), packed;
    for (auto _ : state) {
        codec.inflate(d.deflated, &xml);
        if (zlib)
            benchmark::DoNotOptimize(zlib_deflate(xml, &packed));
        else
            benchmark::DoNotOptimize(codec.deflate(xml));
    }
    set_xml_bytes(state, d.xml.size());
}

template <typename Read>
void open_and(benchmark::State &state, const std::string &name, Read read) {
    const Doc &d = doc(name);
    for (auto _ : state) {
        int h = docx_open(d.path.c_str());
        const char *text = h >= 0 ? read(h) : nullptr;
        docx_close(h);
        if (!text) {
            state.SkipWithError(docx_last_error());
            return;
        }
    }
    set_xml_bytes(state, d.xml.size());
}

void replace(benchmark::State &state, const std::string &name) {
    const Doc &d = doc(name);
    int h = docx_open(d.path.c_str());
    std::string out = workspace().file("replaced.docx");
    for (auto _ : state) {
        if (docx_text_replace(h, "fox", "cat", out.c_str()) < 0) {
            state.SkipWithError(docx_last_error());
            break;
        }
    }
    docx_close(h);
    set_xml_bytes(state, d.xml.size());
}

void write_markdown(benchmark::State &state) {
    static const std::string md = markdown();
    std::string out = workspace().file("written.docx");
    for (auto _ : state) {
        if (!docx_write(md.c_str(), 0, out.c_str())) {
            state.SkipWithError(docx_last_error());
            return;
        }
    }
    set_xml_bytes(state, md.size());
}

// The floor of writing: deflating the main part the writer made.
void floor_deflate_written(benchmark::State &state, bool zlib) {
    static const std::string md = markdown();
    std::string out = workspace().file("written-floor.docx");
    if (!docx_write(md.c_str(), 0, out.c_str())) {
        state.SkipWithError(docx_last_error());
        return;
    }
    int err = 0;
    zip_t *za = zip_open(out.c_str(), ZIP_RDONLY, &err);
    zip_stat_t st;
    zip_stat(za, "word/document.xml", 0, &st);
    std::string xml(st.size, '\0'), packed;
    zip_file_t *f = zip_fopen(za, "word/document.xml", 0);
    zip_fread(f, xml.data(), xml.size());
    zip_fclose(f);
    zip_close(za);
    deflate_codec codec;
    for (auto _ : state) {
        if (zlib)
            benchmark::DoNotOptimize(zlib_deflate(xml, &packed));
        else
            benchmark::DoNotOptimize(codec.deflate(xml));
    }
    set_xml_bytes(state, md.size());
}

std::string merge_list() {
    const Doc &d = doc("tables");
    std::string list = "[";
    for (int i = 0; i < 3; ++i) {
        std::string copy = workspace().file("merge" + std::to_string(i) + ".docx");
        fs::copy_file(d.path, copy, fs::copy_options::overwrite_existing);
        list += (i ? ",\"" : "\"") + copy + "\"";
    }
    return list + "]";
}

void merge(benchmark::State &state) {
    static const std::string list = merge_list();
    std::string out = workspace().file("merged.docx");
    for (auto _ : state) {
        if (!docx_merge(list.c_str(), out.c_str())) {
            state.SkipWithError(docx_last_error());
            return;
        }
    }
    set_xml_bytes(state, 3 * doc("tables").xml.size());
}

// Three inflations and one deflation of the three parts joined.
void floor_merge(benchmark::State &state, bool zlib) {
    const Doc &d = doc("tables");
    deflate_codec codec;
    std::string part(d.xml.size(), '\0'), joined, packed;
    for (auto _ : state) {
        joined.clear();
        for (int i = 0; i < 3; ++i) {
            codec.inflate(d.deflated, &part);
            joined += part;
        }
        if (zlib)
            benchmark::DoNotOptimize(zlib_deflate(joined, &packed));
        else
            benchmark::DoNotOptimize(codec.deflate(joined));
    }
    set_xml_bytes(state, 3 * d.xml.size());
}

void register_all() {
    auto add = [](const std::string &name, auto fn) {
        benchmark::RegisterBenchmark(name.c_str(), fn)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
    // paragraphs: 100,000 paragraphs; tables: the same with a 3x3 table after
    // every 50th; runs: one paragraph of 100,000 runs.
    for (std::string name : {"paragraphs", "tables", "runs"}) {
        add("floor_inflate/" + name, [name](auto &s) { floor_inflate(s, name); });
        add("open_markdown/" + name,
            [name](auto &s) { open_and(s, name, [](int h) { return docx_content(h, 0); }); });
        add("open_plain/" + name,
            [name](auto &s) { open_and(s, name, [](int h) { return docx_content(h, 1); }); });
        add("open_tables/" + name, [name](auto &s) { open_and(s, name, docx_tables); });
        add("open_info/" + name, [name](auto &s) { open_and(s, name, docx_info); });
    }
    // pictures: the tables document carrying 20 MB of pictures.
    for (std::string name : {"tables", "pictures", "runs"}) {
        add("floor_inflate_deflate/" + name,
            [name](auto &s) { floor_inflate_deflate(s, name, false); });
        add("floor_inflate_zlib_deflate/" + name,
            [name](auto &s) { floor_inflate_deflate(s, name, true); });
        add("replace/" + name, [name](auto &s) { replace(s, name); });
    }
    add("floor_deflate_written/md5000", [](auto &s) { floor_deflate_written(s, false); });
    add("floor_zlib_deflate_written/md5000", [](auto &s) { floor_deflate_written(s, true); });
    add("write_markdown/md5000", write_markdown);
    add("floor_merge/3xtables", [](auto &s) { floor_merge(s, false); });
    add("floor_merge_zlib/3xtables", [](auto &s) { floor_merge(s, true); });
    add("merge/3xtables", merge);
}

}  // namespace

int main(int argc, char **argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
