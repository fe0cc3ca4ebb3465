// harness.h -- what one fuzz input does to the library, shared by the libFuzzer
// targets and by the test that replays the inputs kept as regressions.
//
// Each run_* function takes arbitrary bytes, drives one group of exports and
// returns "" when all went as promised, else what went wrong. A package the
// library writes must be a valid ZIP (every entry readable, CRC intact) whose
// XML parts are well-formed.
#ifndef TAVRIMEL_DOCX_FUZZ_HARNESS_H
#define TAVRIMEL_DOCX_FUZZ_HARNESS_H

#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "docx_internal.h"
#include "tavrimel_docx.h"

namespace fuzzkit {

namespace fs = std::filesystem;
using Parts = std::map<std::string, std::string>;

// MARK: - XML well-formedness

// Well-formed UTF-8 of characters XML 1.0 allows: no control characters but
// tab, line feed and carriage return; no surrogates, U+FFFE or U+FFFF.
inline bool xml_characters(std::string_view x) {
    static constexpr uint32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
    for (size_t i = 0; i < x.size();) {
        auto lead = static_cast<unsigned char>(x[i]);
        size_t n = lead < 0x80             ? 1
                   : (lead & 0xE0) == 0xC0 ? 2
                   : (lead & 0xF0) == 0xE0 ? 3
                   : (lead & 0xF8) == 0xF0 ? 4
                                           : 0;
        if (n == 0 || i + n > x.size()) return false;
        uint32_t c = n == 1 ? lead : lead & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            auto b = static_cast<unsigned char>(x[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            c = c << 6 | (b & 0x3F);
        }
        if (c < SHORTEST[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE ||
            c == 0xFFFF || (c < 0x20 && c != '\t' && c != '\n' && c != '\r'))
            return false;
        i += n;
    }
    return true;
}

// XML 1.0 without a DTD: legal characters (above), one root element,
// matching end tags, quoted attributes separated by white space, only the
// predefined entities and character references, nothing but white space,
// comments and processing instructions outside the root. The characters that
// references stand for are not checked: the library copies references as
// they are written.
class XmlChecker {
  public:
    explicit XmlChecker(std::string_view x) : x_(x) {}

    bool well_formed() {
        if (!xml_characters(x_)) return false;
        if (x_.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;
        while (i_ < x_.size()) {
            bool ok = x_[i_] == '<' ? markup() : text();
            if (!ok) return false;
        }
        return root_seen_ && open_.empty();
    }

  private:
    static bool name_start(unsigned char c) {
        return std::isalpha(c) || c == '_' || c == ':' || c >= 0x80;
    }
    static bool name_char(unsigned char c) {
        return name_start(c) || std::isdigit(c) || c == '-' || c == '.';
    }
    static bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    bool starts(std::string_view s) const { return x_.substr(i_, s.size()) == s; }
    bool at(char c) const { return i_ < x_.size() && x_[i_] == c; }
    bool skip_space() {
        size_t from = i_;
        while (i_ < x_.size() && space(x_[i_])) ++i_;
        return i_ > from;
    }
    bool skip_past(std::string_view end) {
        size_t p = x_.find(end, i_);
        if (p == std::string_view::npos) return false;
        i_ = p + end.size();
        return true;
    }
    std::string_view name() {
        size_t from = i_;
        if (i_ < x_.size() && name_start(x_[i_]))
            while (i_ < x_.size() && name_char(x_[i_])) ++i_;
        return x_.substr(from, i_ - from);
    }

    // At '&': a predefined entity or a character reference.
    bool reference() {
        size_t semi = x_.find(';', i_);
        if (semi == std::string_view::npos) return false;
        std::string_view ref = x_.substr(i_ + 1, semi - i_ - 1);
        i_ = semi + 1;
        for (std::string_view e : {"amp", "lt", "gt", "quot", "apos"})
            if (ref == e) return true;
        if (ref.size() < 2 || ref[0] != '#') return false;
        bool hex = ref[1] == 'x';
        std::string_view digits = ref.substr(hex ? 2 : 1);
        return !digits.empty() && std::all_of(digits.begin(), digits.end(), [hex](char c) {
            return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                       : std::isdigit(static_cast<unsigned char>(c)) != 0;
        });
    }

    bool text() {
        while (i_ < x_.size() && x_[i_] != '<') {
            if (x_[i_] == '&') {
                if (open_.empty() || !reference()) return false;
                continue;
            }
            if (open_.empty() && !space(x_[i_])) return false;
            if (starts("]]>")) return false;
            ++i_;
        }
        return true;
    }

    bool attribute_value() {
        if (!at('"') && !at('\'')) return false;
        char quote = x_[i_++];
        while (i_ < x_.size() && x_[i_] != quote) {
            if (x_[i_] == '<') return false;
            if (x_[i_] == '&') {
                if (!reference()) return false;
            } else {
                ++i_;
            }
        }
        if (i_ >= x_.size()) return false;
        ++i_;
        return true;
    }

    bool start_tag() {
        ++i_;
        std::string_view tag = name();
        if (tag.empty() || (open_.empty() && root_seen_)) return false;
        std::vector<std::string_view> attrs;
        for (;;) {
            bool spaced = skip_space();
            if (starts("/>")) {
                i_ += 2;
                root_seen_ = true;
                return true;
            }
            if (at('>')) {
                ++i_;
                open_.push_back(tag);
                root_seen_ = true;
                return true;
            }
            std::string_view attr = name();
            if (!spaced || attr.empty()) return false;
            if (std::find(attrs.begin(), attrs.end(), attr) != attrs.end()) return false;
            attrs.push_back(attr);
            skip_space();
            if (!at('=')) return false;
            ++i_;
            skip_space();
            if (!attribute_value()) return false;
        }
    }

    bool end_tag() {
        i_ += 2;
        std::string_view tag = name();
        skip_space();
        if (!at('>') || open_.empty() || open_.back() != tag) return false;
        ++i_;
        open_.pop_back();
        return true;
    }

    bool markup() {
        if (starts("<?")) return skip_past("?>");
        if (starts("<!--")) return skip_past("-->");
        if (starts("<![CDATA[")) return !open_.empty() && skip_past("]]>");
        if (starts("</")) return end_tag();
        return start_tag();
    }

    std::string_view x_;
    size_t i_ = 0;
    std::vector<std::string_view> open_;
    bool root_seen_ = false;
};

inline bool xml_well_formed(std::string_view x) {
    return XmlChecker(x).well_formed();
}

inline bool is_xml_part(std::string_view name) {
    auto ends = [&](std::string_view s) {
        return name.size() >= s.size() && name.substr(name.size() - s.size()) == s;
    };
    return ends(".xml") || ends(".rels");
}

// MARK: - ZIP packages

struct zip_closer {
    void operator()(zip_t *z) const { zip_discard(z); }
};
using zip_handle = std::unique_ptr<zip_t, zip_closer>;

// Every entry of a ZIP archive but folders (the writers leave those out);
// false, with the reason in `problem`, when one cannot be read whole with its
// CRC intact.
inline bool read_parts(zip_t *za, Parts *parts, std::string *problem) {
    zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        auto idx = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        zip_file_t *f =
            zip_stat_index(za, idx, 0, &st) == 0 ? zip_fopen_index(za, idx, 0) : nullptr;
        if (!f) {
            *problem = std::string("entry ") + std::to_string(i) +
                       " cannot be opened: " + zip_strerror(za);
            return false;
        }
        std::string_view name = st.name;
        if (!name.empty() && name.back() == '/') {
            zip_fclose(f);
            continue;
        }
        std::string bytes;
        char chunk[65536];
        zip_int64_t got;
        while ((got = zip_fread(f, chunk, sizeof chunk)) > 0)
            bytes.append(chunk, static_cast<size_t>(got));
        bool ok = got == 0 && bytes.size() == st.size;
        if (!ok)
            *problem = std::string("entry ") + st.name + " is damaged: " + zip_file_strerror(f);
        zip_fclose(f);
        if (!ok) return false;
        (*parts)[st.name] = std::move(bytes);
    }
    return true;
}

inline std::string package_problem(const std::string &path, Parts *parts) {
    int err = 0;
    zip_handle za(zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err));
    if (!za)
        return std::string("output is no valid ZIP (libzip error ") + std::to_string(err) + ")";
    std::string problem;
    read_parts(za.get(), parts, &problem);
    return problem;
}

// The entries of a package held in memory; false when it is no valid ZIP.
inline bool parts_in_memory(std::string_view bytes, Parts *parts) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *src = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    zip_handle za(src ? zip_open_from_source(src, ZIP_RDONLY | ZIP_CHECKCONS, &error) : nullptr);
    if (src && !za) zip_source_free(src);
    zip_error_fini(&error);
    std::string ignored;
    return za && read_parts(za.get(), parts, &ignored);
}

inline std::string malformed_parts(const Parts &parts, std::string_view except = {}) {
    for (const auto &[name, bytes] : parts)
        if (name != except && is_xml_part(name) && !xml_well_formed(bytes))
            return "part " + name + " is not well-formed XML";
    return "";
}

// MARK: - Scratch files

inline bool write_bytes(const std::string &path, std::string_view bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// A package of the given entries, stored uncompressed so that mutations of
// the XML reach the library instead of failing the CRC.
inline bool write_stored(const std::string &path,
                         const std::vector<std::pair<std::string, std::string_view>> &entries) {
    int err = 0;
    zip_t *za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) return false;
    for (const auto &[name, bytes] : entries) {
        zip_source_t *src = zip_source_buffer(za, bytes.data(), bytes.size(), 0);
        zip_int64_t idx = src ? zip_file_add(za, name.c_str(), src, 0) : -1;
        if (idx < 0 ||
            zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), ZIP_CM_STORE, 0)) {
            if (src && idx < 0) zip_source_free(src);
            zip_discard(za);
            return false;
        }
    }
    return zip_close(za) == 0;
}

