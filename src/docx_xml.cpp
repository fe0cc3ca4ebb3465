// docx_xml.cpp -- scanning raw XML bytes for tags, element ends and attribute
// values, and converting text to and from XML character data.
//
// Nothing is parsed into a tree: every function works on a byte range
// [start, end) and never reads outside it.
#include <array>
#include <cctype>
#include <climits>
#include <cstring>

#include "docx_internal.h"

namespace {

bool is_name_end(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '/' || c == '>';
}

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Names are a few bytes long: a plain loop beats a call to memcmp.
bool same_bytes(const char *a, std::string_view b) {
    for (size_t i = 0; i < b.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

#if defined(__SSE2__)
// Bytes that may follow a tag name: white space and other controls, '/', '>'.
__m128i name_end16(const char *p) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i ctl = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
    return _mm_or_si128(ctl, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('/')),
                                          _mm_cmpeq_epi8(v, _mm_set1_epi8('>'))));
}

// 16 bits: which of the 16 positions from p could open "<name" (and, with
// `ends`, "</name"), judged by the first and last byte of the name and the
// byte after it.
template <bool ends>
int tag_candidates16(const char *p, std::string_view name) {
    size_t n = name.size();
    // '<' with the name's last byte where a start or an end tag holds it is
    // rare enough that most blocks stop at this test.
    __m128i last = docx_eq16(p + n, name.back());
    if (ends) last = _mm_or_si128(last, docx_eq16(p + n + 1, name.back()));
    if (!_mm_movemask_epi8(_mm_and_si128(docx_eq16(p, '<'), last))) return 0;
    __m128i open =
        _mm_and_si128(_mm_and_si128(docx_eq16(p + 1, name.front()), docx_eq16(p + n, name.back())),
                      name_end16(p + n + 1));
    if (ends) {
        __m128i close =
            _mm_and_si128(_mm_and_si128(docx_eq16(p + 1, '/'), docx_eq16(p + 2, name.front())),
                          _mm_and_si128(docx_eq16(p + n + 1, name.back()), name_end16(p + n + 2)));
        open = _mm_or_si128(open, close);
    }
    return _mm_movemask_epi8(_mm_and_si128(docx_eq16(p, '<'), open));
}

// Moves p block by block up to `last` and returns the candidates of the first
// block that has any, else 0.
template <bool ends>
int scan_blocks(const char *&p, const char *last, std::string_view name) {
    for (; p <= last; p += 16)
        if (int mask = tag_candidates16<ends>(p, name)) return mask;
    return 0;
}
#endif

