// docx_package.cpp -- reading DOCX files and ZIP parts, and writing packages.
//
// Packages are read from memory with libzip, which finds the entries; whole
// parts are inflated in one call with libdeflate, several times faster than
// libzip's streaming zlib path, so sizes and CRCs are checked here. Likewise
// the parts the library writes are deflated whole by libdeflate (large ones
// in two pieces on two threads) and handed to libzip as compressed data,
// which it copies into the archive unchanged.
#include <libdeflate.h>
#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "docx_internal.h"

namespace {

// MARK: - Owners

// One deleter for every C handle: calls `release` on it.
template <auto release>
struct c_deleter {
    template <typename T>
    void operator()(T *p) const noexcept {
        release(p);
    }
};
using zip_owner = std::unique_ptr<zip_t, c_deleter<zip_discard>>;
using zip_file_owner = std::unique_ptr<zip_file_t, c_deleter<zip_fclose>>;
using inflater_owner =
    std::unique_ptr<libdeflate_decompressor, c_deleter<libdeflate_free_decompressor>>;
using deflater_owner =
    std::unique_ptr<libdeflate_compressor, c_deleter<libdeflate_free_compressor>>;
using file_owner = std::unique_ptr<FILE, c_deleter<std::fclose>>;

// MARK: - Reading archives

// The smallest ZIP archive is its 22-byte end record; libzip would take an
// empty file for an empty archive.
constexpr size_t ZIP_END_RECORD_SIZE = 22;

// Deflate expands by at most 1032:1 (a 258-byte match per two bits), so a
// larger declared size is a lie.
constexpr uint64_t DEFLATE_MAX_RATIO = 1032;

// The bytes of an archive: all in memory, or still coming in through `file`.
struct archive_bytes {
    const void *data;
    size_t size;
    docx_file_load *file = nullptr;
};

archive_bytes bytes_of(docx_file_load &file) {
    return {file.data(), file.size(), &file};
}

// A libzip source over a file that is still being read: each read waits for
// the chunks it needs, and no byte is read before its chunk is in.
struct loading_source {
    docx_file_load *file;
    zip_uint64_t at = 0;
    zip_error_t error;
};

zip_int64_t loading_source_read(loading_source *s, void *to, zip_uint64_t len) {
    const zip_uint64_t size = s->file->size();
    zip_uint64_t n = std::min(len, size - std::min(s->at, size));
    if (!s->file->ensure(s->at, n)) {
        zip_error_set(&s->error, ZIP_ER_READ, EIO);
        return -1;
    }
    std::memcpy(to, s->file->data() + s->at, n);
    s->at += n;
    return static_cast<zip_int64_t>(n);
}

zip_int64_t loading_source_stat(loading_source *s, void *data, zip_uint64_t len) {
    auto *st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &s->error);
    if (!st) return -1;
    zip_stat_init(st);
    st->size = s->file->size();
    st->valid |= ZIP_STAT_SIZE;
    return sizeof *st;
}

zip_int64_t loading_source_command(void *ud, void *data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto *s = static_cast<loading_source *>(ud);
    switch (cmd) {
        case ZIP_SOURCE_OPEN:
        case ZIP_SOURCE_CLOSE:
            return 0;
        case ZIP_SOURCE_READ:
            return loading_source_read(s, data, len);
        case ZIP_SOURCE_SEEK: {
            zip_int64_t to =
                zip_source_seek_compute_offset(s->at, s->file->size(), data, len, &s->error);
            if (to < 0) return -1;
            s->at = static_cast<zip_uint64_t>(to);
            return 0;
        }
        case ZIP_SOURCE_TELL:
            return static_cast<zip_int64_t>(s->at);
        case ZIP_SOURCE_STAT:
            return loading_source_stat(s, data, len);
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&s->error, data, len);
        case ZIP_SOURCE_FREE:
            zip_error_fini(&s->error);
            delete s;
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(
                ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_SEEK,
                ZIP_SOURCE_TELL, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                ZIP_SOURCE_SUPPORTS, -1);
        default:
            zip_error_set(&s->error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
    }
}

zip_source_t *loading_source_create(docx_file_load *file, zip_error_t *err) {
    auto *s = new (std::nothrow) loading_source{file, 0, {}};
    if (!s) return nullptr;
    zip_error_init(&s->error);
    zip_source_t *src = zip_source_function_create(loading_source_command, s, err);
    if (!src) {
        zip_error_fini(&s->error);
        delete s;
    }
    return src;
}

zip_owner open_archive(const archive_bytes &a) {
    if (a.size < ZIP_END_RECORD_SIZE) return nullptr;
    zip_error_t err;
    zip_error_init(&err);
    zip_source_t *src = a.file ? loading_source_create(a.file, &err)
                               : zip_source_buffer_create(a.data, a.size, 0, &err);
    zip_t *za = src ? zip_open_from_source(src, ZIP_RDONLY, &err) : nullptr;
    if (src && !za) zip_source_free(src);
    zip_error_fini(&err);
    return zip_owner(za);
}

enum class load_status { ok, damaged, too_large, no_memory };

// An open archive with the scratch that reading its entries reuses.
struct part_reader {
    zip_owner za;
    size_t archive_size = 0;
    docx_buf raw;  // an entry's compressed bytes
    inflater_owner inflater;
};

bool open_reader(part_reader *r, const archive_bytes &a) {
    r->za = open_archive(a);
    r->archive_size = a.size;
    return r->za != nullptr;
}

// The entry's sizes, refused before anything is allocated for them when they
// are over the cap or cannot be true.
load_status stat_entry(const part_reader &r, zip_uint64_t idx, zip_stat_t *st) {
    constexpr zip_uint64_t needed = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC |
                                    ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    if (zip_stat_index(r.za.get(), idx, 0, st) != 0) return load_status::damaged;
    if ((st->valid & needed) != needed || st->encryption_method != ZIP_EM_NONE)
        return load_status::damaged;
    if (st->size > DOCX_MAX_PART_SIZE) return load_status::too_large;
    if (st->comp_size > r.archive_size) return load_status::damaged;
    if (st->comp_method == ZIP_CM_STORE && st->size != st->comp_size) return load_status::damaged;
    if (st->comp_method == ZIP_CM_DEFLATE && st->size / DEFLATE_MAX_RATIO > st->comp_size)
        return load_status::damaged;
    return load_status::ok;
}

// Reads up to `cap` bytes of the entry into `dst`; true when exactly `n` came.
bool read_exactly(zip_t *za, zip_uint64_t idx, zip_flags_t flags, void *dst, uint64_t n,
                  uint64_t cap) {
    zip_file_owner f(zip_fopen_index(za, idx, flags));
    if (!f) return false;
    zip_int64_t got = zip_fread(f.get(), dst, cap);
    return got >= 0 && static_cast<uint64_t>(got) == n;
}

load_status inflate_raw(part_reader *r, zip_uint64_t idx, const zip_stat_t &st, char *out) {
    if (docx_buf_reserve(&r->raw, st.comp_size) != 0) return load_status::no_memory;
    if (!read_exactly(r->za.get(), idx, ZIP_FL_COMPRESSED, r->raw.data, st.comp_size, st.comp_size))
        return load_status::damaged;
    if (!r->inflater) r->inflater.reset(libdeflate_alloc_decompressor());
    if (!r->inflater) return load_status::no_memory;
    size_t got = 0;
    libdeflate_result res = libdeflate_deflate_decompress(r->inflater.get(), r->raw.data,
                                                          st.comp_size, out, st.size, &got);
    return res == LIBDEFLATE_SUCCESS && got == st.size ? load_status::ok : load_status::damaged;
}

// Decompresses a checked entry into `out`, which holds st.size + 1 bytes, and
// puts a NUL behind it.
load_status read_entry(part_reader *r, zip_uint64_t idx, const zip_stat_t &st, char *out) {
    load_status s = load_status::ok;
    if (st.comp_method == ZIP_CM_DEFLATE)
        s = inflate_raw(r, idx, st, out);
    else if (st.comp_method == ZIP_CM_STORE)
        s = read_exactly(r->za.get(), idx, ZIP_FL_COMPRESSED, out, st.size, st.size)
                ? load_status::ok
                : load_status::damaged;
    else  // rarer methods: libzip decompresses; one byte more shows a longer stream
        s = read_exactly(r->za.get(), idx, 0, out, st.size, st.size + 1) ? load_status::ok
                                                                         : load_status::damaged;
    if (s != load_status::ok) return s;
    out[st.size] = 0;
    return libdeflate_crc32(0, out, st.size) == st.crc ? load_status::ok : load_status::damaged;
}

