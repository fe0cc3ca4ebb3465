// docx_replace.cpp -- find and replace across runs in the main document part.
//
// One pass over the main part, paragraph by paragraph. A paragraph is scanned
// into text nodes: the decoded text of each w:t with, for every decoded byte,
// the raw bytes it came from. The nodes are grouped into segments that tabs,
// breaks, fields, drawings and nested paragraphs separate; the joined text of a
// segment is searched, and each match becomes edits on the nodes it covers,
// the replacement going into the node where the match starts so that it takes
// that run's formatting. Only text elements with edits are written anew; every
// other byte of the document is copied as it stands.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>

#include "docx_internal.h"

namespace {

using std::string_view;

// MARK: - Byte scanning

bool is_name_end(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '/' || c == '>';
}

// Whether the tag at '<' `tag` has the name `name`. An end tag is tested by
// passing the position of its '/'.
bool tag_is(const char *tag, const char *end, string_view name) {
    if (end - tag < static_cast<ptrdiff_t>(name.size() + 2)) return false;
    // The name's last byte and the terminator reject most tags without a call.
    return tag[name.size()] == name.back() && is_name_end(tag[1 + name.size()]) &&
           std::memcmp(tag + 1, name.data(), name.size()) == 0;
}

// MARK: - Growable arrays

// A growable array of plain values held in a docx_buf, so that it grows, and
// fails to grow, like every other buffer of the library.
template <class T>
class pod_array {
  public:
    T *begin() const { return reinterpret_cast<T *>(bytes_.data); }
    T *end() const { return begin() + size_; }
    size_t size() const { return size_; }
    T &operator[](size_t i) const { return begin()[i]; }

    // Room for `extra` entries after the last; -1 ("out of memory") otherwise.
    int reserve_more(size_t extra) {
        if (extra > SIZE_MAX / sizeof(T) - size_) {
            docx_set_error("out of memory");
            return -1;
        }
        return docx_buf_reserve(&bytes_, (size_ + extra) * sizeof(T));
    }
    int push(const T &v) {
        if (reserve_more(1) != 0) return -1;
        begin()[size_++] = v;
        return 0;
    }
    // Takes in entries written directly into reserved room.
    void grow_by(size_t n) { size_ += n; }
    void clear() { size_ = 0; }

  private:
    docx_buf bytes_;
    size_t size_ = 0;
};

// MARK: - Text nodes

// One pending change of a node's raw content, in offsets from its content
// start: [start, end) becomes the replacement, or nothing.
struct node_edit {
    uint32_t start;
    uint32_t end;
    bool insert;
};

// No part is larger than DOCX_MAX_PART_SIZE, so 32 bits hold every offset and
// count of a paragraph's bookkeeping, which keeps a node at 48 bytes.
static_assert(DOCX_MAX_PART_SIZE <= UINT32_MAX);

// One w:t element of a paragraph.
struct text_node {
    const char *elem_start;   // '<' of the start tag
    const char *open_end;     // '>' of the start tag
    const char *content_end;  // '<' of "</w:t>"
    // The decoded text is a slice of the paragraph's shared storage
    // (node_list), so that a paragraph of many runs costs no allocation per
    // run. Only an element holding references has maps from decoded to raw
    // bytes; in every other one the two are the same.
    uint32_t text_at;
    uint32_t text_len;
    uint32_t map_at;
    int32_t segment;
    // The node's edits, in the order planned: a slice of the shared storage
    // too.
    uint32_t first_edit;
    uint32_t edit_count;

    static constexpr uint32_t k_no_map = UINT32_MAX;

    const char *content_start() const { return open_end + 1; }
    const char *elem_end() const { return content_end + 6; }
    uint32_t raw_len() const { return static_cast<uint32_t>(content_end - content_start()); }
};

// The text nodes of one paragraph with the storage their texts, maps and edits
// live in. Kept across paragraphs, so its storage is allocated only a few
// times per document.
class node_list {
  public:
    node_list() = default;
    node_list(const node_list &) = delete;
    node_list &operator=(const node_list &) = delete;

    text_node *begin() const { return nodes_.begin(); }
    text_node *end() const { return nodes_.end(); }
    size_t size() const { return nodes_.size(); }

    void clear() {
        nodes_.clear();
        src_start_.clear();
        src_end_.clear();
        edits_.clear();
        docx_buf_clear(&text_);
    }

    // Appends the node of the w:t element [lt, close + 6) whose start tag ends
    // at `gt`; -1 after setting the message.
    int add(const char *lt, const char *gt, const char *close, int32_t segment);

    const unsigned char *text_of(const text_node &n) const {
        return reinterpret_cast<const unsigned char *>(text_.data) + n.text_at;
    }
    // The raw range, from the node's content start, that decoded byte `i`
    // came from; a reference's bytes all cover the whole reference.
    uint32_t raw_start(const text_node &n, uint32_t i) const {
        return n.map_at == text_node::k_no_map ? i : src_start_[n.map_at + i];
    }
    uint32_t raw_end(const text_node &n, uint32_t i) const {
        return n.map_at == text_node::k_no_map ? i + 1 : src_end_[n.map_at + i];
    }

