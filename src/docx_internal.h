// docx_internal.h -- types and library-wide functions shared by the source files.
//
// Nothing here is exported: the shared library is built with hidden visibility
// and only the ten functions of tavrimel_docx.h are visible to hosts. Internal
// functions that can fail return 0 or -1 and set the last-error message where
// the failure is detected; callers only pass -1 on.
#ifndef TAVRIMEL_DOCX_INTERNAL_H
#define TAVRIMEL_DOCX_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// MARK: - Limits

constexpr int DOCX_MAX_HANDLES = 64;
constexpr size_t DOCX_MAX_FILE_SIZE = 200u * 1024u * 1024u;
// No part is inflated beyond this, whatever size the ZIP declares: a 200 MiB
// file could otherwise demand hundreds of GiB.
constexpr size_t DOCX_MAX_PART_SIZE = 512u * 1024u * 1024u;
constexpr size_t DOCX_ERR_SIZE = 512;

// MARK: - Heap blocks

struct docx_free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
// A malloc'ed block; texts keep a NUL after their counted bytes.
using docx_heap = std::unique_ptr<char, docx_free_deleter>;

// Asks for huge pages for a malloc'ed block of several MiB that is about to be
// filled; smaller blocks are left alone.
void docx_advise_large(void *block);
// Faults in the first `n` bytes of a block that is about to be filled with them.
void docx_prefault(void *block, size_t n);
// A malloc'ed block of `n` bytes that are written right away, readied for it
// by both of the above; null when memory is short.
docx_heap docx_alloc_filled(size_t n);

// MARK: - Growable byte buffer

// Bytes are always followed by a NUL once anything was appended. A failed
// growth sets "out of memory", leaves the contents as they were and marks the
// buffer `failed`: the text is then incomplete and must not be handed out as a
// result. Appending a failed buffer to another marks the target too; only
// docx_buf_free and release() drop the mark.
struct docx_buf {
    char *data = nullptr;
    size_t len = 0;
    size_t cap = 0;
    size_t ready = 0;  // the part of the capacity that needs no faulting in ahead
    bool failed = false;

    docx_buf() = default;
    ~docx_buf() { std::free(data); }
    docx_buf(const docx_buf &) = delete;
    docx_buf &operator=(const docx_buf &) = delete;

    std::string_view view() const {
        return data ? std::string_view(data, len) : std::string_view();
    }
    // Hands the block over to the caller (who frees it); the buffer is empty after.
    docx_heap release() noexcept;
    void swap(docx_buf &other) noexcept;
};

// The capacity that holds `need` bytes: `first` at the start, then doubling.
size_t docx_grown_capacity(size_t cap, size_t need, size_t first);