// `damaged` is the caller's message for a bad entry, completed by its name.
void report_load_failure(load_status s, const char *part, const char *damaged) {
    switch (s) {
        case load_status::too_large:
            docx_set_error("part exceeds %zuMB uncompressed limit: %s", DOCX_MAX_PART_SIZE >> 20,
                           part);
            break;
        case load_status::no_memory:
            docx_set_error("out of memory extracting %s", part);
            break;
        default:
            docx_set_error("%s %s", damaged, part);
            break;
    }
}

constexpr const char *MISSING_PART = "missing part in DOCX:";

docx_heap extract_index(part_reader *r, zip_uint64_t idx, const char *part, size_t *out_len) {
    zip_stat_t st;
    load_status s = stat_entry(*r, idx, &st);
    docx_heap block;
    if (s == load_status::ok) {
        block = docx_alloc_filled(st.size + 1);
        s = block ? read_entry(r, idx, st, block.get()) : load_status::no_memory;
    }
    if (s != load_status::ok) {
        report_load_failure(s, part, MISSING_PART);
        return nullptr;
    }
    *out_len = st.size;
    return block;
}

zip_int64_t locate(const part_reader &r, const char *name) {
    return zip_name_locate(r.za.get(), name, ZIP_FL_NOCASE);
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

docx_heap extract_named(part_reader *r, const char *name, size_t *len) {
    zip_int64_t idx = locate(*r, name);
    return idx < 0 ? nullptr : extract_index(r, static_cast<zip_uint64_t>(idx), name, len);
}

// Calls `visit(tag, gt)` on each start tag `name` in [p, end) until it says
// true; gt is the tag's '>'.
template <class Visit>
bool any_tag(const char *p, const char *end, const char *name, Visit visit) {
    while ((p = docx_find_tag(p, end, name))) {
        const char *gt = static_cast<const char *>(std::memchr(p, '>', size_t(end - p)));
        if (!gt) return false;
        if (visit(p, gt)) return true;
        p = gt + 1;
    }
    return false;
}

// An attribute's value, when present and not cut (a cut name would name
// another part).
template <size_t N>
bool whole_attr(const char *tag, const char *gt, const char *name, char (&out)[N]) {
    return docx_attr_val(tag, gt, name, out, N) == 0 && std::strlen(out) < N - 1;
}

// A package relationship can name the main part of any Office format (a
// theme, a workbook); only a WordprocessingML one is a document.
bool is_word_main_part(part_reader *r, const char *name) {
    size_t len = 0;
    docx_heap types = extract_named(r, "[Content_Types].xml", &len);
    if (!types) return false;
    return any_tag(types.get(), types.get() + len, "Override", [&](const char *p, const char *gt) {
        char part[1024], type[256];
        if (!whole_attr(p, gt, "PartName", part) || part[0] != '/' ||
            strcasecmp(part + 1, name) != 0 || !whole_attr(p, gt, "ContentType", type))
            return false;
        return ends_with(type, ".main+xml") && std::strstr(type, "word") != nullptr;
    });
}

// The entry that the package relationships name as the main document, or -1.
zip_int64_t locate_main_by_relationships(part_reader *r) {
    size_t len = 0;
    docx_heap rels = extract_named(r, "_rels/.rels", &len);
    zip_int64_t found = -1;
    if (!rels) return found;
    any_tag(rels.get(), rels.get() + len, "Relationship", [&](const char *p, const char *gt) {
        char type[256], target[1024], mode[16];
        if (whole_attr(p, gt, "TargetMode", mode) && std::strcmp(mode, "External") == 0)
            return false;
        if (!whole_attr(p, gt, "Type", type) || !ends_with(type, "/officeDocument") ||
            !whole_attr(p, gt, "Target", target))
            return false;
        const char *name = target + (target[0] == '/');
        found = locate(*r, name);
        return true;
    });
    if (found < 0) return found;
    const char *stored = zip_get_name(r->za.get(), static_cast<zip_uint64_t>(found), 0);
    return stored && is_word_main_part(r, stored) ? found : -1;
}

// MARK: - Compound Files

constexpr unsigned char CFB_SIGNATURE[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t CFB_HEADER_SIZE = 512;
constexpr size_t CFB_DIR_ENTRY_SIZE = 128;
constexpr size_t CFB_NAME_LEN_AT = 64;
constexpr size_t CFB_TYPE_AT = 66;
constexpr unsigned char CFB_STREAM = 2;

// Is `e` the directory entry of a stream named `name` (ASCII)? Names are
// UTF-16LE with a terminator that the length field counts.
bool cfb_entry_is_stream(const unsigned char *e, std::string_view name) {
    size_t units = name.size() + 1;
    if (e[CFB_NAME_LEN_AT] != units * 2 || e[CFB_NAME_LEN_AT + 1] != 0) return false;
    if (e[CFB_TYPE_AT] != CFB_STREAM) return false;
    for (size_t i = 0; i < units; ++i) {
        unsigned char c = i < name.size() ? static_cast<unsigned char>(name[i]) : 0;
        if (e[2 * i] != c || e[2 * i + 1] != 0) return false;
    }
    return true;
}

// Directory entries sit on 128-byte boundaries after the header in every
// sector size; matching name, length field and type there finds the streams
// of an encrypted package without trusting the chains of a damaged file.
bool cfb_is_encrypted_package(const unsigned char *p, size_t size) {
    for (size_t at = CFB_HEADER_SIZE; at + CFB_DIR_ENTRY_SIZE <= size; at += CFB_DIR_ENTRY_SIZE)
        if (cfb_entry_is_stream(p + at, "EncryptionInfo") ||
            cfb_entry_is_stream(p + at, "EncryptedPackage"))
            return true;
    return false;
}

bool zip_has_encryption(const archive_bytes &a) {
    zip_owner za = open_archive(a);
    if (!za) return false;
    zip_int64_t n = zip_get_num_entries(za.get(), 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        zip_stat_t st;
        if (zip_stat_index(za.get(), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW, &st) != 0)
            continue;
        if ((st.valid & ZIP_STAT_NAME) && (std::strcmp(st.name, "EncryptionInfo") == 0 ||
                                           std::strstr(st.name, "EncryptedPackage")))
            return true;
        // Entries under a ZIP password are as unreadable as an encrypted package.
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE)
            return true;
    }
    return false;
}

// MARK: - Writing packages

#define XML_DECL "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
#define PKG_RELS_NS "http://schemas.openxmlformats.org/package/2006/relationships"
#define OFFICE_RELS "http://schemas.openxmlformats.org/officeDocument/2006/relationships"

constexpr std::string_view CONTENT_TYPES_XML = XML_DECL
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" "
    "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
    "<Override PartName=\"/word/document.xml\" "
    "ContentType=\"application/"
    "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>"
    "<Override PartName=\"/word/styles.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.styles+xml\"/>"
    "<Override PartName=\"/docProps/core.xml\" "
    "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
    "<Override PartName=\"/docProps/app.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/>"
    "</Types>";

constexpr std::string_view PACKAGE_RELS_XML =
    XML_DECL "<Relationships xmlns=\"" PKG_RELS_NS
             "\">"
             "<Relationship Id=\"rId1\" Type=\"" OFFICE_RELS
             "/officeDocument\" "
             "Target=\"word/document.xml\"/>"
             "<Relationship Id=\"rId2\" Type=\"" PKG_RELS_NS
             "/metadata/core-properties\" "
             "Target=\"docProps/core.xml\"/>"
             "<Relationship Id=\"rId3\" Type=\"" OFFICE_RELS
             "/extended-properties\" "
             "Target=\"docProps/app.xml\"/>"
             "</Relationships>";

constexpr std::string_view DOCUMENT_RELS_XML =
    XML_DECL "<Relationships xmlns=\"" PKG_RELS_NS
             "\">"
             "<Relationship Id=\"rId1\" Type=\"" OFFICE_RELS
             "/styles\" Target=\"styles.xml\"/>"
             "</Relationships>";

// Word, pandoc and LibreOffice take a paragraph for a heading only when its
// style is defined with a heading's name ("heading 1") or outline level; a
// style ID alone makes a plain paragraph. The headings written from Markdown
// and those of merged documents refer to these.
// clang-format off
#define HEADING(n, level, props)                                                                \
    "<w:style w:type=\"paragraph\" w:styleId=\"Heading" #n "\">"                                \
    "<w:name w:val=\"heading " #n "\"/><w:basedOn w:val=\"Normal\"/><w:next w:val=\"Normal\"/>" \
    "<w:qFormat/><w:pPr><w:keepNext/><w:spacing w:before=\"240\" w:after=\"60\"/>"              \
    "<w:outlineLvl w:val=\"" #level "\"/></w:pPr><w:rPr>" props "</w:rPr></w:style>"

// The notes that merged documents carry refer to these, as Word names them:
// the mark in the text raised, the note's text smaller.
#define NOTE_STYLES(id, name)                                                                   \
    "<w:style w:type=\"character\" w:styleId=\"" id "Reference\"><w:name w:val=\"" name         \
    " reference\"/><w:rPr><w:vertAlign w:val=\"superscript\"/></w:rPr></w:style>"               \
    "<w:style w:type=\"paragraph\" w:styleId=\"" id "Text\"><w:name w:val=\"" name " text\"/>"  \
    "<w:basedOn w:val=\"Normal\"/><w:rPr><w:sz w:val=\"20\"/></w:rPr></w:style>"

constexpr std::string_view STYLES_XML = XML_DECL
    "<w:styles xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
    "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\">"
    "<w:name w:val=\"Normal\"/><w:qFormat/></w:style>"
    "<w:style w:type=\"paragraph\" w:styleId=\"Title\">"
    "<w:name w:val=\"Title\"/><w:basedOn w:val=\"Normal\"/><w:next w:val=\"Normal\"/><w:qFormat/>"
    "<w:pPr><w:spacing w:after=\"120\"/></w:pPr><w:rPr><w:sz w:val=\"56\"/></w:rPr></w:style>"
    HEADING(1, 0, "<w:b/><w:sz w:val=\"32\"/>")
    HEADING(2, 1, "<w:b/><w:sz w:val=\"28\"/>")
    HEADING(3, 2, "<w:b/><w:sz w:val=\"26\"/>")
    HEADING(4, 3, "<w:b/><w:i/><w:sz w:val=\"24\"/>")
    HEADING(5, 4, "<w:b/><w:sz w:val=\"22\"/>")
    HEADING(6, 5, "<w:b/><w:i/><w:sz w:val=\"22\"/>")
    NOTE_STYLES("Footnote", "footnote")
    NOTE_STYLES("Endnote", "endnote")
    "</w:styles>";
// clang-format on

#undef HEADING
#undef NOTE_STYLES

constexpr std::string_view CORE_XML = XML_DECL
    "<cp:coreProperties "
    "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:dcterms=\"http://purl.org/dc/terms/\" "
    "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
    "<dc:title></dc:title>"
    "<dc:creator>tavrimel-docx-tools</dc:creator>"
    "<cp:lastModifiedBy>tavrimel-docx-tools</cp:lastModifiedBy>"
    "<dcterms:created xsi:type=\"dcterms:W3CDTF\">2026-09-12T00:00:00Z</dcterms:created>"
    "<dcterms:modified xsi:type=\"dcterms:W3CDTF\">2026-09-12T00:00:00Z</dcterms:modified>"
    "</cp:coreProperties>";

constexpr std::string_view APP_XML = XML_DECL
    "<Properties "
    "xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
    "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\">"
    "<Application>tavrimel-docx-tools</Application>"
    "</Properties>";

constexpr std::string_view RELS_HEAD = XML_DECL "<Relationships xmlns=\"" PKG_RELS_NS "\">";
constexpr std::string_view OFFICE_RELS_URI = OFFICE_RELS;

#undef XML_DECL
#undef PKG_RELS_NS
#undef OFFICE_RELS

constexpr int DEFLATE_LEVEL = 6;

// MARK: - Output file

// The archive libzip writes on zip_close goes to a temporary file beside the
// output, renamed into place only when complete; on failure the temporary
// file is removed, so the output path keeps whatever it held. libzip's own
// file target writes through a 4 KiB stdio buffer, one system call per 4 KiB
// of pictures copied; this one buffers 1 MiB.
class output_file {
  public:
    // `path` must outlive the archive.
    explicit output_file(const char *path) : path_(path) { zip_error_init(&error_); }
    ~output_file() {
        discard();
        zip_error_fini(&error_);
    }
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    static zip_int64_t callback(void *ud, void *data, zip_uint64_t len, zip_source_cmd_t cmd) {
        return static_cast<output_file *>(ud)->handle(data, len, cmd);
    }

  private:
    static constexpr size_t BUFFER_SIZE = size_t{1} << 20;

    zip_int64_t fail(int code) {
        zip_error_set(&error_, code, errno);
        return -1;
    }

    // "wx" creates the file exclusively with the usual permissions (0666 less
    // the umask), so no other file is ever overwritten on the way.
    bool create_temporary() {
        static std::atomic<unsigned> counter{0};
        constexpr size_t suffix_size = 32;
        size_t n = std::strlen(path_) + suffix_size;
        docx_heap name(static_cast<char *>(std::malloc(n)));
        if (!name) return false;
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::snprintf(name.get(), n, "%s.%lx%x.tmp", path_,
                          static_cast<unsigned long>(getpid()), counter++);
            file_.reset(std::fopen(name.get(), "wbx"));
            if (file_) {
                tmp_path_ = std::move(name);
                // glibc takes the size only together with a buffer.
                if (!buffer_) buffer_.reset(static_cast<char *>(std::malloc(BUFFER_SIZE)));
                if (buffer_) std::setvbuf(file_.get(), buffer_.get(), _IOFBF, BUFFER_SIZE);
                return true;
            }
            if (errno != EEXIST) break;
        }
        return false;
    }

    void discard() {
        file_.reset();
        if (tmp_path_) std::remove(tmp_path_.get());
        tmp_path_.reset();
    }

    zip_int64_t commit() {
        bool written = std::fclose(file_.release()) == 0;
        if (!written || std::rename(tmp_path_.get(), path_) != 0) {
            int code = written ? ZIP_ER_RENAME : ZIP_ER_WRITE;
            discard();
            return fail(code);
        }
        tmp_path_.reset();
        return 0;
    }

    zip_int64_t seek(void *data, zip_uint64_t len) {
        auto *args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, len, &error_);
        if (!args) return -1;
        return fseeko(file_.get(), args->offset, args->whence) == 0 ? 0 : fail(ZIP_ER_SEEK);
    }

    static bool needs_file(zip_source_cmd_t cmd) {
        return cmd == ZIP_SOURCE_WRITE || cmd == ZIP_SOURCE_SEEK_WRITE ||
               cmd == ZIP_SOURCE_TELL_WRITE || cmd == ZIP_SOURCE_COMMIT_WRITE;
    }

    zip_int64_t handle(void *data, zip_uint64_t len, zip_source_cmd_t cmd) {
        if (needs_file(cmd) && !file_) return fail(ZIP_ER_INTERNAL);
        switch (cmd) {
            case ZIP_SOURCE_SUPPORTS:
                return ZIP_SOURCE_SUPPORTS_WRITABLE;
            case ZIP_SOURCE_STAT:  // how libzip learns that the archive is new
                zip_error_set(&error_, ZIP_ER_READ, ENOENT);
                return -1;
            case ZIP_SOURCE_BEGIN_WRITE:
                return create_temporary() ? 0 : fail(ZIP_ER_TMPOPEN);
            case ZIP_SOURCE_WRITE:
                return std::fwrite(data, 1, len, file_.get()) == len ? static_cast<zip_int64_t>(len)
                                                                     : fail(ZIP_ER_WRITE);
            case ZIP_SOURCE_SEEK_WRITE:
                return seek(data, len);
            case ZIP_SOURCE_TELL_WRITE: {
                off_t at = ftello(file_.get());
                return at >= 0 ? static_cast<zip_int64_t>(at) : fail(ZIP_ER_TELL);
            }
            case ZIP_SOURCE_COMMIT_WRITE:
                return commit();
            case ZIP_SOURCE_ROLLBACK_WRITE:
                discard();
                return 0;
            case ZIP_SOURCE_REMOVE:  // an archive left without entries is no file
                return std::remove(path_) == 0 || errno == ENOENT ? 0 : fail(ZIP_ER_REMOVE);
            case ZIP_SOURCE_ERROR:
                return zip_error_to_data(&error_, data, len);
            case ZIP_SOURCE_FREE:
                delete this;
                return 0;
            default:
                zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
                return -1;
        }
    }

    const char *path_;
    docx_heap tmp_path_;  // set while the temporary file exists
    docx_heap buffer_;    // outlives file_, which is declared after it
    file_owner file_;
    zip_error_t error_;
};