// The next '<' at or after p that may open a tag of `name` (or, with `ends`,
// close one). Most of the text is passed over 16 bytes at a time; near the
// end every '<' is a candidate. Callers make the exact test.
const char *next_tag_candidate(const char *p, const char *end, std::string_view name, bool ends) {
#if defined(__SSE2__)
    const size_t reach = name.size() + 3 + 16;  // widest load: 16 bytes from p + n + 2
    if (!name.empty() && p < end && static_cast<size_t>(end - p) >= reach) {
        const char *last = end - reach;
        int mask = ends ? scan_blocks<true>(p, last, name) : scan_blocks<false>(p, last, name);
        if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    return docx_find_byte(p, end, '<');
}

const char *find_close(const char *start, const char *end, std::string_view name) {
    if (!start || start >= end) return nullptr;
    size_t n = name.size();
    int depth = 1;
    const char *cur = start;
    while (cur < end) {
        const char *p = next_tag_candidate(cur, end, name, true);
        if (!p) return nullptr;
        size_t r = static_cast<size_t>(end - p);
        if (r > n + 2 && p[1] == '/') {
            if (same_bytes(p + 2, name) && (p[2 + n] == '>' || is_space(p[2 + n]))) {
                if (--depth == 0) {
                    const char *gt = docx_find_byte(p, end, '>');
                    return gt ? gt + 1 : nullptr;
                }
                cur = p + 2;
            } else {
                cur = p + 1;
            }
            continue;
        }
        cur = p + 1;
        if (r > n + 1 && p[1] != '/' && p[1] != '!' && same_bytes(p + 1, name) &&
            (p[1 + n] == '/' || p[1 + n] == '>' || is_space(p[1 + n]))) {
            const char *gt = docx_find_byte(p, end, '>');
            if (gt && gt[-1] == '/')
                cur = gt + 1;
            else
                ++depth;
        }
    }
    return nullptr;
}

const char *element_end(const char *tag, const char *end, std::string_view name) {
    const char *gt = docx_find_byte(tag, end, '>');
    if (!gt) return nullptr;
    if (gt[-1] == '/') return gt + 1;
    return find_close(tag + 1, end, name);
}

// Skips "<!--...-->", "<![CDATA[...]]>", "<?...?>" and other "<!...>"
// declarations; null when unterminated.
const char *skip_markup(const char *p, const char *end) {
    struct markup {
        std::string_view open, close;
    };
    static constexpr markup kinds[] = {{"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}};
    markup m{"<!", ">"};
    for (const markup &k : kinds)
        if (docx_starts_with(p, end, k.open)) m = k;
    const char *c = docx_find_bytes(p + m.open.size(), end, m.close);
    return c ? c + m.close.size() : nullptr;
}

void append_utf8(docx_buf *out, unsigned long cp) {
    unsigned char b[3];
    size_t n;
    if (cp == 0 || cp >= 0x10000) return;
    if (cp < 0x80) {
        b[0] = static_cast<unsigned char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        b[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        n = 2;
    } else {
        b[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        b[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        n = 3;
    }
    docx_buf_append(out, b, n);
}

// strtoul semantics on a 32-bit value, reading no further than `end`.
unsigned long parse_code_point(const char *p, const char *end, int base) {
    while (p < end && is_space(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (base == 16 && end - p >= 3 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        std::isxdigit(static_cast<unsigned char>(p[2])))
        p += 2;
    unsigned long long v = 0;
    bool overflow = false;
    for (; p < end; ++p) {
        int c = static_cast<unsigned char>(*p), d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFull) overflow = true;
        if (overflow) v = 0xFFFFFFFFull;
    }
    if (overflow) return 0xFFFFFFFFul;
    unsigned long r = static_cast<unsigned long>(v);
    return negative ? static_cast<unsigned long>(-static_cast<uint32_t>(r)) & 0xFFFFFFFFul : r;
}

// Decodes the reference [amp, semi]; false when it is not one of ours.
bool decode_reference(const char *amp, const char *semi, docx_buf *out) {
    std::string_view ref(amp, static_cast<size_t>(semi - amp + 1));
    char c = 0;
    if (ref == "&amp;")
        c = '&';
    else if (ref == "&lt;")
        c = '<';
    else if (ref == "&gt;")
        c = '>';
    else if (ref == "&quot;")
        c = '"';
    else if (ref == "&apos;")
        c = '\'';
    if (c) {
        docx_buf_append(out, &c, 1);
        return true;
    }
    if (amp[1] != '#') return false;
    bool hex = amp[2] == 'x' || amp[2] == 'X';
    append_utf8(out, parse_code_point(amp + (hex ? 3 : 2), semi, hex ? 16 : 10));
    return true;
}

}  // namespace

// MARK: - Tag scanning

const char *docx_find_byte(const char *from, const char *end, char c) {
    if (from >= end) return nullptr;
    return static_cast<const char *>(std::memchr(from, c, static_cast<size_t>(end - from)));
}

// Needles such as "</w:body>" start with the most common byte of XML, so the
// first and the last but one bytes are tested 16 positions at a time, and the
// few blocks that hold both also the second and the last.
const char *docx_find_bytes(const char *from, const char *end, std::string_view needle) {
    const size_t n = needle.size();
    if (from >= end || n == 0 || static_cast<size_t>(end - from) < n) return nullptr;
    const char *p = from;
#if defined(__SSE2__)
    if (n >= 2 && static_cast<size_t>(end - p) >= n + 16) {
        for (const char *last = end - n - 16; p <= last; p += 16) {
            __m128i edges =
                _mm_and_si128(docx_eq16(p, needle[0]), docx_eq16(p + n - 2, needle[n - 2]));
            if (!_mm_movemask_epi8(edges)) continue;
            int mask = _mm_movemask_epi8(_mm_and_si128(
                edges,
                _mm_and_si128(docx_eq16(p + 1, needle[1]), docx_eq16(p + n - 1, needle[n - 1]))));
            for (; mask; mask &= mask - 1) {
                const char *c = p + __builtin_ctz(static_cast<unsigned>(mask));
                if (same_bytes(c, needle)) return c;
            }
        }
    }
#endif
    for (; static_cast<size_t>(end - p) >= n; ++p) {
        p = docx_find_byte(p, end - n + 1, needle[0]);
        if (!p) return nullptr;
        if (same_bytes(p, needle)) return p;
    }
    return nullptr;
}

const char *docx_find_tag(const char *start, const char *end, const char *name) {
    if (!start || start >= end) return nullptr;
    size_t n = std::strlen(name);
    std::string_view nm(name, n);
    for (const char *p = next_tag_candidate(start, end, nm, false); p;
         p = next_tag_candidate(p + 1, end, nm, false)) {
        if (static_cast<size_t>(end - p) <= n + 1) return nullptr;
        char c = p[1];
        if (c == '!' || c == '/' || c == '?') continue;
        if (same_bytes(p + 1, nm) && is_name_end(p[1 + n])) return p;
    }
    return nullptr;
}

const char *docx_find_close(const char *start, const char *end, const char *name) {
    return find_close(start, end, name);
}

const char *docx_element_end(const char *tag, const char *end, const char *name) {
    return element_end(tag, end, name);
}

// One tag at its '<', judged as docx_find_tag (opens) and docx_find_close
// (nests, closes) judge it, for callers that walk every tag once themselves.
bool docx_tag_opens(const char *p, const char *end, std::string_view name) {
    size_t n = name.size();
    return static_cast<size_t>(end - p) > n + 1 && p[1] != '!' && p[1] != '/' && p[1] != '?' &&
           same_bytes(p + 1, name) && is_name_end(p[1 + n]);
}

bool docx_tag_nests(const char *p, const char *end, std::string_view name) {
    size_t n = name.size();
    return static_cast<size_t>(end - p) > n + 1 && p[1] != '/' && p[1] != '!' &&
           same_bytes(p + 1, name) && (p[1 + n] == '/' || p[1 + n] == '>' || is_space(p[1 + n]));
}

bool docx_tag_closes(const char *p, const char *end, std::string_view name) {
    size_t n = name.size();
    return static_cast<size_t>(end - p) > n + 2 && p[1] == '/' && same_bytes(p + 2, name) &&
           (p[2 + n] == '>' || is_space(p[2 + n]));
}

int docx_attr_val(const char *tag, const char *end, const char *name, char *out, size_t out_size) {
    if (!tag || !end || !name || !out || out_size == 0) return -1;
    size_t n = std::strlen(name);
    if (n + 4 > 127) return -1;
    char pattern[128];
    std::memcpy(pattern, name, n);
    pattern[n] = '=';
    pattern[n + 1] = '"';
    out[0] = 0;
    if (tag >= end) return -1;
    const char *at = docx_find_bytes(tag, end, std::string_view(pattern, n + 2));
    if (!at) return -1;
    const char *v = at + n + 2;
    const char *q = docx_find_byte(v, end, '"');
    size_t len = static_cast<size_t>((q ? q : end) - v);
    if (len > out_size - 1) len = out_size - 1;
    std::memcpy(out, v, len);
    out[len] = 0;
    return 0;
}

int docx_body_range(const char *xml, size_t xml_len, const char **start, const char **end) {
    const char *xend = xml + xml_len;
    const char *b = docx_find_tag(xml, xend, "w:body");
    if (!b) return 0;
    const char *gt = docx_find_byte(b, xend, '>');
    if (!gt) return -1;
    *start = gt + 1;
    const char *close = docx_find_bytes(*start, xend, "</w:body>");
    *end = close ? close : xend;
    if (gt[-1] == '/') *end = *start;  // <w:body/> has no content
    return 1;
}

// The body's children up to its own final w:sectPr: only a w:sectPr that is a
// direct child of w:body ends the text, so the cut never falls inside a
// paragraph whose properties carry a section break.
int docx_body_inner_range(const char *xml, size_t xml_len, const char **start, size_t *len) {
    const char *end = xml + xml_len;
    const char *b = docx_find_tag(xml, end, "w:body");
    if (!b) {
        docx_set_error("no w:body in document");
        return -1;
    }
    const char *gt = docx_find_byte(b, end, '>');
    if (!gt) {
        docx_set_error("unclosed w:body");
        return -1;
    }
    const char *s = gt + 1;
    const char *cut = nullptr;
    const char *cur = gt[-1] == '/' ? nullptr : s;
    while (cur) {
        const char *p = docx_find_byte(cur, end, '<');
        if (!p || end - p < 2) break;
        if (p[1] == '/') {
            if (docx_starts_with(p, end, "</w:body>"))
                cut = cut ? cut : p;
            else
                break;  // a stray end tag: the body is malformed
            cur = nullptr;
            continue;
        }
        if (p[1] == '!' || p[1] == '?') {
            cur = skip_markup(p, end);
            continue;
        }
        const char *ne = p + 1;
        while (ne < end && !is_name_end(*ne)) ++ne;
        std::string_view name(p + 1, static_cast<size_t>(ne - p - 1));
        if (name.empty()) break;
        if (name == "w:sectPr") cut = p;
        cur = element_end(p, end, name);
    }
    if (!cut) {
        docx_set_error("unclosed w:body");
        return -1;
    }
    *start = s;
    *len = static_cast<size_t>(cut - s);
    return 0;
}

// MARK: - Escaping and entity decoding

namespace {

// What each ASCII byte becomes in character data: null where it stands for
// itself, "" for the control characters that XML 1.0 does not allow. One load
// per byte instead of a chain of tests.
constexpr std::array<const char *, 0x80> xml_escapes = [] {
    std::array<const char *, 0x80> t{};
    for (size_t c = 0; c < 0x20; ++c) t[c] = "";
    t['\t'] = t['\n'] = t['\r'] = nullptr;
    t['&'] = "&amp;";
    t['<'] = "&lt;";
    t['>'] = "&gt;";
    t['"'] = "&quot;";
    t['\''] = "&apos;";
    return t;
}();

}  // namespace

std::optional<docx_utf8_char> docx_utf8_decode(const unsigned char *p, const unsigned char *end) {
    if (p >= end) return std::nullopt;
    const unsigned char lead = *p;
    if (lead < 0x80) return docx_utf8_char{lead, 1};
    const size_t n = lead >= 0xF8 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (n == 0 || static_cast<size_t>(end - p) < n) return std::nullopt;
    static constexpr char32_t LEAD_BITS[] = {0, 0, 0x1F, 0x0F, 0x07};
    static constexpr char32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
    char32_t c = lead & LEAD_BITS[n];
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return std::nullopt;
        c = c << 6 | (p[i] & 0x3F);
    }
    if (c < SHORTEST[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    return docx_utf8_char{c, n};
}

void docx_xml_escape(const char *text, size_t len, docx_buf *out) {
    constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    const auto *end = p + len;
    const unsigned char *run = p;
    // Puts `rep` where the `n` bytes at p stood.
    auto put = [&](std::string_view rep, size_t n) {
        docx_buf_append(out, reinterpret_cast<const char *>(run), static_cast<size_t>(p - run));
        docx_buf_append(out, rep.data(), rep.size());
        p += n;
        run = p;
    };
    while (p < end) {
        if (*p < 0x80) {
            const char *rep = xml_escapes[*p];
            if (rep)
                put(rep, 1);
            else
                ++p;
            continue;
        }
        std::optional<docx_utf8_char> c = docx_utf8_decode(p, end);
        if (!c)
            put(REPLACEMENT, 1);
        else if (c->code == 0xFFFE || c->code == 0xFFFF)
            put(REPLACEMENT, c->length);
        else
            p += c->length;
    }
    docx_buf_append(out, reinterpret_cast<const char *>(run), static_cast<size_t>(end - run));
}

void docx_xml_decode_entities(const char *data, size_t len, docx_buf *out) {
    const char *end = data + len;
    const char *p = data;
    while (p < end) {
        const char *amp = docx_find_byte(p, end, '&');
        if (!amp) {
            docx_buf_append(out, p, static_cast<size_t>(end - p));
            return;
        }
        docx_buf_append(out, p, static_cast<size_t>(amp - p));
        const char *window = amp + 17 < end ? amp + 17 : end;
        const char *semi = docx_find_byte(amp + 1, window, ';');
        if (semi && decode_reference(amp, semi, out)) {
            p = semi + 1;
        } else {
            docx_buf_append(out, "&", 1);
            p = amp + 1;
        }
    }
}