constexpr std::string_view MAIN_CONTENT_TYPES =
    "<?xml version=\"1.0\"?><Types "
    "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Override "
    "PartName=\"/word/document.xml\" ContentType=\"application/"
    "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>";

// A package around `doc_xml`.
inline bool write_package(const std::string &path, std::string_view doc_xml) {
    static constexpr std::string_view core =
        "<?xml version=\"1.0\"?><cp:coreProperties "
        "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
        "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>T &amp; t</dc:title>"
        "<dc:creator>fuzz</dc:creator></cp:coreProperties>";
    return write_stored(path, {{"[Content_Types].xml", MAIN_CONTENT_TYPES},
                               {"word/document.xml", doc_xml},
                               {"docProps/core.xml", core}});
}

// One folder per process, removed at exit, holding the files of the runs and
// the documents the merge target may name (bare names, no folders).
class Scratch {
  public:
    Scratch() {
        std::string tmpl = (fs::temp_directory_path() / "docx-fuzz-XXXXXX").string();
        if (mkdtemp(tmpl.data())) dir_ = tmpl;
        make_merge_inputs();
    }
    ~Scratch() {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    std::string file(std::string_view name) const { return (dir_ / name).string(); }
    const fs::path &dir() const { return dir_; }

  private:
    // a.docx and b.docx are written by the library itself; m0.docx .. m7.docx
    // are copies of real documents from $DOCX_FUZZ_MERGE_INPUTS when set.
    void make_merge_inputs() {
        docx_write(
            "# Title\n\nSome *italic* and **bold** text.\n\n| a | b |\n|---|---|\n| 1 | 2 |\n\n"
            "---\n\n## Next\n\nEnd & <done>\n",
            0, file("a.docx").c_str());
        docx_write("one line\ntwo & three\n", 1, file("b.docx").c_str());
        const char *from = std::getenv("DOCX_FUZZ_MERGE_INPUTS");
        if (!from || !*from) return;
        std::vector<fs::path> docs;
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(from, ec))
            if (e.path().extension() == ".docx" && e.file_size(ec) < (1u << 20))
                docs.push_back(e.path());
        std::sort(docs.begin(), docs.end());
        // Spread over the sorted names, which group documents by their source.
        const size_t n = std::min<size_t>(docs.size(), 8);
        for (size_t i = 0; i < n; ++i)
            fs::copy_file(docs[i * docs.size() / n],
                          dir_ / (std::string("m") + std::to_string(i) + ".docx"),
                          fs::copy_options::overwrite_existing, ec);
    }