// Nothing is created before zip_close. A folder cannot be replaced by a file,
// so it is refused here.
zip_owner create_output(const char *out_path) {
    struct stat st;
    if (stat(out_path, &st) == 0 && S_ISDIR(st.st_mode)) {
        docx_set_error("cannot create output: %s", out_path);
        return nullptr;
    }
    zip_error_t err;
    zip_error_init(&err);
    auto *target = new (std::nothrow) output_file(out_path);
    zip_source_t *src =
        target ? zip_source_function_create(output_file::callback, target, &err) : nullptr;
    zip_t *za = src ? zip_open_from_source(src, ZIP_CREATE | ZIP_TRUNCATE, &err) : nullptr;
    if (src && !za) zip_source_free(src);  // frees the target too
    if (!src) delete target;
    zip_error_fini(&err);
    if (!za) docx_set_error("cannot create output: %s", out_path);
    return zip_owner(za);
}

// A part deflated whole, as libzip reads it back when the archive is closed:
// it must outlive the archive handle.
struct deflated_part {
    docx_buf bytes;  // the raw deflate stream
    size_t size = 0;
    uint32_t crc = 0;
    size_t read_at = 0;
    zip_error_t error;

    deflated_part() { zip_error_init(&error); }
    ~deflated_part() { zip_error_fini(&error); }
    deflated_part(const deflated_part &) = delete;
    deflated_part &operator=(const deflated_part &) = delete;
};