    // Appends an edit to `n`; false after setting the message. Matches are
    // planned left to right, so a node's edits are always the last ones made.
    bool add_edit(text_node *n, uint32_t start, uint32_t end, bool insert);
    std::span<const node_edit> edits_of(const text_node &n) const {
        return {edits_.begin() + n.first_edit, n.edit_count};
    }

  private:
    int decode(text_node *n);
    int decode_references(text_node *n, const char *content, uint32_t len);

    pod_array<text_node> nodes_;
    docx_buf text_;
    pod_array<uint32_t> src_start_;
    pod_array<uint32_t> src_end_;
    pod_array<node_edit> edits_;
};

bool node_list::add_edit(text_node *n, uint32_t start, uint32_t end, bool insert) {
    if (n->edit_count == 0) {
        n->first_edit = static_cast<uint32_t>(edits_.size());
    } else if (n->first_edit + n->edit_count != edits_.size()) {
        docx_set_error("internal: overlapping replace edits");
        return false;
    }
    if (edits_.push(node_edit{start, end, insert}) != 0) return false;
    ++n->edit_count;
    return true;
}

// Decodes the character reference at the '&' `p` (`avail` bytes readable) into
// `out`: the number of bytes produced, 0 when it is no reference this decoder
// knows. `*ref_len` receives the reference's length.
int decode_reference(const char *p, uint64_t avail, char out[3], uint64_t *ref_len) {
    if (avail < 2) return 0;
    const char *semi = docx_find_byte(p + 1, p + (avail < 17 ? avail : 17), ';');
    if (!semi) return 0;
    *ref_len = static_cast<uint64_t>(semi - p + 1);
    string_view ref(p, *ref_len);
    char named = ref == "&amp;"    ? '&'
                 : ref == "&lt;"   ? '<'
                 : ref == "&gt;"   ? '>'
                 : ref == "&quot;" ? '"'
                 : ref == "&apos;" ? '\''
                                   : 0;
    if (named) {
        out[0] = named;
        return 1;
    }
    if (ref.size() < 3 || p[1] != '#') return 0;
    bool hex = p[2] == 'x' || p[2] == 'X';
    // The digits end at the ';' at the latest, so a local copy bounds strtoul.
    const char *digits = p + (hex ? 3 : 2);
    char number[20] = {};
    std::memcpy(number, digits, static_cast<size_t>(semi - digits));
    unsigned long cp = std::strtoul(number, nullptr, hex ? 16 : 10);
    if (cp == 0 || cp > 0xFFFF) return 0;
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
}

// Appends the node's decoded text to the shared text, with maps when it holds
// references. References that are not decoded stay in the text as written.
int node_list::decode(text_node *n) {
    const char *content = n->content_start();
    const uint32_t len = n->raw_len();
    // A reference never decodes to more bytes than it has, so len bytes suffice.
    if (docx_buf_reserve(&text_, text_.len + len + 1) != 0) {
        docx_set_error("out of memory decoding run text");
        return -1;
    }
    n->text_at = static_cast<uint32_t>(text_.len);
    n->map_at = text_node::k_no_map;
    if (!docx_find_near(content, content + len, '&')) {
        docx_buf_append(&text_, content, len);
        n->text_len = len;
        return 0;
    }
    return decode_references(n, content, len);
}

int node_list::decode_references(text_node *n, const char *content, uint32_t len) {
    if (src_start_.reserve_more(len) != 0 || src_end_.reserve_more(len) != 0) {
        docx_set_error("out of memory decoding run text");
        return -1;
    }
    n->map_at = static_cast<uint32_t>(src_start_.size());
    char *text = text_.data + text_.len;
    uint32_t *starts = src_start_.end();
    uint32_t *ends = src_end_.end();
    uint32_t k = 0;
    for (uint32_t v = 0; v < len;) {
        const char *amp = docx_find_byte(content + v, content + len, '&');
        uint32_t plain_end = amp ? static_cast<uint32_t>(amp - content) : len;
        for (; v < plain_end; ++v, ++k) {
            text[k] = content[v];
            starts[k] = v;
            ends[k] = v + 1;
        }
        if (!amp) break;
        char bytes[3];
        uint64_t ref_len = 1;
        int m = decode_reference(amp, len - v, bytes, &ref_len);
        if (m == 0) {
            m = 1;
            bytes[0] = '&';
            ref_len = 1;
        }
        for (int i = 0; i < m; ++i, ++k) {
            text[k] = bytes[i];
            starts[k] = v;
            ends[k] = v + static_cast<uint32_t>(ref_len);
        }
        v += static_cast<uint32_t>(ref_len);
    }
    text_.len += k;
    text_.data[text_.len] = 0;
    src_start_.grow_by(k);
    src_end_.grow_by(k);
    n->text_len = k;
    return 0;
}

int node_list::add(const char *lt, const char *gt, const char *close, int32_t segment) {
    // Filled in place: a node built aside and copied in cost a stalled
    // reload of its freshly stored fields per element.
    if (nodes_.reserve_more(1) != 0) return -1;
    text_node *n = nodes_.end();
    n->elem_start = lt;
    n->open_end = gt;
    n->content_end = close;
    n->segment = segment;
    n->first_edit = 0;
    n->edit_count = 0;
    if (decode(n) != 0) return -1;
    nodes_.grow_by(1);
    return 0;
}

// Tags that end a segment: a match never runs across a paragraph boundary
// (nested paragraphs of text boxes included), a field, deleted text, an
// object, or a character that a w:t does not carry (tabs, breaks, symbols,
// non-breaking hyphens).
constexpr string_view k_segment_breaks[] = {
    "w:p",       "w:instrText", "w:delText", "w:fldChar",      "w:fldSimple",
    "w:drawing", "w:pict",      "w:object",  "w:tab",          "w:br",
    "w:sym",     "w:cr",        "w:ptab",    "w:noBreakHyphen"};

// The first letters of their local names: most tags of a paragraph (w:r,
// w:rPr, w:t) are told apart by one lookup.
constexpr auto k_break_initials = [] {
    std::array<bool, 256> initial{};
    for (string_view name : k_segment_breaks) initial[static_cast<unsigned char>(name[2])] = true;
    return initial;
}();

bool breaks_segment(const char *lt, const char *end) {
    if (end - lt < 4 || lt[1] != 'w' || lt[2] != ':' ||
        !k_break_initials[static_cast<unsigned char>(lt[3])])
        return false;
    for (string_view name : k_segment_breaks)
        if (name[2] == lt[3] && tag_is(lt, end, name)) return true;
    return false;
}

// Scans the paragraph [p, end) into `list`; -1 after setting the message.
// Malformed markup ends the scan with the nodes found so far.
int scan_paragraph(const char *p, const char *end, node_list *list) {
    int32_t segment = 0;
    const char *cur = p;
    while (const char *lt = docx_find_near(cur, end, '<')) {
        cur = lt + 1;
        char next = cur < end ? *cur : 0;
        if (next == '/') {
            if (tag_is(cur, end, "w:p")) ++segment;
            continue;
        }
        if (next == '!' || next == '?') continue;
        if (!tag_is(lt, end, "w:t")) {
            if (breaks_segment(lt, end)) ++segment;
            continue;
        }
        const char *gt = docx_find_near(lt, end, '>');
        if (!gt) break;
        cur = gt + 1;
        if (gt[-1] == '/') continue;
        // The content ends at the first '<', which is nearly always the end tag.
        const char *close = docx_find_near(gt + 1, end, '<');
        if (!close) continue;
        if (!docx_starts_with(close, end, "</w:t>")) {
            close = docx_find_bytes(close + 1, end, "</w:t>");
            if (!close) continue;
            // Markup inside the text element: its bytes are not all text, and
            // a match inside a tag would break the XML. Leave it as it is.
            ++segment;
            cur = close + 6;
            continue;
        }
        if (list->add(lt, gt, close, segment) != 0) return -1;
        cur = close + 6;
    }
    return 0;
}

// MARK: - Enclosing runs

// Finds the w:r enclosing text elements that are asked about in document
// order. The candidates are the w:r start tags in the order a scan from the
// paragraph's start meets them, and for each the first "</w:r>" after its
// start tag. Those end tags never move backwards from one candidate to the
// next, so the first candidate whose end tag lies at or after an element's end
// is the only one that can enclose it; candidates ending before one element
// end before every later one too. The whole paragraph is thus walked once,
// however many elements are asked about.
// A w:r element, and whether it holds nothing but run properties and one
// given text element.
struct run_span {
    const char *start = nullptr;
    const char *end = nullptr;
    bool sole = false;
};

class run_finder {
  public:
    run_finder(const char *para, const char *end) : end_(end), scan_(para) {}