    fs::path dir_;
};

inline Scratch &scratch() {
    static Scratch s;
    return s;
}

// Runs the merge with the scratch folder as the working folder.
class InScratch {
  public:
    InScratch() : back_(fs::current_path()) { fs::current_path(scratch().dir()); }
    ~InScratch() {
        std::error_code ec;
        fs::current_path(back_, ec);
    }
    InScratch(const InScratch &) = delete;
    InScratch &operator=(const InScratch &) = delete;

  private:
    fs::path back_;
};

// MARK: - Checks on open documents

struct OpenDoc {
    explicit OpenDoc(const std::string &path) : handle(docx_open(path.c_str())) {}
    ~OpenDoc() { docx_close(handle); }
    OpenDoc(const OpenDoc &) = delete;
    OpenDoc &operator=(const OpenDoc &) = delete;
    const docx_doc *doc() const { return docx_doc_get(handle); }
    int handle;
};

// Every reading export on an open document. They may fail on odd input, but
// must not crash, leak or read out of bounds.
inline void read_all(int handle) {
    docx_content(handle, 0);
    docx_content(handle, 1);
    docx_tables(handle);
    docx_info(handle);
}

// A package the library has just written must open, and render when what it
// was made from rendered.
inline std::string reread_problem(const std::string &path, bool must_render = true) {
    OpenDoc d(path);
    if (d.handle < 0) return std::string("written package does not open: ") + docx_last_error();
    for (int format : {0, 1})
        if (!docx_content(d.handle, format) && must_render)
            return std::string("written package does not render: ") + docx_last_error();
    read_all(d.handle);
    return "";
}