struct plain_part {
    const char *name;
    std::string_view bytes;
};

// Parts from this size on are deflated on two threads where two cores exist:
// the thread start costs microseconds, the time taken off milliseconds.
constexpr size_t TWO_THREAD_MIN = size_t{512} << 10;
// The head's thread also walks the head's stream once more (about a
// fifteenth of the time deflating takes), so it takes a little less than half.
constexpr size_t HEAD_SHARE_NUM = 12, HEAD_SHARE_DEN = 25;
// What turning the head's final block into a joinable end adds at most: a
// byte for the header bits that may spill, and the empty stored block.
constexpr size_t JOIN_SLACK = 8;

// Makes the complete stream in `stream` (with JOIN_SLACK bytes of room past
// len) end as a sync flush does: its final block is marked not final and an
// empty stored block aligns the end to a byte, so a second stream can follow.
// The new length, or 0 when the stream does not decode.
size_t make_joinable(char *stream, size_t len) {
    size_t start = 0, end = 0;
    if (!docx_deflate_final_block(stream, len, &start, &end)) return 0;
    auto *bytes = reinterpret_cast<unsigned char *>(stream);
    bytes[start / 8] &= static_cast<unsigned char>(~(1u << (start % 8)));  // BFINAL
    // The stored block's three header bits are zero, as are the bits that pad
    // it to a byte; then LEN 0 and NLEN 0xFFFF.
    size_t at = end / 8;
    bytes[at] &= static_cast<unsigned char>((1u << (end % 8)) - 1);
    const size_t aligned = (end + 3 + 7) / 8;
    for (size_t i = at + 1; i < aligned; ++i) bytes[i] = 0;
    const unsigned char empty_stored[] = {0x00, 0x00, 0xFF, 0xFF};
    std::memcpy(bytes + aligned, empty_stored, sizeof empty_stored);
    return aligned + sizeof empty_stored;
}

bool two_cores() {
    static const bool two = std::thread::hardware_concurrency() >= 2;
    return two;
}

enum class split_result { done, declined, no_memory };

// Runs `work` on a thread of its own until join(). On Linux the thread starts
// on another core than the caller's, where the process may use one: a new
// thread would often start beside its creator, and the two take turns on one
// core until a balancing pass moves one, milliseconds later. Once started, the
// thread may run wherever the process may.
template <class Work>
class worker_thread {
  public:
    explicit worker_thread(Work work) : work_(std::move(work)) {}
    worker_thread(const worker_thread &) = delete;
    worker_thread &operator=(const worker_thread &) = delete;
    ~worker_thread() { join(); }

    bool start() {
#if defined(__linux__)
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0) return false;
        cpu_set_t others;
        int here = sched_getcpu();
        if (here >= 0 && here < CPU_SETSIZE &&
            sched_getaffinity(0, sizeof process_cores_, &process_cores_) == 0) {
            others = process_cores_;
            CPU_CLR(here, &others);
            if (CPU_COUNT(&others) > 0) pthread_attr_setaffinity_np(&attr, sizeof others, &others);
        } else {
            CPU_ZERO(&process_cores_);
        }
        started_ = pthread_create(&thread_, &attr, run, this) == 0;
        pthread_attr_destroy(&attr);
        // Where the placement is refused, the thread starts where Linux puts it.
        if (!started_) started_ = pthread_create(&thread_, nullptr, run, this) == 0;
#else
        try {
            thread_ = std::thread([this] { work_(); });
            started_ = true;
        } catch (const std::system_error &) {
        }
#endif
        return started_;
    }

    void join() {
        if (!started_) return;
#if defined(__linux__)
        pthread_join(thread_, nullptr);
#else
        thread_.join();
#endif
        started_ = false;
    }

  private:
#if defined(__linux__)
    static void *run(void *self) {
        auto *w = static_cast<worker_thread *>(self);
        if (CPU_COUNT(&w->process_cores_) > 0)
            pthread_setaffinity_np(pthread_self(), sizeof w->process_cores_, &w->process_cores_);
        w->work_();
        return nullptr;
    }
    pthread_t thread_{};
    cpu_set_t process_cores_;
#else
    std::thread thread_;
#endif
    Work work_;
    bool started_ = false;
};

// Deflates the head on a second thread with a compressor of its own while
// this one takes the tail; the head's stream is made joinable, so the two
// streams joined are one. Both write into one block, the head's stream first;
// the tail's is moved down behind it. `declined` when the thread or its
// compressor cannot start: the caller then deflates on this thread alone.
split_result deflate_on_two_threads(libdeflate_compressor *compressor, const plain_part &plain,
                                    deflated_part *part) {
    std::string_view all = plain.bytes;
    size_t cut = all.size() / HEAD_SHARE_DEN * HEAD_SHARE_NUM;
    std::string_view head = all.substr(0, cut), tail = all.substr(cut);
    size_t head_room = libdeflate_deflate_compress_bound(compressor, head.size()) + JOIN_SLACK;
    size_t tail_room = libdeflate_deflate_compress_bound(compressor, tail.size());
    docx_buf *out = &part->bytes;
    // A deflated stream fills a fraction of its bound (about a tenth for XML).
    if (docx_buf_reserve_room(out, head_room + tail_room + 1) != 0) return split_result::no_memory;
    size_t head_len = 0;
    worker_thread worker([&] {
        deflater_owner own(libdeflate_alloc_compressor(DEFLATE_LEVEL));
        size_t n = own ? libdeflate_deflate_compress(own.get(), head.data(), head.size(), out->data,
                                                     head_room - JOIN_SLACK)
                       : 0;
        head_len = n ? make_joinable(out->data, n) : 0;
    });
    if (!worker.start()) return split_result::declined;
    size_t tail_len = libdeflate_deflate_compress(compressor, tail.data(), tail.size(),
                                                  out->data + head_room, tail_room);
    part->crc = libdeflate_crc32(0, all.data(), all.size());
    worker.join();
    if (head_len == 0 || tail_len == 0) return split_result::declined;
    std::memmove(out->data + head_len, out->data + head_room, tail_len);
    out->len = head_len + tail_len;
    out->data[out->len] = 0;
    part->size = all.size();
    return split_result::done;
}