    // The run enclosing `node`: null bounds when there is none.
    run_span locate(const text_node &node) {
        for (;;) {
            if (!start_ && !next_candidate()) return {};
            if (!close_) {  // no later candidate has an end tag either
                exhausted_ = true;
                start_ = nullptr;
                return {};
            }
            if (close_ >= node.elem_end()) break;
            start_ = nullptr;
        }
        if (content_ > node.elem_start) return {};
        return {start_, close_ + 6, is_sole(node)};
    }

  private:
    bool next_candidate() {
        while (!exhausted_) {
            const char *lt = docx_find_byte(scan_, end_, '<');
            if (!lt) break;
            scan_ = lt + 1;
            if (!tag_is(lt, end_, "w:r")) continue;
            const char *gt = docx_find_byte(lt, end_, '>');
            if (!gt) break;
            scan_ = gt + 1;
            if (gt[-1] == '/') continue;
            start_ = lt;
            content_ = gt + 1;
            close_ = first_close(content_);
            first_child_known_ = false;
            return true;
        }
        exhausted_ = true;
        return false;
    }

    const char *first_close(const char *from) {
        if (close_searched_ && (!close_at_ || close_at_ >= from)) return close_at_;
        close_searched_ = true;
        close_at_ = docx_find_bytes(from, end_, "</w:r>");
        return close_at_;
    }

    // The first '<' at or after `from` that does not open a complete w:rPr
    // element before the run's end tag; the end tag itself when every one does.
    const char *skip_run_properties(const char *from) const {
        while (const char *lt = docx_find_byte(from, close_, '<')) {
            if (!tag_is(lt, end_, "w:rPr")) return lt;
            const char *gt = docx_find_byte(lt, close_, '>');
            if (!gt) return lt;
            if (gt[-1] == '/') {
                from = gt + 1;
                continue;
            }
            const char *rpr_end = docx_find_bytes(gt + 1, close_, "</w:rPr>");
            if (!rpr_end) return lt;
            from = rpr_end + 8;
        }
        return close_;
    }