// `in` as the DOCX file: a ZIP package as it is, anything else as the main
// document part of a package made around it.
inline std::string docx_from_input(std::string_view in, std::string_view name) {
    std::string path = scratch().file(name);
    bool ok = in.substr(0, 2) == "PK" ? write_bytes(path, in) : write_package(path, in);
    return ok ? path : "";
}

// MARK: - Reading a file while it comes in

// What taking a part out gave: its bytes and stored name, or the message.
struct Extracted {
    int rc;
    std::string bytes, name, error;
    bool operator==(const Extracted &) const = default;
};

template <class Extract>
Extracted extracted_by(Extract extract) {
    docx_heap bytes, name;
    size_t len = 0;
    docx_clear_error();
    int rc = extract(&bytes, &len, &name);
    if (rc != 0) return {rc, "", "", docx_last_error()};
    return {rc, std::string(bytes.get(), len), name ? name.get() : "", ""};
}

// A file read in small chunks by two threads, its parts taken out while it
// comes in, must give what the same file gives from memory.
inline std::string chunked_reading_problem(const std::string &path) {
    docx_heap data;
    size_t size = 0;
    if (docx_read_file(path.c_str(), &data, &size) != 0) return "";
    docx_file_load file(0, 4096);
    if (file.start(path.c_str()) != 0) return std::string("start failed: ") + docx_last_error();
    if (docx_detect_encrypted(file) != docx_detect_encrypted(data.get(), size))
        return "chunked reading takes the file for another kind";
    auto main_part = [](auto &&...from) {
        return extracted_by([&](docx_heap *xml, size_t *len, docx_heap *name) {
            return docx_zip_extract_main(from..., xml, len, name);
        });
    };
    auto core_part = [](auto &&...from) {
        return extracted_by([&](docx_heap *xml, size_t *len, docx_heap *) {
            *xml = docx_zip_extract(from..., "docProps/core.xml", len);
            return *xml ? 0 : -1;
        });
    };
    if (main_part(file) != main_part(data.get(), size))
        return "chunked reading takes out another main part";
    if (core_part(file) != core_part(data.get(), size))
        return "chunked reading takes out other core properties";
    docx_heap whole;
    size_t whole_size = 0;
    if (file.finish(&whole, &whole_size) != 0) return "finish failed";
    if (std::string_view(whole.get(), whole_size) != std::string_view(data.get(), size))
        return "chunked reading read other bytes";
    return "";
}