// Fails, with a message naming the part, only for lack of memory.
bool deflate_part(libdeflate_compressor *compressor, const plain_part &plain, deflated_part *part) {
    split_result split = compressor && plain.bytes.size() >= TWO_THREAD_MIN && two_cores()
                             ? deflate_on_two_threads(compressor, plain, part)
                             : split_result::declined;
    if (split == split_result::done) return true;
    size_t bound =
        compressor ? libdeflate_deflate_compress_bound(compressor, plain.bytes.size()) : 0;
    if (!compressor || split == split_result::no_memory ||
        docx_buf_reserve_room(&part->bytes, bound + 1) != 0) {
        docx_set_error("out of memory compressing %s", plain.name);
        return false;
    }
    part->bytes.len = libdeflate_deflate_compress(compressor, plain.bytes.data(),
                                                  plain.bytes.size(), part->bytes.data, bound);
    part->bytes.data[part->bytes.len] = 0;
    part->size = plain.bytes.size();
    part->crc = libdeflate_crc32(0, plain.bytes.data(), plain.bytes.size());
    return true;
}

// One compressor serves every part of a package; `out` has a slot for each.
bool deflate_parts(std::span<const plain_part> parts, deflated_part *out) {
    deflater_owner compressor(libdeflate_alloc_compressor(DEFLATE_LEVEL));
    for (size_t i = 0; i < parts.size(); ++i)
        if (!deflate_part(compressor.get(), parts[i], &out[i])) return false;
    return true;
}

// The source of a deflated part. Its stat names the method, sizes and CRC,
// so libzip writes the bytes as they are instead of compressing them again.
zip_int64_t deflated_source(void *ud, void *data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto *part = static_cast<deflated_part *>(ud);
    switch (cmd) {
        case ZIP_SOURCE_OPEN:
            part->read_at = 0;
            return 0;
        case ZIP_SOURCE_READ: {
            size_t n = std::min(static_cast<size_t>(len), part->bytes.len - part->read_at);
            if (n) std::memcpy(data, part->bytes.data + part->read_at, n);
            part->read_at += n;
            return static_cast<zip_int64_t>(n);
        }
        case ZIP_SOURCE_STAT: {
            auto *st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &part->error);
            if (!st) return -1;
            zip_stat_init(st);
            st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC |
                        ZIP_STAT_ENCRYPTION_METHOD;
            st->size = part->size;
            st->comp_size = part->bytes.len;
            st->comp_method = ZIP_CM_DEFLATE;
            st->crc = part->crc;
            st->encryption_method = ZIP_EM_NONE;
            return sizeof *st;
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&part->error, data, len);
        case ZIP_SOURCE_CLOSE:
        case ZIP_SOURCE_FREE:
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return ZIP_SOURCE_SUPPORTS_READABLE;
        default:
            zip_error_set(&part->error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
    }
}

bool add_deflated(zip_t *za, const char *name, deflated_part *part, zip_flags_t flags) {
    zip_source_t *src = zip_source_function(za, deflated_source, part);
    if (!src) return false;
    zip_int64_t idx = zip_file_add(za, name, src, flags);
    if (idx < 0) {
        zip_source_free(src);
        return false;
    }
    return zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), ZIP_CM_DEFLATE,
                                    DEFLATE_LEVEL) == 0;
}

// Adds entry `idx` of `src` with its compressed bytes as they are. The entry
// keeps its method: under libzip's default a stored entry would be deflated.
// A method that libzip cannot write leaves the default, which recompresses.
bool add_raw_copy(zip_t *out, zip_t *src, zip_uint64_t idx, const char *name, zip_int32_t method) {
    zip_source_t *s = zip_source_zip(out, src, idx, 0, 0, -1);
    if (!s) return false;
    zip_int64_t added = zip_file_add(out, name, s, ZIP_FL_ENC_UTF_8);
    if (added < 0) {
        zip_source_free(s);
        return false;
    }
    zip_set_file_compression(out, static_cast<zip_uint64_t>(added), method, 0);
    return true;
}

// `failed` is the caller's message for a failed finish, completed by the path.
int finish_output(zip_owner *za, const char *out_path, const char *failed) {
    if (zip_close(za->get()) == 0) {
        za->release();
        return 0;
    }
    if (zip_error_code_zip(zip_get_error(za->get())) == ZIP_ER_TMPOPEN)
        docx_set_error("cannot create output: %s", out_path);
    else
        docx_set_error("%s: %s", failed, out_path);
    return -1;
}

bool is_directory_name(const char *name) {
    size_t n = std::strlen(name);
    return n > 0 && name[n - 1] == '/';
}

// Checks that a copied entry is intact (capped, CRC) in reused scratch.
load_status verify_entry(part_reader *r, zip_uint64_t idx, zip_stat_t *st, docx_buf *scratch) {
    load_status s = stat_entry(*r, idx, st);
    if (s != load_status::ok) return s;
    if (docx_buf_reserve(scratch, st->size + 1) != 0) return load_status::no_memory;
    return read_entry(r, idx, *st, scratch->data);
}

// Copies entry `idx`, named `name`, of the reader's archive into `out` as `to`.
bool copy_entry(part_reader *r, zip_t *out, zip_uint64_t idx, const char *name, const char *to,
                docx_buf *scratch) {
    zip_stat_t st;
    load_status s = verify_entry(r, idx, &st, scratch);
    if (s != load_status::ok) {
        report_load_failure(s, name, "failed extracting");
        return false;
    }
    if (!add_raw_copy(out, r->za.get(), idx, to, st.comp_method)) {
        docx_set_error("failed writing %s", to);
        return false;
    }
    return true;
}

int copy_entries(part_reader *r, zip_t *out, zip_int64_t main_idx, deflated_part *doc) {
    docx_buf scratch;
    zip_int64_t n = zip_get_num_entries(r->za.get(), 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        zip_uint64_t idx = static_cast<zip_uint64_t>(i);
        const char *name = zip_get_name(r->za.get(), idx, 0);
        if (!name) {
            docx_set_error("failed extracting entry %lld", static_cast<long long>(i));
            return -1;
        }
        if (is_directory_name(name)) continue;
        if (i == main_idx) {
            if (!add_deflated(out, name, doc, ZIP_FL_ENC_UTF_8)) {
                docx_set_error("failed writing document.xml");
                return -1;
            }
            continue;
        }
        if (!copy_entry(r, out, idx, name, name, &scratch)) return -1;
    }
    return 0;
}

// Copies the entries that merge inputs carry along. The readers stay open
// until the output is closed: libzip reads the entries then.
int copy_carried(zip_t *out, std::span<const docx_carried_parts> carried,
                 std::vector<std::unique_ptr<part_reader>> *readers) {
    docx_buf scratch;
    for (const docx_carried_parts &input : carried) {
        readers->push_back(std::make_unique<part_reader>());
        part_reader *r = readers->back().get();
        if (!open_reader(r, {input.data.get(), input.size})) {
            docx_set_error("not a valid ZIP/DOCX archive");
            return -1;
        }
        for (const docx_part_copy &part : input.parts) {
            zip_int64_t idx = zip_name_locate(r->za.get(), part.from.c_str(), 0);
            if (idx < 0) {
                docx_set_error("%s %s", MISSING_PART, part.from.c_str());
                return -1;
            }
            if (!copy_entry(r, out, static_cast<zip_uint64_t>(idx), part.from.c_str(),
                            part.to.c_str(), &scratch))
                return -1;
        }
    }
    return 0;
}

bool add_all_deflated(zip_t *za, std::span<const plain_part> parts, deflated_part *deflated) {
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!add_deflated(za, parts[i].name, &deflated[i], 0)) {
            docx_set_error("failed to add zip part: %s", parts[i].name);
            return false;
        }
    }
    return true;
}

// The parts made for a merged package, with their own relationship parts.
struct generated_parts {
    std::vector<std::string> rels_names, rels_xml;
    std::vector<plain_part> plain;

    // Takes `parts`, relating each from the main part.
    void add(std::span<const docx_generated_part> parts, std::string *types, std::string *rels) {
        // Reserved, so that the names that `plain` points to stay in place.
        rels_names.reserve(parts.size());
        rels_xml.reserve(parts.size());
        for (size_t i = 0; i < parts.size(); ++i) {
            const docx_generated_part &g = parts[i];
            *rels += "<Relationship Id=\"merged";
            *rels += std::to_string(i + 1);
            *rels += "\" Type=\"";
            *rels += OFFICE_RELS_URI;
            *rels += '/';
            *rels += g.relationship;
            *rels += "\" Target=\"/";
            *rels += g.name;
            *rels += "\"/>";
            *types += "<Override PartName=\"/";
            *types += g.name;
            *types += "\" ContentType=\"";
            *types += g.content_type;
            *types += "\"/>";
            plain.push_back({g.name.c_str(), g.xml});
            if (g.relationships.empty()) continue;
            rels_names.push_back(docx_relationships_of(g.name));
            rels_xml.push_back(std::string(RELS_HEAD));
            rels_xml.back() += g.relationships;
            rels_xml.back() += "</Relationships>";
            plain.push_back({rels_names.back().c_str(), rels_xml.back()});
        }
    }
};