    // The run holds nothing but run properties and this node's element. The
    // first other child is the same for every node of the run, so it is found
    // once.
    bool is_sole(const text_node &node) {
        if (!first_child_known_) {
            first_child_ = skip_run_properties(content_);
            first_child_known_ = true;
        }
        return first_child_ == node.elem_start && skip_run_properties(node.elem_end()) == close_;
    }

    const char *end_;
    const char *scan_;
    bool exhausted_ = false;
    // The current candidate: its '<', first content byte and first "</w:r>".
    const char *start_ = nullptr;
    const char *content_ = nullptr;
    const char *close_ = nullptr;
    const char *first_child_ = nullptr;
    bool first_child_known_ = false;
    bool close_searched_ = false;
    const char *close_at_ = nullptr;
};

// MARK: - Search and edit planning

struct match_options {
    string_view find;
    string_view replacement;  // escaped for XML
    bool match_case;
    bool whole_word;
};

unsigned char fold(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

bool is_word_byte(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

size_t utf8_length(unsigned char lead) {
    if (lead >= 0xC0 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    return 1;
}

// The non-ASCII characters that part words: Unicode's punctuation, symbols
// and separators (general categories P*, S* and Z*) and the C1 controls, as
// Unicode 14.0 assigns them (Python 3.11's unicodedata). Word processors put
// them right against words: curly quotes, dashes, the no-break space,
// guillemets, the Arabic comma, CJK full stops. Letters, digits, marks,
// format characters (the soft hyphen and the zero-width joiners stand inside
// words) and unassigned code points belong to words.
struct code_range {
    char32_t first, last;
};
constexpr code_range NON_WORD[] = {
    {0x0080, 0x00A9},   {0x00AB, 0x00AC},   {0x00AE, 0x00B1},   {0x00B4, 0x00B4},
    {0x00B6, 0x00B8},   {0x00BB, 0x00BB},   {0x00BF, 0x00BF},   {0x00D7, 0x00D7},
    {0x00F7, 0x00F7},   {0x02C2, 0x02C5},   {0x02D2, 0x02DF},   {0x02E5, 0x02EB},
    {0x02ED, 0x02ED},   {0x02EF, 0x02FF},   {0x0375, 0x0375},   {0x037E, 0x037E},
    {0x0384, 0x0385},   {0x0387, 0x0387},   {0x03F6, 0x03F6},   {0x0482, 0x0482},
    {0x055A, 0x055F},   {0x0589, 0x058A},   {0x058D, 0x058F},   {0x05BE, 0x05BE},
    {0x05C0, 0x05C0},   {0x05C3, 0x05C3},   {0x05C6, 0x05C6},   {0x05F3, 0x05F4},
    {0x0606, 0x060F},   {0x061B, 0x061B},   {0x061D, 0x061F},   {0x066A, 0x066D},
    {0x06D4, 0x06D4},   {0x06DE, 0x06DE},   {0x06E9, 0x06E9},   {0x06FD, 0x06FE},
    {0x0700, 0x070D},   {0x07F6, 0x07F9},   {0x07FE, 0x07FF},   {0x0830, 0x083E},
    {0x085E, 0x085E},   {0x0888, 0x0888},   {0x0964, 0x0965},   {0x0970, 0x0970},
    {0x09F2, 0x09F3},   {0x09FA, 0x09FB},   {0x09FD, 0x09FD},   {0x0A76, 0x0A76},
    {0x0AF0, 0x0AF1},   {0x0B70, 0x0B70},   {0x0BF3, 0x0BFA},   {0x0C77, 0x0C77},
    {0x0C7F, 0x0C7F},   {0x0C84, 0x0C84},   {0x0D4F, 0x0D4F},   {0x0D79, 0x0D79},
    {0x0DF4, 0x0DF4},   {0x0E3F, 0x0E3F},   {0x0E4F, 0x0E4F},   {0x0E5A, 0x0E5B},
    {0x0F01, 0x0F17},   {0x0F1A, 0x0F1F},   {0x0F34, 0x0F34},   {0x0F36, 0x0F36},
    {0x0F38, 0x0F38},   {0x0F3A, 0x0F3D},   {0x0F85, 0x0F85},   {0x0FBE, 0x0FC5},
    {0x0FC7, 0x0FCC},   {0x0FCE, 0x0FDA},   {0x104A, 0x104F},   {0x109E, 0x109F},
    {0x10FB, 0x10FB},   {0x1360, 0x1368},   {0x1390, 0x1399},   {0x1400, 0x1400},
    {0x166D, 0x166E},   {0x1680, 0x1680},   {0x169B, 0x169C},   {0x16EB, 0x16ED},
    {0x1735, 0x1736},   {0x17D4, 0x17D6},   {0x17D8, 0x17DB},   {0x1800, 0x180A},
    {0x1940, 0x1940},   {0x1944, 0x1945},   {0x19DE, 0x19FF},   {0x1A1E, 0x1A1F},
    {0x1AA0, 0x1AA6},   {0x1AA8, 0x1AAD},   {0x1B5A, 0x1B6A},   {0x1B74, 0x1B7E},
    {0x1BFC, 0x1BFF},   {0x1C3B, 0x1C3F},   {0x1C7E, 0x1C7F},   {0x1CC0, 0x1CC7},
    {0x1CD3, 0x1CD3},   {0x1FBD, 0x1FBD},   {0x1FBF, 0x1FC1},   {0x1FCD, 0x1FCF},
    {0x1FDD, 0x1FDF},   {0x1FED, 0x1FEF},   {0x1FFD, 0x1FFE},   {0x2000, 0x200A},
    {0x2010, 0x2029},   {0x202F, 0x205F},   {0x207A, 0x207E},   {0x208A, 0x208E},
    {0x20A0, 0x20C0},   {0x2100, 0x2101},   {0x2103, 0x2106},   {0x2108, 0x2109},
    {0x2114, 0x2114},   {0x2116, 0x2118},   {0x211E, 0x2123},   {0x2125, 0x2125},
    {0x2127, 0x2127},   {0x2129, 0x2129},   {0x212E, 0x212E},   {0x213A, 0x213B},
    {0x2140, 0x2144},   {0x214A, 0x214D},   {0x214F, 0x214F},   {0x218A, 0x218B},
    {0x2190, 0x2426},   {0x2440, 0x244A},   {0x249C, 0x24E9},   {0x2500, 0x2775},
    {0x2794, 0x2B73},   {0x2B76, 0x2B95},   {0x2B97, 0x2BFF},   {0x2CE5, 0x2CEA},
    {0x2CF9, 0x2CFC},   {0x2CFE, 0x2CFF},   {0x2D70, 0x2D70},   {0x2E00, 0x2E2E},
    {0x2E30, 0x2E5D},   {0x2E80, 0x2E99},   {0x2E9B, 0x2EF3},   {0x2F00, 0x2FD5},
    {0x2FF0, 0x2FFB},   {0x3000, 0x3004},   {0x3008, 0x3020},   {0x3030, 0x3030},
    {0x3036, 0x3037},   {0x303D, 0x303F},   {0x309B, 0x309C},   {0x30A0, 0x30A0},
    {0x30FB, 0x30FB},   {0x3190, 0x3191},   {0x3196, 0x319F},   {0x31C0, 0x31E3},
    {0x3200, 0x321E},   {0x322A, 0x3247},   {0x3250, 0x3250},   {0x3260, 0x327F},
    {0x328A, 0x32B0},   {0x32C0, 0x33FF},   {0x4DC0, 0x4DFF},   {0xA490, 0xA4C6},
    {0xA4FE, 0xA4FF},   {0xA60D, 0xA60F},   {0xA673, 0xA673},   {0xA67E, 0xA67E},
    {0xA6F2, 0xA6F7},   {0xA700, 0xA716},   {0xA720, 0xA721},   {0xA789, 0xA78A},
    {0xA828, 0xA82B},   {0xA836, 0xA839},   {0xA874, 0xA877},   {0xA8CE, 0xA8CF},
    {0xA8F8, 0xA8FA},   {0xA8FC, 0xA8FC},   {0xA92E, 0xA92F},   {0xA95F, 0xA95F},
    {0xA9C1, 0xA9CD},   {0xA9DE, 0xA9DF},   {0xAA5C, 0xAA5F},   {0xAA77, 0xAA79},
    {0xAADE, 0xAADF},   {0xAAF0, 0xAAF1},   {0xAB5B, 0xAB5B},   {0xAB6A, 0xAB6B},
    {0xABEB, 0xABEB},   {0xFB29, 0xFB29},   {0xFBB2, 0xFBC2},   {0xFD3E, 0xFD4F},
    {0xFDCF, 0xFDCF},   {0xFDFC, 0xFDFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE52},
    {0xFE54, 0xFE66},   {0xFE68, 0xFE6B},   {0xFF01, 0xFF0F},   {0xFF1A, 0xFF20},
    {0xFF3B, 0xFF40},   {0xFF5B, 0xFF65},   {0xFFE0, 0xFFE6},   {0xFFE8, 0xFFEE},
    {0xFFFC, 0xFFFD},   {0x10100, 0x10102}, {0x10137, 0x1013F}, {0x10179, 0x10189},
    {0x1018C, 0x1018E}, {0x10190, 0x1019C}, {0x101A0, 0x101A0}, {0x101D0, 0x101FC},
    {0x1039F, 0x1039F}, {0x103D0, 0x103D0}, {0x1056F, 0x1056F}, {0x10857, 0x10857},
    {0x10877, 0x10878}, {0x1091F, 0x1091F}, {0x1093F, 0x1093F}, {0x10A50, 0x10A58},
    {0x10A7F, 0x10A7F}, {0x10AC8, 0x10AC8}, {0x10AF0, 0x10AF6}, {0x10B39, 0x10B3F},
    {0x10B99, 0x10B9C}, {0x10EAD, 0x10EAD}, {0x10F55, 0x10F59}, {0x10F86, 0x10F89},
    {0x11047, 0x1104D}, {0x110BB, 0x110BC}, {0x110BE, 0x110C1}, {0x11140, 0x11143},
    {0x11174, 0x11175}, {0x111C5, 0x111C8}, {0x111CD, 0x111CD}, {0x111DB, 0x111DB},
    {0x111DD, 0x111DF}, {0x11238, 0x1123D}, {0x112A9, 0x112A9}, {0x1144B, 0x1144F},
    {0x1145A, 0x1145B}, {0x1145D, 0x1145D}, {0x114C6, 0x114C6}, {0x115C1, 0x115D7},
    {0x11641, 0x11643}, {0x11660, 0x1166C}, {0x116B9, 0x116B9}, {0x1173C, 0x1173F},
    {0x1183B, 0x1183B}, {0x11944, 0x11946}, {0x119E2, 0x119E2}, {0x11A3F, 0x11A46},
    {0x11A9A, 0x11A9C}, {0x11A9E, 0x11AA2}, {0x11C41, 0x11C45}, {0x11C70, 0x11C71},
    {0x11EF7, 0x11EF8}, {0x11FD5, 0x11FF1}, {0x11FFF, 0x11FFF}, {0x12470, 0x12474},
    {0x12FF1, 0x12FF2}, {0x16A6E, 0x16A6F}, {0x16AF5, 0x16AF5}, {0x16B37, 0x16B3F},
    {0x16B44, 0x16B45}, {0x16E97, 0x16E9A}, {0x16FE2, 0x16FE2}, {0x1BC9C, 0x1BC9C},
    {0x1BC9F, 0x1BC9F}, {0x1CF50, 0x1CFC3}, {0x1D000, 0x1D0F5}, {0x1D100, 0x1D126},
    {0x1D129, 0x1D164}, {0x1D16A, 0x1D16C}, {0x1D183, 0x1D184}, {0x1D18C, 0x1D1A9},
    {0x1D1AE, 0x1D1EA}, {0x1D200, 0x1D241}, {0x1D245, 0x1D245}, {0x1D300, 0x1D356},
    {0x1D6C1, 0x1D6C1}, {0x1D6DB, 0x1D6DB}, {0x1D6FB, 0x1D6FB}, {0x1D715, 0x1D715},
    {0x1D735, 0x1D735}, {0x1D74F, 0x1D74F}, {0x1D76F, 0x1D76F}, {0x1D789, 0x1D789},
    {0x1D7A9, 0x1D7A9}, {0x1D7C3, 0x1D7C3}, {0x1D800, 0x1D9FF}, {0x1DA37, 0x1DA3A},
    {0x1DA6D, 0x1DA74}, {0x1DA76, 0x1DA83}, {0x1DA85, 0x1DA8B}, {0x1E14F, 0x1E14F},
    {0x1E2FF, 0x1E2FF}, {0x1E95E, 0x1E95F}, {0x1ECAC, 0x1ECAC}, {0x1ECB0, 0x1ECB0},
    {0x1ED2E, 0x1ED2E}, {0x1EEF0, 0x1EEF1}, {0x1F000, 0x1F02B}, {0x1F030, 0x1F093},
    {0x1F0A0, 0x1F0AE}, {0x1F0B1, 0x1F0BF}, {0x1F0C1, 0x1F0CF}, {0x1F0D1, 0x1F0F5},
    {0x1F10D, 0x1F1AD}, {0x1F1E6, 0x1F202}, {0x1F210, 0x1F23B}, {0x1F240, 0x1F248},
    {0x1F250, 0x1F251}, {0x1F260, 0x1F265}, {0x1F300, 0x1F6D7}, {0x1F6DD, 0x1F6EC},
    {0x1F6F0, 0x1F6FC}, {0x1F700, 0x1F773}, {0x1F780, 0x1F7D8}, {0x1F7E0, 0x1F7EB},
    {0x1F7F0, 0x1F7F0}, {0x1F800, 0x1F80B}, {0x1F810, 0x1F847}, {0x1F850, 0x1F859},
    {0x1F860, 0x1F887}, {0x1F890, 0x1F8AD}, {0x1F8B0, 0x1F8B1}, {0x1F900, 0x1FA53},
    {0x1FA60, 0x1FA6D}, {0x1FA70, 0x1FA74}, {0x1FA78, 0x1FA7C}, {0x1FA80, 0x1FA86},
    {0x1FA90, 0x1FAAC}, {0x1FAB0, 0x1FABA}, {0x1FAC0, 0x1FAC5}, {0x1FAD0, 0x1FAD9},
    {0x1FAE0, 0x1FAE7}, {0x1FAF0, 0x1FAF6}, {0x1FB00, 0x1FB92}, {0x1FB94, 0x1FBCA}};

bool parts_words(char32_t c) {
    const code_range *r =
        std::upper_bound(std::begin(NON_WORD), std::end(NON_WORD), c,
                         [](char32_t v, const code_range &e) { return v < e.first; });
    return r != std::begin(NON_WORD) && c <= (r - 1)->last;
}

// Whether the character of `n` bytes at `p` is no part of a word: an ASCII
// byte other than a letter or digit, or a non-ASCII character that parts
// words. Malformed bytes count as part of a word.
bool is_boundary(const unsigned char *p, size_t n) {
    if (p[0] < 0x80) return !is_word_byte(p[0]);
    std::optional<docx_utf8_char> c = docx_utf8_decode(p, p + n);
    return c && c->length == n && parts_words(c->code);
}

// One segment: consecutive nodes whose texts lie back to back in the
// paragraph's storage, so the segment's text is a plain slice of it.
class segment {
  public:
    segment(node_list *list, text_node *first, text_node *last) : list_(list), first_(first) {
        text_ = list->text_of(*first);
        size_ = (last - 1)->text_at + (last - 1)->text_len - first->text_at;
    }

    // Finds every match left to right and plans its edits; -1 after setting
    // the message.
    int search(const match_options &o, int *matches) {
        const size_t f = o.find.size();
        if (f == 0 || size_ < f) return 0;
        const auto *find = reinterpret_cast<const unsigned char *>(o.find.data());
        const unsigned char first = o.match_case ? find[0] : fold(find[0]);
        // The byte that folds to `first` besides itself, if any.
        const unsigned char other =
            !o.match_case && first >= 'a' && first <= 'z' ? first - ('a' - 'A') : first;
        for (size_t v = next_candidate(0, first, other); v + f <= size_;) {
            unsigned char c = text_[v];
            if ((o.match_case ? c : fold(c)) == first && equal_at(v, find, f, o.match_case) &&
                (!o.whole_word || on_boundaries(v, v + f))) {
                const size_t g = character_end(v + f);
                if (plan(v, g) != 0) return -1;
                ++*matches;
                v = g;
            } else {
                v += utf8_length(c);
            }
            v = next_candidate(v, first, other);
        }
        return 0;
    }

  private:
    // The character start from `v` on where a match may begin. A block of
    // ASCII, where every byte starts a character, is passed over 16 bytes at
    // a time; elsewhere every character is a candidate.
    size_t next_candidate(size_t v, unsigned char first, unsigned char other) const {
#if defined(__SSE2__)
        const auto *text = reinterpret_cast<const char *>(text_);
        while (v + 16 <= size_) {
            __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + v));
            if (_mm_movemask_epi8(block) != 0) break;
            int mask =
                _mm_movemask_epi8(_mm_or_si128(docx_eq16(text + v, static_cast<char>(first)),
                                               docx_eq16(text + v, static_cast<char>(other))));
            if (mask) return v + static_cast<size_t>(__builtin_ctz(mask));
            v += 16;
        }
#else
        (void)first;
        (void)other;
#endif
        return v;
    }

    bool equal_at(size_t v, const unsigned char *find, size_t f, bool match_case) const {
        if (match_case) return std::memcmp(text_ + v, find, f) == 0;
        for (size_t i = 0; i < f; ++i)
            if (fold(text_[v + i]) != fold(find[i])) return false;
        return true;
    }

    // A match that ends inside a character (a find string cut short, "caf\xC3"
    // in "café") takes the whole character, as it takes a whole reference:
    // the rest of the character alone would be no UTF-8.
    size_t character_end(size_t g) const {
        for (size_t left = 3; left > 0 && g < size_ && (text_[g] & 0xC0) == 0x80; --left) ++g;
        return g;
    }

    // Whether the segment's edge, or a character that parts words, lies on
    // each side of [v, g).
    bool on_boundaries(size_t v, size_t g) const {
        if (v > 0) {
            size_t lead = v - 1;  // back over at most three continuation bytes
            while (lead > 0 && v - lead < 4 && (text_[lead] & 0xC0) == 0x80) --lead;
            if (!is_boundary(text_ + lead, v - lead)) return false;
        }
        return g == size_ || is_boundary(text_ + g, std::min(utf8_length(text_[g]), size_ - g));
    }

    // The node holding segment byte `at`. Matches come left to right, so the
    // cursor only moves forward.
    text_node *node_at(size_t at) {
        while (at >= cursor_begin_ + cursor_->text_len) {
            cursor_begin_ += cursor_->text_len;
            ++cursor_;
        }
        return cursor_;
    }
    uint32_t local(size_t at) const {
        return static_cast<uint32_t>(at - cursor_begin_);
    }

    // Plans the match [v, g): the replacement replaces the matched bytes of
    // the node where it starts, and the matched bytes of the nodes after it
    // are deleted. Each byte's raw range covers a whole reference.
    int plan(size_t v, size_t g) {
        text_node *s = node_at(v);
        const uint32_t start = list_->raw_start(*s, local(v));
        text_node *e = node_at(g - 1);
        const uint32_t end = list_->raw_end(*e, local(g - 1));
        bool ok;
        if (s == e) {
            ok = list_->add_edit(s, start, end, true);
        } else {
            ok = list_->add_edit(s, start, s->raw_len(), true);
            for (text_node *j = s + 1; ok && j != e; ++j)
                if (j->raw_len() != 0 || j->text_len != 0)
                    ok = list_->add_edit(j, 0, j->raw_len(), false);
            ok = ok && list_->add_edit(e, 0, end, false);
        }
        return ok ? 0 : -1;
    }

    node_list *list_;
    text_node *first_;
    const unsigned char *text_;
    size_t size_;
    text_node *cursor_ = first_;
    size_t cursor_begin_ = 0;
};

// Searches every segment of the paragraph; -1 after setting the message.
int search_paragraph(node_list *list, const match_options &o, int *matches) {
    for (text_node *first = list->begin(); first != list->end();) {
        text_node *last = first + 1;
        while (last != list->end() && last->segment == first->segment) ++last;
        segment seg(list, first, last);
        if (seg.search(o, matches) != 0) return -1;
        first = last;
    }
    return 0;
}

// MARK: - Rewriting text elements

// The node's raw content with its edits applied, into `content`.
int build_content(const node_list &list, const text_node &n, string_view replacement,
                  docx_buf *content) {
    docx_buf_clear(content);
    uint32_t at = 0;
    const uint32_t raw = n.raw_len();
    const char *from = n.content_start();
    for (const node_edit &e : list.edits_of(n)) {
        if (e.start < at || e.end < e.start || e.end > raw) {
            docx_set_error("internal: overlapping replace edits");
            return -1;
        }
        docx_buf_append(content, from + at, e.start - at);
        if (e.insert) docx_buf_append_sv(content, replacement);
        at = e.end;
    }
    docx_buf_append(content, from + at, raw - at);
    return content->failed ? -1 : 0;  // the buffer has said "out of memory"
}

bool is_xml_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The element with its start tag as it was, xml:space="preserve" added where
// leading or trailing white space would otherwise be dropped by readers.
void write_text_element(const text_node &n, const docx_buf &content, docx_buf *out) {
    docx_buf_append(out, n.elem_start, static_cast<size_t>(n.open_end - n.elem_start));
    bool edge_space = is_xml_space(content.data[0]) || is_xml_space(content.data[content.len - 1]);
    if (edge_space && !docx_find_bytes(n.elem_start + 4, n.open_end, "xml:space"))
        docx_buf_append_cstr(out, " xml:space=\"preserve\"");
    docx_buf_append(out, ">", 1);
    docx_buf_append(out, content.data, content.len);
    docx_buf_append(out, "</w:t>", 6);
}

void copy_range(docx_buf *out, const char *from, const char *to) {
    if (to > from) docx_buf_append(out, from, static_cast<size_t>(to - from));
}

// Writes the paragraph [p, end) with the edits of its nodes applied. A text
// element left empty is dropped, and so is its run when the run held nothing
// else but run properties.
int write_paragraph(const char *p, const char *end, const node_list &list, string_view replacement,
                    docx_buf *content, docx_buf *out) {
    run_finder runs(p, end);
    const char *copied = p;
    for (const text_node &n : list) {
        if (n.edit_count == 0) continue;
        if (build_content(list, n, replacement, content) != 0) return -1;
        const char *from = n.elem_start;
        const char *to = n.elem_end();
        if (content->len == 0) {
            run_span run = runs.locate(n);
            if (run.sole) {
                from = run.start;
                to = run.end;
            }
        }
        if (from < copied) continue;
        copy_range(out, copied, from);
        if (content->len != 0) write_text_element(n, *content, out);
        copied = to;
    }
    copy_range(out, copied, end);
    return 0;
}

// MARK: - Document pass

// The state of one replace call.
struct replace_pass {
    match_options options;
    node_list nodes;
    docx_buf content;  // new content of one edited element
    docx_buf *out;
    int matches = 0;

    // Handles the paragraph [p, end): copied unchanged unless something in it
    // matched.
    int paragraph(const char *p, const char *end) {
        nodes.clear();
        int before = matches;
        if (scan_paragraph(p, end, &nodes) != 0 || search_paragraph(&nodes, options, &matches) != 0)
            return -1;
        if (matches == before) {
            copy_range(out, p, end);
            return 0;
        }
        return write_paragraph(p, end, nodes, options.replacement, &content, out);
    }

    // Copies the XML to `out` with every paragraph handled; malformed
    // paragraph markup ends the walk and the rest is copied as it stands.
    int run(const char *xml, const char *end) {
        const char *cur = xml;
        while (cur < end) {
            const char *p = docx_find_tag(cur, end, "w:p");
            const char *gt = p ? docx_find_byte(p, end, '>') : nullptr;
            if (!gt) break;
            copy_range(out, cur, p);
            if (gt[-1] == '/') {
                copy_range(out, p, gt + 1);
                cur = gt + 1;
                continue;
            }
            const char *close = docx_find_close(p + 1, end, "w:p");
            if (!close) {
                cur = p;
                break;
            }
            if (paragraph(p, close) != 0) return -1;
            if (out->failed) return -1;
            cur = close;
        }
        copy_range(out, cur, end);
        return out->failed ? -1 : 0;
    }
};

}  // namespace

int docx_replace_impl(const docx_doc *doc, const char *find, const char *replace,
                      const char *out_path, int *count, int match_case, int whole_word) {
    docx_buf escaped;
    docx_xml_escape(replace, &escaped);
    if (escaped.failed) return -1;
    docx_buf out;
    replace_pass pass{{find, escaped.view(), match_case != 0, whole_word != 0}, {}, {}, &out};
    const char *xml = doc->doc_xml.get();
    if (docx_buf_reserve(&out, doc->doc_len + 1) != 0) return -1;
    if (xml && pass.run(xml, xml + doc->doc_len) != 0) return -1;
    if (docx_zip_rewrite_document(doc->file_data.get(), doc->file_len, doc->doc_part.get(),
                                  out.data ? out.data : "", out.len, out_path) != 0)
        return -1;
    *count = pass.matches;
    return 0;
}