// MARK: - Entry points

inline std::string run_open_content(std::string_view in) {
    std::string path = docx_from_input(in, "in.docx");
    if (path.empty()) return "";
    {
        OpenDoc d(path);
        read_all(d.handle);
    }
    return chunked_reading_problem(path);
}

// Input: one byte of options (bit 0 match_case, bit 1 whole_word), one byte n,
// n bytes of find text, one byte m, m bytes of replacement, then the document.
inline std::string run_replace(std::string_view in) {
    auto take = [&in](size_t n) {
        std::string_view s = in.substr(0, n);
        in.remove_prefix(s.size());
        return std::string(s);
    };
    auto take_counted = [&]() {
        size_t n = in.empty() ? 0 : static_cast<unsigned char>(take(1)[0]);
        return take(n);
    };
    std::string options = take(1), find = take_counted(), replacement = take_counted();
    if (options.empty()) return "";
    std::string source = docx_from_input(in, "in.docx");
    if (source.empty()) return "";
    OpenDoc d(source);
    if (d.handle < 0) return "";
    std::string out = scratch().file("replaced.docx");
    std::remove(out.c_str());
    int n = docx_text_replace_opt(d.handle, find.c_str(), replacement.c_str(), out.c_str(),
                                  options[0] & 1, (options[0] >> 1) & 1);
    if (n < 0) return "";
    // The judgement needs a source that is itself sound: other parts are
    // copied unchanged, and the new main part is well-formed when the old was.
    Parts before, after;
    if (!parts_in_memory({d.doc()->file_data.get(), d.doc()->file_len}, &before)) return "";
    if (std::string p = package_problem(out, &after); !p.empty()) return p;
    std::string main_part = d.doc()->doc_part.get();
    for (const auto &[name, bytes] : before) {
        auto it = after.find(name);
        if (it == after.end()) return "part " + name + " is lost";
        if (name != main_part && it->second != bytes) return "part " + name + " is changed";
    }
    if (after.size() != before.size()) return "parts were added";
    bool was_well_formed = xml_well_formed({d.doc()->doc_xml.get(), d.doc()->doc_len});
    if (was_well_formed && !xml_well_formed(after[main_part]))
        return "main part " + main_part + " is no longer well-formed";
    return reread_problem(out, docx_content(d.handle, 0) != nullptr);
}

inline std::string run_write(std::string_view in) {
    std::string text(in.substr(0, in.find('\0')));
    std::string out = scratch().file("written.docx");
    for (int format : {0, 1}) {
        std::remove(out.c_str());
        if (!docx_write(text.c_str(), format, out.c_str()))
            return std::string("docx_write failed: ") + docx_last_error();
        Parts parts;
        std::string p = package_problem(out, &parts);
        if (p.empty()) p = malformed_parts(parts);
        if (p.empty()) p = reread_problem(out);
        if (!p.empty()) return (format == 0 ? "markdown: " : "plain: ") + p;
    }
    return "";
}

// Whether every document that the list names opens with a well-formed main part.
inline bool inputs_well_formed(const std::string &list) {
    auto json = nlohmann::json::parse(list, nullptr, false);
    if (!json.is_array()) return false;
    for (const auto &name : json) {
        if (!name.is_string()) return false;
        OpenDoc d(name.get<std::string>());
        if (d.handle < 0 || !xml_well_formed({d.doc()->doc_xml.get(), d.doc()->doc_len}))
            return false;
    }
    return true;
}