void docx_buf_init(docx_buf *b);
void docx_buf_free(docx_buf *b);
void docx_buf_clear(docx_buf *b);
int docx_buf_reserve_grow(docx_buf *b, size_t need);
// Capacity for `need` bytes, faulted in ahead; most calls find it there.
inline int docx_buf_reserve(docx_buf *b, size_t need) {
    return b->ready >= need ? 0 : docx_buf_reserve_grow(b, need);
}
// Capacity for `need` bytes whose pages fault in only as they are written: for
// a block that is filled in part, such as room for a compressed stream.
int docx_buf_reserve_room(docx_buf *b, size_t need);
// Capacity for `n` bytes when memory allows: only a hint, failing is no error.
void docx_buf_expect(docx_buf *b, size_t n);
int docx_buf_append_grow(docx_buf *b, const void *bytes, size_t n);
// Most appends are a few bytes into room that is there: that case is inline.
inline int docx_buf_append(docx_buf *b, const void *bytes, size_t n) {
    if (n == 0) return 0;
    if (b->ready <= b->len || n >= b->ready - b->len) return docx_buf_append_grow(b, bytes, n);
    std::memcpy(b->data + b->len, bytes, n);
    b->len += n;
    b->data[b->len] = 0;
    return 0;
}
int docx_buf_append_cstr(docx_buf *b, const char *s);
int docx_buf_append_buf(docx_buf *b, const docx_buf *src);
// Inserts the bytes before the contents, moving them in place.
int docx_buf_prepend(docx_buf *b, std::string_view bytes);
int docx_buf_printf(docx_buf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
inline int docx_buf_append_sv(docx_buf *b, std::string_view s) {
    return docx_buf_append(b, s.data(), s.size());
}

// Test hook: the n-th growth from now on fails (0 = the next one); -1 never.
void docx_buf_fail_growth_after(long n);

// MARK: - Handle table, errors, results

// One open document. The slot owns its blocks; a free slot is all zero.
struct docx_doc {
    int in_use = 0;
    docx_heap path;
    docx_heap doc_xml;  // main document part, NUL-terminated
    size_t doc_len = 0;
    docx_heap core_xml;  // docProps/core.xml or null
    size_t core_len = 0;
    int encrypted = 0;
    docx_heap file_data;  // the whole file, NUL-terminated
    size_t file_len = 0;
    docx_heap doc_part;  // entry name doc_xml was extracted from, as stored
};

void docx_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void docx_clear_error();
size_t docx_result_capacity();
docx_doc *docx_doc_get(int handle);

// MARK: - Package access

int docx_read_file(const char *path, docx_heap *data, size_t *size);

// A file being read into one heap block in chunks. A large file is read by a
// second thread as well, where two cores exist, and its bytes can be used as
// soon as the chunks holding them are in: opening a document takes out its
// main part while the pictures are still being read.
struct docx_file_load_state;
class docx_file_load {
  public:
    // Zeroing fresh pages and copying the file into them is most of the time
    // it takes to open a document with many pictures.
    static constexpr size_t TWO_THREAD_FROM = size_t{8} << 20;
    static constexpr size_t CHUNK = size_t{1} << 20;
    // Files from `two_thread_from` bytes on are read in chunks of `chunk`
    // bytes; tests and fuzzing make both small, to read any file in many.
    explicit docx_file_load(size_t two_thread_from = TWO_THREAD_FROM, size_t chunk = CHUNK);
    ~docx_file_load();
    docx_file_load(const docx_file_load &) = delete;
    docx_file_load &operator=(const docx_file_load &) = delete;
    // Opens and sizes the file and starts reading it; -1 with the message set
    // (the messages of docx_read_file).
    int start(const char *path);
    const char *data() const;
    size_t size() const;
    // Reads, or waits for, the chunks holding [at, at + n); false when one of
    // them could not be read.
    bool ensure(size_t at, size_t n);
    // Reads what is left, waits for the other thread and hands over the whole
    // file with a NUL behind it; -1 with "short read" when any of it failed.
    int finish(docx_heap *data, size_t *size);

  private:
    std::unique_ptr<docx_file_load_state> state_;
};

enum docx_container {
    DOCX_NOT_ENCRYPTED = 0,
    DOCX_ENCRYPTED = 1,     // encrypted package (Compound File or encryption entries)
    DOCX_LEGACY_BINARY = 2  // a Compound File that is no encrypted package (.doc)
};
int docx_detect_encrypted(const void *data, size_t size);
int docx_detect_encrypted(docx_file_load &file);

// One part by name (ASCII case ignored), CRC-checked, with a NUL behind it.
docx_heap docx_zip_extract(const void *data, size_t size, const char *name, size_t *out_len);
// The main document part: "word/document.xml", else the part that the package
// relationships name as officeDocument. `part_name` receives the entry name.
int docx_zip_extract_main(const void *data, size_t size, docx_heap *xml, size_t *xml_len,
                          docx_heap *part_name);
// The same from a file that is still being read.
docx_heap docx_zip_extract(docx_file_load &file, const char *name, size_t *out_len);
int docx_zip_extract_main(docx_file_load &file, docx_heap *xml, size_t *xml_len,
                          docx_heap *part_name);

// The relationships part of `part`: "word/_rels/document.xml.rels" for
// "word/document.xml".
std::string docx_relationships_of(std::string_view part);

// An archive in memory, read part by part.
struct docx_zip_reader_state;
class docx_zip_reader {
  public:
    docx_zip_reader(const void *data, size_t size);
    ~docx_zip_reader();
    docx_zip_reader(const docx_zip_reader &) = delete;
    docx_zip_reader &operator=(const docx_zip_reader &) = delete;
    bool ok() const;
    // The stored name of the entry `name` (ASCII case ignored), "" if none.
    std::string entry_name(const char *name) const;
    // An entry by its stored name, CRC-checked, with a NUL behind it; null
    // with the message set on failure.
    docx_heap extract(const char *name, size_t *len);

  private:
    std::unique_ptr<docx_zip_reader_state> state_;
};

// Entries of one input file that a merged package carries along, copied
// with their compressed bytes from the file's bytes kept here.
struct docx_part_copy {
    std::string from;  // the entry's name in the input
    std::string to;    // its name in the output
};
struct docx_carried_parts {
    docx_heap data;
    size_t size = 0;
    std::vector<docx_part_copy> parts;
};

// A part made for a merged package, related from the main part.
struct docx_generated_part {
    std::string name;  // "word/footnotes.xml"
    std::string xml;
    const char *content_type;
    const char *relationship;   // the type's last segment: "footnotes"
    std::string relationships;  // its own Relationship elements, if any
};

// What a merged package holds beyond the parts every written package has:
// relationships of its main part, content-type overrides, copied entries and
// parts made for it.
struct docx_package_extras {
    std::string_view relationships;  // Relationship elements
    std::string_view overrides;      // Override elements
    std::span<const docx_carried_parts> carried;
    std::span<const docx_generated_part> generated;
    std::string_view styles;  // in place of the written styles part, when given
};

// The styles part of every written package.
std::string_view docx_default_styles();

// Both writers build the package in a temporary file beside `out_path` and
// rename it into place only when complete.
int docx_zip_write_simple(const char *out_path, const char *doc_xml, size_t doc_len,
                          const char *core_xml, size_t core_len,
                          const docx_package_extras *extras = nullptr);
int docx_zip_rewrite_document(const void *src, size_t src_len, const char *main_part,
                              const char *doc_xml, size_t doc_len, const char *out_path);

// The bit at which the final block of the raw deflate stream [stream, +len)
// begins, and the bit just past its end; false unless the stream decodes
// and ends in that block's last byte.
bool docx_deflate_final_block(const char *stream, size_t len, size_t *start, size_t *end);

// MARK: - XML scanning

// The first byte `c`, or the first run of `needle`, in [from, end); null if none.
const char *docx_find_byte(const char *from, const char *end, char c);
const char *docx_find_bytes(const char *from, const char *end, std::string_view needle);

inline bool docx_starts_with(const char *p, const char *end, std::string_view s) {
    return static_cast<size_t>(end - p) >= s.size() && std::memcmp(p, s.data(), s.size()) == 0;
}

#if defined(__SSE2__)
// Which of the 16 bytes from p are `c`, as 0xFF lanes.
inline __m128i docx_eq16(const char *p, char c) {
    return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), _mm_set1_epi8(c));
}
#endif