// `xml` with `extra` put in front of its last `close` bytes (its end tag).
std::string spliced(std::string_view xml, size_t close, std::string_view extra) {
    std::string out(xml.substr(0, xml.size() - close));
    out += extra;
    out += xml.substr(xml.size() - close);
    return out;
}

}  // namespace

// MARK: - Loading

namespace {

// Reads [at, at + n) of `fd` into `to`; false on an error or an early end.
bool read_range(int fd, char *to, size_t n, size_t at) {
    docx_prefault(to, n);
    while (n > 0) {
        ssize_t got = pread(fd, to, n, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        to += got;
        at += static_cast<size_t>(got);
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Where the two threads split the faulting in of the block: the huge page edge
// nearest the middle, so that each faults its own pages and about half. Each
// faults its half in one call before it reads: faulting page by page between
// reads, interleaved with the other thread's, stalled for milliseconds at
// times after memory-hungry processes had run.
size_t middle_huge_page_edge(const char *block, size_t size) {
    constexpr uintptr_t huge_page = uintptr_t{2} << 20;
    auto addr = reinterpret_cast<uintptr_t>(block);
    uintptr_t edge = (addr + size / 2 + huge_page / 2) & ~(huge_page - 1);
    return edge <= addr ? 0 : std::min<size_t>(edge - addr, size);
}

enum chunk_state : unsigned char { CHUNK_FREE, CHUNK_READING, CHUNK_IN, CHUNK_FAILED };

// The second thread's work: the chunks from the front that no one took yet.
struct front_reader {
    docx_file_load_state *load;
    void operator()() const;
};

}  // namespace

struct docx_file_load_state {
    size_t two_thread_from = 0, chunk = 1;
    std::string path;
    file_owner file;
    docx_heap block;
    size_t size = 0;
    size_t lead = 0;  // how far the block starts into its first chunk
    size_t chunk_count = 0;
    size_t fault_cut = 0;  // the second thread faults in the pages before it, this one the rest
    std::unique_ptr<std::atomic<unsigned char>[]> chunks;  // null once read whole
    std::atomic<bool> stop{false};
    std::optional<worker_thread<front_reader>> worker;  // last: joined first

    ~docx_file_load_state() {
        stop = true;
        worker.reset();
    }

    size_t chunk_of(size_t at) const { return (at + lead) / chunk; }
    size_t chunk_begin(size_t i) const { return i == 0 ? 0 : i * chunk - lead; }
    size_t chunk_end(size_t i) const { return std::min(size, (i + 1) * chunk - lead); }

    // Reads chunk `i` unless another thread took it first.
    void claim(size_t i) {
        unsigned char expected = CHUNK_FREE;
        if (!chunks[i].compare_exchange_strong(expected, CHUNK_READING, std::memory_order_relaxed))
            return;
        size_t from = chunk_begin(i);
        bool read = read_range(fileno(file.get()), block.get() + from, chunk_end(i) - from, from);
        chunks[i].store(read ? CHUNK_IN : CHUNK_FAILED, std::memory_order_release);
        chunks[i].notify_all();
    }

    // Waits for chunk `i` once it is claimed; false when it could not be read.
    bool await(size_t i) const {
        unsigned char state;
        while ((state = chunks[i].load(std::memory_order_acquire)) == CHUNK_READING)
            chunks[i].wait(CHUNK_READING, std::memory_order_acquire);
        return state == CHUNK_IN;
    }
};

void front_reader::operator()() const {
    docx_prefault(load->block.get(), load->fault_cut);
    for (size_t i = 0; i < load->chunk_count && !load->stop; ++i) load->claim(i);
}

docx_file_load::docx_file_load(size_t two_thread_from, size_t chunk)
    : state_(std::make_unique<docx_file_load_state>()) {
    state_->two_thread_from = two_thread_from;
    state_->chunk = std::max(chunk, size_t{1});
}

docx_file_load::~docx_file_load() = default;

const char *docx_file_load::data() const {
    return state_->block.get();
}

size_t docx_file_load::size() const {
    return state_->size;
}

namespace {

// Opens the file, sizes it and allocates its block; -1 with the message set.
int open_sized(docx_file_load_state &s, const char *path) {
    s.path = path;
    s.file.reset(std::fopen(path, "rb"));
    struct stat st;
    if (s.file && fstat(fileno(s.file.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
        s.file.reset();
        errno = EISDIR;
    }
    if (!s.file) {
        docx_set_error("cannot open file: %s (%s)", path, std::strerror(errno));
        return -1;
    }
    if (std::fseek(s.file.get(), 0, SEEK_END) != 0) {
        docx_set_error("cannot seek: %s", path);
        return -1;
    }
    long pos = std::ftell(s.file.get());
    if (pos < 0) {
        docx_set_error("cannot stat: %s", path);
        return -1;
    }
    s.size = static_cast<size_t>(pos);
    if (s.size > DOCX_MAX_FILE_SIZE) {
        docx_set_error("file exceeds 200MB limit: %s", path);
        return -1;
    }
    s.block.reset(static_cast<char *>(std::malloc(s.size + 1)));
    if (!s.block) {
        docx_set_error("out of memory reading %s", path);
        return -1;
    }
    docx_advise_large(s.block.get());
    return 0;
}

}  // namespace

int docx_file_load::start(const char *path) {
    docx_file_load_state &s = *state_;
    if (open_sized(s, path) != 0) return -1;
    if (s.size < s.two_thread_from || s.size == 0 || !two_cores()) {
        if (read_range(fileno(s.file.get()), s.block.get(), s.size, 0)) return 0;
        docx_set_error("short read: %s", path);
        return -1;
    }
    s.lead = reinterpret_cast<uintptr_t>(s.block.get()) % s.chunk;
    s.chunk_count = s.chunk_of(s.size - 1) + 1;
    s.chunks = std::make_unique<std::atomic<unsigned char>[]>(s.chunk_count);
    s.fault_cut = middle_huge_page_edge(s.block.get(), s.size);
    // Without a second thread, the chunks are all read on this one.
    if (!s.worker.emplace(front_reader{&s}).start())
        s.worker.reset();
    else
        docx_prefault(s.block.get() + s.fault_cut, s.size - s.fault_cut);
    return 0;
}

bool docx_file_load::ensure(size_t at, size_t n) {
    docx_file_load_state &s = *state_;
    if (at > s.size || n > s.size - at) return false;
    if (!s.chunks || n == 0) return true;
    for (size_t i = s.chunk_of(at); i <= s.chunk_of(at + n - 1); ++i) {
        s.claim(i);
        if (!s.await(i)) return false;
    }
    return true;
}

int docx_file_load::finish(docx_heap *data, size_t *size) {
    docx_file_load_state &s = *state_;
    data->reset();
    *size = 0;
    bool read = true;
    if (s.chunks) {
        // From the back, to meet the second thread halfway.
        for (size_t i = s.chunk_count; i-- > 0;) s.claim(i);
        for (size_t i = 0; i < s.chunk_count; ++i) read = s.await(i) && read;
        s.worker.reset();
        s.chunks.reset();
    }
    if (!read) {
        docx_set_error("short read: %s", s.path.c_str());
        return -1;
    }
    s.block.get()[s.size] = 0;
    *data = std::move(s.block);
    *size = s.size;
    return 0;
}

int docx_read_file(const char *path, docx_heap *data, size_t *size) {
    data->reset();
    *size = 0;
    docx_file_load file;
    return file.start(path) == 0 ? file.finish(data, size) : -1;
}

namespace {

// A Compound File is searched as a whole, so a file still being read is read
// to its end first; a file that cannot be read is taken as it is: opening it
// fails with a short read all the same.
int detect_encrypted(const archive_bytes &a) {
    const auto *p = static_cast<const unsigned char *>(a.data);
    bool in = !a.file || a.file->ensure(0, sizeof CFB_SIGNATURE);
    if (in && a.size >= sizeof CFB_SIGNATURE &&
        std::memcmp(p, CFB_SIGNATURE, sizeof CFB_SIGNATURE) == 0) {
        if (a.file && !a.file->ensure(0, a.size)) return DOCX_LEGACY_BINARY;
        return cfb_is_encrypted_package(p, a.size) ? DOCX_ENCRYPTED : DOCX_LEGACY_BINARY;
    }
    return zip_has_encryption(a) ? DOCX_ENCRYPTED : DOCX_NOT_ENCRYPTED;
}

docx_heap extract(const archive_bytes &a, const char *name, size_t *out_len) {
    *out_len = 0;
    part_reader r;
    if (!open_reader(&r, a)) {
        docx_set_error("not a valid ZIP/DOCX archive");
        return nullptr;
    }
    zip_int64_t idx = locate(r, name);
    if (idx < 0) {
        docx_set_error("%s %s", MISSING_PART, name);
        return nullptr;
    }
    return extract_index(&r, static_cast<zip_uint64_t>(idx), name, out_len);
}

int extract_main(const archive_bytes &a, docx_heap *xml, size_t *xml_len, docx_heap *part_name) {
    constexpr const char *main_name = "word/document.xml";
    *xml_len = 0;
    part_reader r;
    if (!open_reader(&r, a)) {
        docx_set_error("not a valid ZIP/DOCX archive");
        return -1;
    }
    zip_int64_t idx = locate(r, main_name);
    if (idx < 0) idx = locate_main_by_relationships(&r);
    if (idx < 0) {
        docx_set_error("%s %s", MISSING_PART, main_name);
        return -1;
    }
    const char *stored = zip_get_name(r.za.get(), static_cast<zip_uint64_t>(idx), 0);
    part_name->reset(stored ? strdup(stored) : nullptr);
    if (!*part_name) {
        docx_set_error("out of memory extracting %s", main_name);
        return -1;
    }
    *xml = extract_index(&r, static_cast<zip_uint64_t>(idx), part_name->get(), xml_len);
    return *xml ? 0 : -1;
}

}  // namespace

int docx_detect_encrypted(const void *data, size_t size) {
    return detect_encrypted({data, size});
}

int docx_detect_encrypted(docx_file_load &file) {
    return detect_encrypted(bytes_of(file));
}

docx_heap docx_zip_extract(const void *data, size_t size, const char *name, size_t *out_len) {
    return extract({data, size}, name, out_len);
}

docx_heap docx_zip_extract(docx_file_load &file, const char *name, size_t *out_len) {
    return extract(bytes_of(file), name, out_len);
}

int docx_zip_extract_main(const void *data, size_t size, docx_heap *xml, size_t *xml_len,
                          docx_heap *part_name) {
    return extract_main({data, size}, xml, xml_len, part_name);
}

int docx_zip_extract_main(docx_file_load &file, docx_heap *xml, size_t *xml_len,
                          docx_heap *part_name) {
    return extract_main(bytes_of(file), xml, xml_len, part_name);
}

std::string docx_relationships_of(std::string_view part) {
    size_t slash = part.rfind('/') + 1;
    std::string name(part.substr(0, slash));
    name += "_rels/";
    name += part.substr(slash);
    name += ".rels";
    return name;
}

// MARK: - Reading part by part

struct docx_zip_reader_state {
    part_reader r;
    bool ok = false;
};

docx_zip_reader::docx_zip_reader(const void *data, size_t size)
    : state_(std::make_unique<docx_zip_reader_state>()) {
    state_->ok = open_reader(&state_->r, {data, size});
}

docx_zip_reader::~docx_zip_reader() = default;

bool docx_zip_reader::ok() const {
    return state_->ok;
}

std::string docx_zip_reader::entry_name(const char *name) const {
    zip_int64_t idx = state_->ok ? locate(state_->r, name) : -1;
    const char *stored =
        idx < 0 ? nullptr : zip_get_name(state_->r.za.get(), static_cast<zip_uint64_t>(idx), 0);
    return stored ? stored : "";
}

docx_heap docx_zip_reader::extract(const char *name, size_t *len) {
    *len = 0;
    zip_int64_t idx = state_->ok ? zip_name_locate(state_->r.za.get(), name, 0) : -1;
    if (idx < 0) {
        docx_set_error("%s %s", MISSING_PART, name);
        return nullptr;
    }
    return extract_index(&state_->r, static_cast<zip_uint64_t>(idx), name, len);
}

// MARK: - Writing

std::string_view docx_default_styles() {
    return STYLES_XML;
}

int docx_zip_write_simple(const char *out_path, const char *doc_xml, size_t doc_len,
                          const char *core_xml, size_t core_len,
                          const docx_package_extras *extras) {
    if (!core_xml) {
        core_xml = CORE_XML.data();
        core_len = CORE_XML.size();
    }
    std::string types, rels;
    generated_parts generated;
    if (extras) {
        std::string more_types(extras->overrides), more_rels(extras->relationships);
        generated.add(extras->generated, &more_types, &more_rels);
        types = spliced(CONTENT_TYPES_XML, std::strlen("</Types>"), more_types);
        rels = spliced(DOCUMENT_RELS_XML, std::strlen("</Relationships>"), more_rels);
    }
    const plain_part parts[] = {
        {"[Content_Types].xml", extras ? types : CONTENT_TYPES_XML},
        {"_rels/.rels", PACKAGE_RELS_XML},
        {"word/document.xml", {doc_xml, doc_len}},
        {"word/_rels/document.xml.rels", extras ? rels : DOCUMENT_RELS_XML},
        {"word/styles.xml", extras && !extras->styles.empty() ? extras->styles : STYLES_XML},
        {"docProps/core.xml", {core_xml, core_len}},
        {"docProps/app.xml", APP_XML},
    };
    // Declared before the archive, which reads them until it is closed.
    deflated_part deflated[std::size(parts)];
    std::unique_ptr<deflated_part[]> deflated_generated(
        extras ? new deflated_part[generated.plain.size()] : nullptr);
    std::vector<std::unique_ptr<part_reader>> readers;
    if (!deflate_parts(parts, deflated)) return -1;
    if (extras && !deflate_parts(generated.plain, deflated_generated.get())) return -1;
    zip_owner za = create_output(out_path);
    if (!za) return -1;
    if (!add_all_deflated(za.get(), parts, deflated)) return -1;
    if (!extras) return finish_output(&za, out_path, "failed to finalize zip");
    if (!add_all_deflated(za.get(), generated.plain, deflated_generated.get())) return -1;
    if (copy_carried(za.get(), extras->carried, &readers) != 0) return -1;
    return finish_output(&za, out_path, "failed to finalize zip");
}

int docx_zip_rewrite_document(const void *src, size_t src_len, const char *main_part,
                              const char *doc_xml, size_t doc_len, const char *out_path) {
    // The source must stay open until the output is closed: copied entries are
    // read from it then.
    part_reader r;
    if (!open_reader(&r, {src, src_len})) {
        docx_set_error("cannot re-open zip for rewrite");
        return -1;
    }
    if (!main_part) main_part = "word/document.xml";
    zip_int64_t main_idx = zip_name_locate(r.za.get(), main_part, 0);
    if (main_idx < 0) {
        docx_set_error("%s %s", MISSING_PART, main_part);
        return -1;
    }
    // Declared before the archive, which reads it until it is closed.
    deflated_part doc;
    const plain_part main_plain = {main_part, {doc_xml, doc_len}};
    if (!deflate_parts({&main_plain, 1}, &doc)) return -1;
    zip_owner out = create_output(out_path);
    if (!out) return -1;
    if (copy_entries(&r, out.get(), main_idx, &doc) != 0) return -1;
    return finish_output(&out, out_path, "finalize failed");
}

// MARK: - Deflate blocks

// Where a stream's final block lies is found by passing over its codes
// without writing out what they stand for: about half the time of inflating.

namespace {

// Bits of a raw deflate stream, taken from the least significant end of each
// byte as the format packs them. Bits past the end read as zero; past_end()
// tells when any were taken.
class bit_reader {
  public:
    bit_reader(const unsigned char *data, size_t len) : data_(data), len_(len) {}

    // The next n (at most 32) bits, not taken.
    uint32_t peek(unsigned n) {
        if (have_ < 32) refill();
        return static_cast<uint32_t>(bits_ & ((uint64_t{1} << n) - 1));
    }
    void skip(unsigned n) {
        bits_ >>= n;
        have_ -= n;
        taken_ += n;
    }
    uint32_t take(unsigned n) {
        uint32_t v = peek(n);
        skip(n);
        return v;
    }
    void align() { take((8 - taken_ % 8) % 8); }
    // Skips n bytes from a byte boundary.
    void skip_bytes(size_t n) {
        taken_ += n * 8;
        next_ = taken_ / 8;
        bits_ = 0;
        have_ = 0;
    }
    size_t taken() const { return taken_; }
    bool past_end() const { return taken_ > len_ * 8; }

  private:
    // Tops the buffer up to at least 56 bits. A whole word loads at once
    // away from the end; the bits it brings beyond `have_` are loaded again,
    // unchanged, by the next refill.
    void refill() {
        if (next_ + 8 <= len_) {
            uint64_t word = 0;
            for (unsigned i = 0; i < 8; ++i) word |= uint64_t{data_[next_ + i]} << (8 * i);
            bits_ |= word << have_;
            next_ += (63 - have_) / 8;
            have_ |= 56;
            return;
        }
        for (; have_ <= 56; have_ += 8, ++next_)
            bits_ |= uint64_t{next_ < len_ ? data_[next_] : 0u} << have_;
    }

    const unsigned char *data_;
    size_t len_, next_ = 0, taken_ = 0;
    uint64_t bits_ = 0;
    unsigned have_ = 0;
};

// A canonical Huffman code of the format, decoded through a table of its
// next FAST_BITS bits; longer codes are decoded a bit at a time.
class huffman_code {
  public:
    static constexpr unsigned MAX_BITS = 15, FAST_BITS = 10;

    // False for a code with more codes of some length than can exist.
    bool build(const uint8_t *lengths, unsigned n) {
        std::fill(std::begin(count_), std::end(count_), uint16_t{0});
        for (unsigned s = 0; s < n; ++s) ++count_[lengths[s]];
        count_[0] = 0;
        int left = 1;
        uint16_t offset[MAX_BITS + 2] = {};
        for (unsigned len = 1; len <= MAX_BITS; ++len) {
            left = left * 2 - count_[len];
            if (left < 0) return false;
            offset[len + 1] = static_cast<uint16_t>(offset[len] + count_[len]);
        }
        for (unsigned s = 0; s < n; ++s)
            if (lengths[s]) symbol_[offset[lengths[s]]++] = static_cast<uint16_t>(s);
        std::fill(std::begin(fast_), std::end(fast_), 0u);
        unsigned code = 0, index = 0;
        for (unsigned len = 1; len <= MAX_BITS; code <<= 1, ++len) {
            for (unsigned k = 0; k < count_[len]; ++k, ++code, ++index) {
                if (len <= FAST_BITS) {
                    uint32_t entry = uint32_t{symbol_[index]} << 5 | len;
                    for (unsigned i = reversed(code, len); i < std::size(fast_); i += 1u << len)
                        fast_[i] = entry;
                } else {
                    fast_[reversed(code >> (len - FAST_BITS), FAST_BITS)] = LONG;
                }
            }
        }
        return true;
    }

    // The next symbol, or -1 where the bits are no code.
    int decode(bit_reader &in) const {
        uint32_t entry = fast_[in.peek(FAST_BITS)];
        unsigned len = entry & 31;
        if (len == LONG) return decode_long(in);
        if (len == 0) return -1;
        in.skip(len);
        return static_cast<int>(entry >> 5);
    }

  private:
    static constexpr unsigned LONG = 31;

    static unsigned reversed(unsigned code, unsigned len) {
        unsigned r = 0;
        for (unsigned i = 0; i < len; ++i, code >>= 1) r = r << 1 | (code & 1);
        return r;
    }

    // Codes are sent from their most significant bit: walk the lengths in
    // turn, as a canonical code is laid out.
    int decode_long(bit_reader &in) const {
        int code = 0, first = 0, index = 0;
        for (unsigned len = 1; len <= MAX_BITS; ++len) {
            code |= static_cast<int>(in.take(1));
            int n = count_[len];
            if (code - first < n) return symbol_[index + code - first];
            index += n;
            first = (first + n) << 1;
            code <<= 1;
        }
        return -1;
    }

    uint16_t count_[MAX_BITS + 1];
    uint16_t symbol_[288];
    uint32_t fast_[1u << FAST_BITS];  // symbol << 5 | length; 0: no code
};

constexpr unsigned LENGTH_CODES = 29, DISTANCE_CODES = 30;

unsigned length_extra(unsigned code) {
    return code < 8 || code == 28 ? 0 : code / 4 - 1;
}

unsigned distance_extra(unsigned code) {
    return code < 4 ? 0 : code / 2 - 1;
}

// Passes over the symbols of one compressed block up to its end code.
bool skip_symbols(bit_reader &in, const huffman_code &literals, const huffman_code &distances) {
    while (!in.past_end()) {
        int sym = literals.decode(in);
        if (sym < 256) {
            if (sym < 0) return false;
            continue;
        }
        if (sym == 256) return true;
        unsigned length = static_cast<unsigned>(sym) - 257;
        if (length >= LENGTH_CODES) return false;
        in.take(length_extra(length));
        int distance = distances.decode(in);
        if (distance < 0 || distance >= static_cast<int>(DISTANCE_CODES)) return false;
        in.take(distance_extra(static_cast<unsigned>(distance)));
    }
    return false;
}

bool skip_stored(bit_reader &in) {
    in.align();
    uint32_t len = in.take(16), complement = in.take(16);
    if (len != (~complement & 0xFFFF)) return false;
    in.skip_bytes(len);
    return true;
}

struct fixed_codes {
    huffman_code literals, distances;
    fixed_codes() {
        uint8_t lengths[288];
        std::fill(lengths, lengths + 144, uint8_t{8});
        std::fill(lengths + 144, lengths + 256, uint8_t{9});
        std::fill(lengths + 256, lengths + 280, uint8_t{7});
        std::fill(lengths + 280, lengths + 288, uint8_t{8});
        literals.build(lengths, 288);
        std::fill(lengths, lengths + 32, uint8_t{5});
        distances.build(lengths, 32);
    }
};

bool skip_fixed(bit_reader &in) {
    static const fixed_codes codes;
    return skip_symbols(in, codes.literals, codes.distances);
}

// A dynamic block's header gives its two codes by their lengths, themselves
// coded, with runs of repeats.
bool skip_dynamic(bit_reader &in) {
    static constexpr uint8_t ORDER[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};
    const unsigned literal_count = in.take(5) + 257, distance_count = in.take(5) + 1;
    const unsigned length_count = in.take(4) + 4;
    if (literal_count > 286 || distance_count > DISTANCE_CODES) return false;
    uint8_t length_lengths[19] = {};
    for (unsigned i = 0; i < length_count; ++i)
        length_lengths[ORDER[i]] = static_cast<uint8_t>(in.take(3));
    huffman_code length_code, literals, distances;
    if (!length_code.build(length_lengths, 19)) return false;
    uint8_t lengths[286 + 30];
    const unsigned total = literal_count + distance_count;
    for (unsigned n = 0; n < total;) {
        int sym = length_code.decode(in);
        if (sym < 0 || in.past_end()) return false;
        if (sym < 16) {
            lengths[n++] = static_cast<uint8_t>(sym);
            continue;
        }
        if (sym == 16 && n == 0) return false;
        const uint8_t repeated = sym == 16 ? lengths[n - 1] : 0;
        const unsigned times = sym == 16   ? 3 + in.take(2)
                               : sym == 17 ? 3 + in.take(3)
                                           : 11 + in.take(7);
        if (times > total - n) return false;
        std::fill(lengths + n, lengths + n + times, repeated);
        n += times;
    }
    if (lengths[256] == 0) return false;  // a block needs its end code
    return literals.build(lengths, literal_count) &&
           distances.build(lengths + literal_count, distance_count) &&
           skip_symbols(in, literals, distances);
}

}  // namespace

bool docx_deflate_final_block(const char *stream, size_t len, size_t *start, size_t *end) {
    if (len > SIZE_MAX / 8) return false;
    bit_reader in(reinterpret_cast<const unsigned char *>(stream), len);
    for (;;) {
        const size_t block = in.taken();
        const bool final = in.take(1) != 0;
        bool ok;
        switch (in.take(2)) {
            case 0:
                ok = skip_stored(in);
                break;
            case 1:
                ok = skip_fixed(in);
                break;
            case 2:
                ok = skip_dynamic(in);
                break;
            default:
                ok = false;
                break;
        }
        if (!ok || in.past_end()) return false;
        if (final) {
            *start = block;
            *end = in.taken();
            return (*end + 7) / 8 == len;
        }
    }
}