// A merged package carries parts of its inputs as "merged/N/NAME": each must
// hold the bytes of entry NAME of the N-th input. They are taken out of
// `parts`, since whether they are well-formed is their input's affair.
inline std::string copied_parts_problem(const std::string &list, Parts *parts) {
    const std::string_view prefix = "merged/";
    auto paths = nlohmann::json::parse(list, nullptr, false);
    std::map<size_t, Parts> inputs;
    for (auto it = parts->begin(); it != parts->end();) {
        const std::string &copy = it->first;
        if (!copy.starts_with(prefix)) {
            ++it;
            continue;
        }
        size_t slash = copy.find('/', prefix.size());
        size_t n = std::strtoul(copy.c_str() + prefix.size(), nullptr, 10);
        if (slash == std::string::npos || n == 0 || n > paths.size())
            return "part " + copy + " names no input";
        if (!inputs.count(n)) {
            int err = 0;
            zip_handle za(zip_open(paths[n - 1].get<std::string>().c_str(), ZIP_RDONLY, &err));
            std::string ignored;
            if (za) read_parts(za.get(), &inputs[n], &ignored);
        }
        auto from = inputs[n].find(copy.substr(slash + 1));
        if (from == inputs[n].end() || from->second != it->second)
            return "part " + copy + " is no copy of its input's part";
        it = parts->erase(it);
    }
    return "";
}

// Merges the list (run in the scratch folder) and checks the package; its
// XML parts must be well-formed when the inputs' were.
inline std::string merged_problem(const std::string &list, bool inputs_well_formed) {
    const char *out = "merged.docx";
    if (!docx_merge(list.c_str(), out)) return "";
    Parts parts;
    std::string p = package_problem(out, &parts);
    if (p.empty()) p = copied_parts_problem(list, &parts);
    if (p.empty() && inputs_well_formed) p = malformed_parts(parts);
    if (p.empty()) p = reread_problem(out);
    std::remove(out);
    return p;
}

// The parts a merge reads besides the main part, in the order the pieces of
// a "parts" input give them.
constexpr const char *MERGED_PART_NAMES[] = {
    "word/document.xml",     "word/_rels/document.xml.rels",
    "[Content_Types].xml",   "word/footnotes.xml",
    "word/comments.xml",     "word/numbering.xml",
    "word/media/image1.png", "word/styles.xml",
    "word/settings.xml"};

// Input: either the JSON list of paths, or (when it starts with '<') the
// pieces, between NUL bytes, of one package that is merged with itself: its
// main part, relationships, content types, footnotes, comments, numbering,
// a picture, styles, settings.
// Only bare names are tried, so that a list reaches nothing outside the
// scratch folder (no devices, no pipes).
inline std::string run_merge(std::string_view in) {
    InScratch here;
    if (in.empty() || in[0] != '<') {
        std::string list(in.substr(0, in.find('\0')));
        if (list.find_first_of("/\\") != std::string::npos) return "";
        return merged_problem(list, inputs_well_formed(list));
    }
    std::vector<std::pair<std::string, std::string_view>> entries;
    bool pieces_well_formed = true;
    for (const char *name : MERGED_PART_NAMES) {
        size_t nul = in.find('\0');
        entries.emplace_back(name, in.substr(0, nul));
        if (is_xml_part(name) && !xml_well_formed(entries.back().second))
            pieces_well_formed = false;
        if (nul == std::string_view::npos) break;
        in.remove_prefix(nul + 1);
    }
    if (entries.size() < 3) entries.emplace_back("[Content_Types].xml", MAIN_CONTENT_TYPES);
    if (!write_stored(scratch().file("parts.docx"), entries)) return "";
    return merged_problem("[\"parts.docx\",\"parts.docx\"]", pieces_well_formed);
}

}  // namespace fuzzkit

#endif