// docx_find_byte for a byte that is usually a few bytes away, as the '>' of a
// tag or the next '<' inside a run: there a call to memchr costs more than the
// search.
inline const char *docx_find_near(const char *from, const char *end, char c) {
#if defined(__SSE2__)
    if (end - from >= 16) {
        if (int mask = _mm_movemask_epi8(docx_eq16(from, c))) return from + __builtin_ctz(mask);
        return docx_find_byte(from + 16, end, c);
    }
#endif
    for (; from < end; ++from)
        if (*from == c) return from;
    return nullptr;
}

const char *docx_find_tag(const char *start, const char *end, const char *name);
const char *docx_find_close(const char *start, const char *end, const char *name);
// Past the element whose start tag opens at `tag`: past its '>' when it is
// self-closing, else past its end tag; null when unbalanced.
const char *docx_element_end(const char *tag, const char *end, const char *name);
int docx_attr_val(const char *tag, const char *end, const char *name, char *out, size_t out_size);
// The tag at '<' p: a start tag of `name` as docx_find_tag finds it; a nested
// start tag or the end tag of `name` as docx_find_close counts them.
bool docx_tag_opens(const char *p, const char *end, std::string_view name);
bool docx_tag_nests(const char *p, const char *end, std::string_view name);
bool docx_tag_closes(const char *p, const char *end, std::string_view name);
// The body's children up to its own final w:sectPr, as a range of `xml`;
// -1 after setting the message.
int docx_body_inner_range(const char *xml, size_t xml_len, const char **start, size_t *len);
// The content of w:body: 1 found, 0 no w:body start tag, -1 its '>' missing.
// The end is the first "</w:body>" after the start, or the end of the XML.
int docx_body_range(const char *xml, size_t xml_len, const char **start, const char **end);

// A well-formed UTF-8 character: its code point and length in bytes.
struct docx_utf8_char {
    char32_t code;
    size_t length;
};
// The character that starts at p, if the bytes up to `end` hold a well-formed
// one: the shortest form, no surrogate, nothing beyond U+10FFFF.
std::optional<docx_utf8_char> docx_utf8_decode(const unsigned char *p, const unsigned char *end);

// Text as XML character data: markup characters as entities, the control
// characters XML does not allow dropped, and bytes that form no character XML
// allows (malformed UTF-8, U+FFFE, U+FFFF) as U+FFFD.
void docx_xml_escape(const char *text, size_t len, docx_buf *out);
inline void docx_xml_escape(const char *text, docx_buf *out) {
    if (text) docx_xml_escape(text, std::char_traits<char>::length(text), out);
}
void docx_xml_decode_entities(const char *data, size_t len, docx_buf *out);

// MARK: - Workers of the exports

int docx_extract_content(const char *xml, size_t xml_len, int format, docx_buf *out);
int docx_extract_tables_json(const char *xml, size_t xml_len, docx_buf *out);
int docx_build_info_json(const docx_doc *doc, docx_buf *out);
// A main document part written from scratch: the head up to "<w:body>", with
// `root_attrs` (each with a leading space) after the w and r declarations,
// and the tail: `section`, the body's final w:sectPr, or when it is empty one
// US Letter section. Writing and merging share both.
void docx_append_document_head(docx_buf *out, std::string_view root_attrs);
void docx_append_document_tail(docx_buf *out, std::string_view section = {});
// The XML declaration and the start tag of root element `name`, declaring w
// and r, then `root_attrs`.
void docx_append_root(docx_buf *out, std::string_view name, std::string_view root_attrs);
int docx_write_from_md(const char *text, const char *path);
int docx_write_from_plain(const char *text, const char *path);
int docx_merge_impl(const char *paths_json, const char *out_path);
int docx_replace_impl(const docx_doc *doc, const char *find, const char *replace,
                      const char *out_path, int *count, int match_case, int whole_word);

#endif  // TAVRIMEL_DOCX_INTERNAL_H
