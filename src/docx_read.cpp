// docx_read.cpp -- rendering the body as Markdown or plain text, and the tables as JSON.
//
// Both walk the raw XML with the tag scanner and append straight to the
// caller's buffer, so a failed growth anywhere marks the result `failed`.
// Every scan moves forward from a cursor, and lookups that a walk repeats at
// each step remember their answer while it still lies ahead, so the cost stays
// linear in the size of the document.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <string_view>

#include "docx_internal.h"

namespace {

constexpr std::string_view PAGE_BREAK = "\n\n---\n\n";
constexpr std::string_view TEXT_END = "</w:t>";
constexpr std::string_view RULE_CELL = " --- |";  // a cell of a table's separator line

enum class render_mode { markdown, plain };

// An element as [its '<', one past its end).
struct element {
    const char *begin;
    const char *end;
};

void append(docx_buf *out, std::string_view s) {
    docx_buf_append_sv(out, s);
}

// Whether the '<' at p opens a start tag named `name`, by the rule of docx_find_tag.
bool tag_is(const char *p, const char *end, std::string_view name) {
    const size_t n = name.size();
    if (static_cast<size_t>(end - p) <= n + 1) return false;
    if (std::memcmp(p + 1, name.data(), n) != 0) return false;
    char c = p[1 + n];
    return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '/' || c == '>';
}

bool self_closing(const char *gt) {
    return gt[-1] == '/';
}

// The next `name` element in [from, end); false when there is none or its end
// tag is missing.
bool next_element(const char *from, const char *end, const char *name, element *el) {
    const char *tag = docx_find_tag(from, end, name);
    if (!tag) return false;
    const char *close = docx_find_close(tag + 1, end, name);
    if (!close) return false;
    *el = {tag, close};
    return true;
}

// Copies of text that readers do not show: the fallback of an
// mc:AlternateContent repeats its choice for older readers (Word writes each
// text box twice), and w:moveFrom keeps text that a tracked move put
// elsewhere.
constexpr std::string_view MC_FALLBACK = "mc:Fallback";
constexpr std::string_view MOVE_FROM = "w:moveFrom";

// The name of the hidden copy whose start tag is at p, else null.
const char *hidden_copy(const char *p, const char *end) {
    if (tag_is(p, end, MC_FALLBACK)) return MC_FALLBACK.data();
    if (tag_is(p, end, MOVE_FROM)) return MOVE_FROM.data();
    return nullptr;
}

constexpr std::string_view NO_BREAK_HYPHEN = "w:noBreakHyphen";

// A byte that tells a tag name apart, and where it lies from the '<'.
struct name_mark {
    int at;
    char c;
};

// The first '<' from p on that one of `marks` marks and `is_one` confirms.
// Most of the body is passed over 16 bytes at a time (marks lie within 8 bytes
// of the '<'); near the end every '<' is tested.
template <size_t N>
const char *next_marked(const char *p, const char *end, const name_mark (&marks)[N],
                        bool (*is_one)(const char *, const char *)) {
#if defined(__SSE2__)
    for (; end - p >= 16 + 8; p += 16) {
        __m128i any = docx_eq16(p + marks[0].at, marks[0].c);
        for (size_t i = 1; i < N; ++i)
            any = _mm_or_si128(any, docx_eq16(p + marks[i].at, marks[i].c));
        for (int mask = _mm_movemask_epi8(_mm_and_si128(docx_eq16(p, '<'), any)); mask;
             mask &= mask - 1) {
            const char *c = p + __builtin_ctz(static_cast<unsigned>(mask));
            if (is_one(c, end)) return c;
        }
    }
#endif
    for (; (p = docx_find_byte(p, end, '<')); ++p)
        if (is_one(p, end)) return p;
    return nullptr;
}

// Few bodies hold hidden copies or non-breaking hyphens, but a table cell
// must heed them. A walk over many cells finds them ahead in one pass, by the
// capital letter of each name ("<mc:F", "<w:moveF", "<w:noB"), instead of
// reading every tag of every cell; w:rFonts, which Word writes in most runs,
// is marked too and told apart by the exact test. The next start tag of one
// of them, else null.
constexpr name_mark RARE_MARKS[] = {{4, 'F'}, {7, 'F'}, {5, 'B'}};

bool is_rare(const char *p, const char *end) {
    return hidden_copy(p, end) || tag_is(p, end, NO_BREAK_HYPHEN);
}

const char *next_rare(const char *p, const char *end) {
    return next_marked(p, end, RARE_MARKS, is_rare);
}

// The tables walk looks for tables and hidden copies in one pass.
constexpr name_mark TABLE_OR_COPY_MARKS[] = {{5, 'l'}, {4, 'F'}, {7, 'F'}};

bool is_table_or_copy(const char *p, const char *end) {
    return tag_is(p, end, "w:tbl") || hidden_copy(p, end);
}

const char *next_run(const char *p, const char *end) {
    return docx_find_tag(p, end, "w:r");
}

// The next match of `find` in [cursor, end) for a cursor that only moves
// forward: a match found earlier answers while the cursor has not passed it,
// and "none" answers for good, so the walk scans its range once.
struct ahead {
    const char *(*find)(const char *from, const char *end);
    const char *end;
    const char *found = nullptr;
    bool exhausted = false;

    const char *from(const char *cursor) {
        if (!exhausted && (!found || found < cursor)) {
            found = find(cursor, end);
            exhausted = !found;
        }
        return found;
    }
};

// The next match of `target` from cur on that lies in no hidden copy; null
// when there is none or a hidden copy before it is unclosed. `rare` skips
// the non-breaking hyphens it finds on the way.
const char *next_shown(ahead &target, ahead &rare, const char *cur) {
    while (cur) {
        const char *t = target.from(cur);
        const char *r = rare.from(cur);
        if (!t || !r || t < r) return t;
        const char *hidden = hidden_copy(r, rare.end);
        cur = hidden ? docx_element_end(r, rare.end, hidden) : r + 1;
    }
    return nullptr;
}

// The character data of the w:t element whose start tag opens at t; a
// self-closing one has none. False when the element is cut short: the caller
// stops gathering there. `after` receives where scanning goes on.
bool text_element(const char *t, const char *end, std::string_view *text, const char **after) {
    const char *gt = docx_find_byte(t, end, '>');
    if (!gt) return false;
    *text = {};
    *after = gt + 1;
    if (self_closing(gt)) return true;
    const char *close = docx_find_bytes(gt + 1, end, TEXT_END);
    if (!close) return false;
    *text = std::string_view(gt + 1, static_cast<size_t>(close - gt - 1));
    *after = close + TEXT_END.size();
    return true;
}

void append_decoded(docx_buf *out, std::string_view text) {
    docx_xml_decode_entities(text.data(), text.size(), out);
}

bool is_page_break(const char *br, const char *gt) {
    char type[32] = "";
    docx_attr_val(br, gt, "w:type", type, sizeof type);
    return std::strcmp(type, "page") == 0;
}

// Whether texts before and after [from, to) are parted in a cell: the start
// or end of a paragraph, a tab or a break lies in between.
bool parts_cell_text(const char *from, const char *to) {
    for (const char *p = from; (p = docx_find_byte(p, to, '<')); ++p)
        if (tag_is(p, to, "w:p") || docx_tag_closes(p, to, "w:p") || tag_is(p, to, "w:tab") ||
            tag_is(p, to, "w:ptab") || tag_is(p, to, "w:br") || tag_is(p, to, "w:cr"))
            return true;
    return false;
}

// Appends the decoded text of every w:t in the cell, at any depth, and a
// hyphen for each non-breaking one, leaving out hidden copies: one space
// where a paragraph, tab or break parts two texts (also before an empty one),
// none between the runs of a paragraph, since Word splits words over runs.
// `rare` looks ahead for the rare elements over the whole walk.
void cell_plain_text(const char *cell, const char *cell_end, ahead &rare, docx_buf *out) {
    const size_t base = out->len;
    const char *last = nullptr;  // past the last text taken
    bool parted = false;
    for (const char *cur = cell; cur < cell_end;) {
        const char *t = docx_find_tag(cur, cell_end, "w:t");
        const char *r = rare.from(cur);
        const char *p = r && r < cell_end && (!t || r < t) ? r : t;
        if (!p) return;
        if (last && !parted) parted = parts_cell_text(last, p);
        std::string_view text;
        if (p == t) {
            if (!text_element(p, cell_end, &text, &cur)) return;
            if (!text.data()) continue;  // self-closing: no separator either
        } else if (const char *hidden = hidden_copy(p, cell_end)) {
            if (!(cur = docx_element_end(p, cell_end, hidden))) return;
            if (last) last = cur;
            continue;
        } else {
            text = "-";
            cur = p + 1;
        }
        if (parted && out->len > base) append(out, " ");
        parted = false;
        append_decoded(out, text);
        last = cur;
    }
}

// The value of a toggle property such as w:b, the tag from lt to gt: on
// unless its w:val is one of the "off" values of the on/off type.
bool toggle_on(const char *lt, const char *gt) {
    char val[16] = "";
    if (docx_attr_val(lt, gt, "w:val", val, sizeof val) != 0) return true;
    return std::strcmp(val, "0") != 0 && std::strcmp(val, "false") != 0 &&
           std::strcmp(val, "off") != 0;
}

// Whether the run property `name` (w:b, w:i) is switched on in `rpr`, the
// run's first w:rPr (null begin: none; null end: unclosed). Only direct
// formatting counts.
int run_has_flag(element rpr, const char *name) {
    if (!rpr.begin || !rpr.end) return 0;
    const char *flag = docx_find_tag(rpr.begin, rpr.end, name);
    if (!flag) return 0;
    const char *gt = docx_find_byte(flag, rpr.end, '>');
    return !gt || toggle_on(flag, gt);
}

// atoi's reading, saturated instead of overflowing.
int leading_int(const char *s) {
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) v = std::min(v * 10 + (*s - '0'), long{INT_MAX});
    return static_cast<int>(negative ? -v : v);
}

// 1 to 6 for a heading style ("Heading2", "heading 3", "Title"), else 0.
int heading_level(const char *style) {
    for (const char *prefix : {"Heading", "heading"}) {
        if (std::strncmp(style, prefix, 7) != 0) continue;
        int level = leading_int(style + 7);
        if (level >= 1 && level <= 6) return level;
    }
    return std::strcmp(style, "Title") == 0 ? 1 : 0;
}

// The w:val of the first w:pStyle in the paragraph's first w:pPr; "" when a
// piece is missing.
void paragraph_style(element para, char (&style)[128]) {
    style[0] = 0;
    const char *ppr = docx_find_tag(para.begin, para.end, "w:pPr");
    if (!ppr) return;
    const char *ppr_end = docx_find_close(ppr + 1, para.end, "w:pPr");
    if (!ppr_end) return;
    const char *pstyle = docx_find_tag(ppr, ppr_end, "w:pStyle");
    if (!pstyle) return;
    const char *gt = docx_find_byte(pstyle, ppr_end, '>');
    if (gt) docx_attr_val(pstyle, gt, "w:val", style, sizeof style);
}

struct render_ctx {
    render_mode mode;
    const char *body_end;
    docx_buf *out;
};

element rpr_at(const char *rpr, const char *run_end) {
    return {rpr, docx_find_close(rpr + 1, run_end, "w:rPr")};
}

// Properties hold no text; stepping over them keeps tab stops (w:tabs/w:tab
// of a nested paragraph's w:pPr) out of the run text. On the way the run's
// first w:rPr at any depth is noted in `rpr`, also one inside a w:pPr.
// Null: stop gathering.
const char *after_properties(const char *tag, const char *run_end, const char *name, element *rpr) {
    const char *gt = docx_find_byte(tag, run_end, '>');
    if (!gt) return nullptr;
    const bool is_rpr = name[2] == 'r';
    if (is_rpr && !rpr->begin) *rpr = rpr_at(tag, run_end);
    if (self_closing(gt)) return gt + 1;
    const char *close = rpr->begin == tag ? rpr->end : docx_find_close(tag + 1, run_end, name);
    if (!close) return gt + 1;
    if (!rpr->begin)
        if (const char *inner = docx_find_tag(tag, close, "w:rPr")) *rpr = rpr_at(inner, run_end);
    return close;
}

// What an element that stands for a character adds to the text: a tab for
// w:tab and w:ptab, a hyphen for w:noBreakHyphen; empty for other tags.
std::string_view char_element(const char *p, const char *end) {
    if (tag_is(p, end, "w:tab") || tag_is(p, end, "w:ptab")) return "\t";
    if (tag_is(p, end, "w:noBreakHyphen")) return "-";
    return {};
}

const char *properties_name(const char *p, const char *end) {
    if (tag_is(p, end, "w:rPr")) return "w:rPr";
    if (tag_is(p, end, "w:pPr")) return "w:pPr";
    return nullptr;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

bool is_indent(char c) {
    return c == ' ' || c == '\t';
}

// The text of a nested paragraph (a text box) and the text around it are
// parted by one space: `parted` tells that a nested paragraph started or ended
// since the last text, and the space goes before the `next` text unless white
// space is there already.
void part_nested(docx_buf *out, bool &parted, std::string_view next) {
    if (!parted || next.empty()) return;
    parted = false;
    if (out->len > 0 && !is_blank(next[0]) && !is_blank(out->data[out->len - 1])) append(out, " ");
}

// Appends the run's text, breaks and tabs in document order, in one pass that
// also finds the run's first w:rPr; `parted` carries the edges of nested
// paragraphs from run to run. Returns where the gathering stopped: the run's
// end, or the malformed element that cut it short.
const char *gather_run_text(element run, docx_buf *out, element *rpr, bool &parted) {
    const char *end = run.end;
    const char *cur = run.begin + 1;
    while (const char *p = docx_find_byte(cur, end, '<')) {
        const char *gt = nullptr;
        if (tag_is(p, end, "w:t")) {
            std::string_view text;
            if (!text_element(p, end, &text, &cur)) return p;
            part_nested(out, parted, text);
            append_decoded(out, text);
        } else if (tag_is(p, end, "w:br") || tag_is(p, end, "w:cr")) {
            if (!(gt = docx_find_byte(p, end, '>'))) return p;
            append(out, is_page_break(p, gt) ? PAGE_BREAK : "\n");
            cur = gt + 1;
        } else if (std::string_view c = char_element(p, end); !c.empty()) {
            part_nested(out, parted, c);
            append(out, c);
            if (!(gt = docx_find_byte(p, end, '>'))) return p;
            cur = gt + 1;
        } else if (tag_is(p, end, "w:p") || docx_tag_closes(p, end, "w:p")) {
            parted = true;
            cur = p + 1;
        } else if (const char *props = properties_name(p, end)) {
            if (!(cur = after_properties(p, end, props, rpr))) return p;
        } else if (const char *hidden = hidden_copy(p, end)) {
            if (!(cur = docx_element_end(p, end, hidden))) return p;
        } else {
            cur = p + 1;
        }
    }
    return end;
}

std::string_view emphasis_marker(bool bold, bool italic) {
    return bold && italic ? "***" : bold ? "**" : italic ? "*" : "";
}

std::string_view emphasis(element rpr) {
    return emphasis_marker(run_has_flag(rpr, "w:b"), run_has_flag(rpr, "w:i"));
}

// Drops the bytes from `len` on.
void truncate(docx_buf *out, size_t len) {
    out->len = len;
    if (out->data) out->data[len] = 0;
}

// Puts `s` in front of the bytes from `at` on; false when memory is short.
bool insert(docx_buf *out, size_t at, std::string_view s) {
    const size_t tail = out->len - at;
    if (s.empty()) return true;
    if (docx_buf_append_sv(out, s) != 0) return false;
    std::memmove(out->data + at + s.size(), out->data + at, tail);
    std::memcpy(out->data + at, s.data(), s.size());
    return true;
}

// MARK: - Emphasis markers

// Markdown readers take a marker next to white space for text, and read the
// inner markers of "**a****b**" as text too. So white space at either end of
// a run stays outside its markers, a run of nothing but white space gets none,
// and a run with the emphasis of the last marked run, with only white space
// between them, goes on inside that run's markers.
struct emphasis_span {
    size_t close_at = 0;      // where the last closing marker starts
    std::string_view marker;  // that marker; empty: nothing to go on from
    size_t blank_to = 0;      // the bytes after it up to here are white space
};

// Drops `n` bytes at `at`.
void erase(docx_buf *out, size_t at, size_t n) {
    std::memmove(out->data + at, out->data + at + n, out->len - at - n);
    truncate(out, out->len - n);
}

// Whether the last marked run has `marker` and only white space follows it up
// to `to`. White space already seen is not looked at again.
bool goes_on(const docx_buf *out, emphasis_span &last, std::string_view marker, size_t to) {
    if (last.marker.size() != marker.size()) return false;  // one, two or three asterisks
    while (last.blank_to < to && is_blank(out->data[last.blank_to])) ++last.blank_to;
    if (last.blank_to >= to) return true;
    last.marker = {};
    return false;
}

// The length of the white space character that s starts with, or 0: Markdown
// readers count the no-break space and the other Unicode space separators too.
size_t leading_space(std::string_view s) {
    if (s.empty()) return 0;
    if (static_cast<unsigned char>(s[0]) < 0x80) return is_blank(s[0]) ? 1 : 0;
    auto byte = [s](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
    switch (byte(0)) {
        case 0xC2:  // U+00A0
            return byte(1) == 0xA0 ? 2 : 0;
        case 0xE1:  // U+1680
            return byte(1) == 0x9A && byte(2) == 0x80 ? 3 : 0;
        case 0xE2:  // U+2000 to U+200A, U+202F, U+205F
            if (byte(1) == 0x80)
                return (byte(2) >= 0x80 && byte(2) <= 0x8A) || byte(2) == 0xAF ? 3 : 0;
            return byte(1) == 0x81 && byte(2) == 0x9F ? 3 : 0;
        case 0xE3:  // U+3000
            return byte(1) == 0x80 && byte(2) == 0x80 ? 3 : 0;
        default:
            return 0;
    }
}

// The same for the character that s ends with.
size_t trailing_space(std::string_view s) {
    if (s.empty()) return 0;
    if (static_cast<unsigned char>(s.back()) < 0x80) return is_blank(s.back()) ? 1 : 0;
    for (size_t n : {2, 3})
        if (s.size() >= n && leading_space(s.substr(s.size() - n)) == n) return n;
    return 0;
}

// Marks the text in [begin, end) with `marker`; returns where it ends then.
// `opened`: the opening marker went out ahead of the text, at `begin`, which
// spares moving the text in the common case.
size_t mark_piece(docx_buf *out, size_t begin, size_t end, std::string_view marker, bool opened,
                  emphasis_span &last) {
    const size_t n = marker.size();
    const size_t at = opened ? begin + n : begin;
    std::string_view piece(out->data + at, end - at);
    while (size_t k = leading_space(piece)) piece.remove_prefix(k);
    if (piece.empty()) {
        if (!opened) return end;
        erase(out, begin, n);
        return end - n;
    }
    while (size_t k = trailing_space(piece)) piece.remove_suffix(k);
    size_t text = static_cast<size_t>(piece.data() - out->data);
    size_t text_end = text + piece.size();
    const bool joined = goes_on(out, last, marker, begin);
    if (opened && joined) {
        erase(out, begin, n);
        text -= n;
        text_end -= n;
        end -= n;
    } else if (opened && text > at) {  // the marker goes behind the leading white space
        std::memmove(out->data + begin, out->data + at, text - at);
        std::memcpy(out->data + text - n, marker.data(), n);
    }
    if (joined) {
        erase(out, last.close_at, n);
        text_end -= n;
        end -= n;
    } else if (!opened) {
        if (!insert(out, text, marker)) return end;
        text_end += n;
        end += n;
    }
    if (text_end == out->len)
        append(out, marker);
    else
        insert(out, text_end, marker);
    last = {text_end, marker, text_end + n};
    return end + n;
}

// Marks the run text from `from` on with `marker`, `opened` as above. A
// thematic break cannot lie inside emphasis, so the text on each side of a
// page break is marked apart; the pieces go back one after another, which
// keeps the cost linear in them.
void emphasize(docx_buf *out, size_t from, std::string_view marker, bool opened,
               emphasis_span &last) {
    if (out->failed) return;
    if (out->view().find(PAGE_BREAK, from) == std::string_view::npos) {
        mark_piece(out, from, out->len, marker, opened, last);
        return;
    }
    const size_t at = opened ? from + marker.size() : from;
    docx_buf text;
    append(&text, out->view().substr(at));
    if (text.failed) {
        out->failed = true;
        return;
    }
    truncate(out, from);
    for (size_t cur = 0; !out->failed;) {
        const size_t brk = text.view().find(PAGE_BREAK, cur);
        const size_t begin = out->len;
        append(out, text.view().substr(cur, brk - cur));
        mark_piece(out, begin, out->len, marker, false, last);
        if (brk == std::string_view::npos) return;
        append(out, PAGE_BREAK);
        cur = brk + PAGE_BREAK.size();
    }
}

// `parted`: a nested paragraph started or ended since the paragraph's last text.
void render_run(const render_ctx &ctx, element run, bool &parted, emphasis_span &span) {
    docx_buf *out = ctx.out;
    const size_t text_start = out->len;
    element rpr{nullptr, nullptr};
    const char *stop = gather_run_text(run, out, &rpr, parted);
    if (ctx.mode != render_mode::markdown || out->len == text_start) return;
    if (!rpr.begin)
        if (const char *later = docx_find_tag(stop, run.end, "w:rPr")) rpr = rpr_at(later, run.end);
    std::string_view marker = emphasis(rpr);
    if (!marker.empty()) emphasize(out, text_start, marker, false, span);
}

// A w:br outside any run counts only as a page break. Null: the runs are done.
const char *paragraph_break(const render_ctx &ctx, const char *cur, const char *para_end) {
    const char *br = docx_find_tag(cur, para_end, "w:br");
    if (!br) return nullptr;
    const char *gt = docx_find_byte(br, para_end, '>');
    if (!gt) return nullptr;
    if (is_page_break(br, gt)) append(ctx.out, PAGE_BREAK);
    return gt + 1;
}

void render_runs(const render_ctx &ctx, element para) {
    ahead runs{next_run, para.end};
    ahead rare{next_rare, para.end};
    bool parted = false;
    emphasis_span span;
    const char *cur = para.begin;
    while (cur && cur < para.end) {
        const char *run = next_shown(runs, rare, cur);
        if (!run) {
            cur = paragraph_break(ctx, cur, para.end);
            continue;
        }
        const char *run_end = docx_find_close(run + 1, para.end, "w:r");
        if (!run_end) {
            const char *gt = docx_find_byte(run, para.end, '>');
            if (!gt || !self_closing(gt)) return;
            cur = gt + 1;
            continue;
        }
        render_run(ctx, {run, run_end}, parted, span);
        cur = run_end;
    }
}

// MARK: - One pass over a plainly nested paragraph

// What Word writes is plainly nested: every '<' in a paragraph opens a start
// or end tag whose name ends in white space, '/' or '>', each tag ends at a
// '>' before the next '<', and end tags match their start tags. There the
// rules of the general walk above come down to one forward pass over the tags:
// - a run is an outermost w:r that is not self-closing; its text comes from
//   its w:t, w:br and w:tab elements in order, leaving out what lies in
//   property elements (w:rPr, w:pPr); its emphasis from its first w:rPr;
// - the style is the first w:pStyle in the paragraph's first w:pPr;
// - a page break outside runs counts only when no w:r start tag follows it.
// A w:t in a run must hold text alone and end with exactly "</w:t>", the end
// the general walk looks for. Anything else ends the pass, and the general
// walk renders the paragraph again from its start.

constexpr int MAX_NESTING = 128;

enum class tag_kind : unsigned char {
    other,
    p,
    r,
    t,
    b,
    i,
    br,
    tab,
    hyphen,
    rpr,
    ppr,
    pstyle,
    hidden
};

// Names are a few bytes long: a plain loop beats a call to memcmp.
bool same_name(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && same_name(a.data(), b.data(), a.size());
}

tag_kind kind_of(std::string_view name) {
    if (name.size() < 3) return tag_kind::other;
    if (name[0] != 'w' || name[1] != ':')
        return same_name(name, "mc:Fallback") ? tag_kind::hidden : tag_kind::other;
    std::string_view local(name.data() + 2, name.size() - 2);
    if (local.size() == 1) {
        switch (local[0]) {
            case 'p':
                return tag_kind::p;
            case 'r':
                return tag_kind::r;
            case 't':
                return tag_kind::t;
            case 'b':
                return tag_kind::b;
            case 'i':
                return tag_kind::i;
        }
        return tag_kind::other;
    }
    // A carriage return is a line break, a positional tab a tab.
    if (same_name(local, "br") || same_name(local, "cr")) return tag_kind::br;
    if (same_name(local, "tab") || same_name(local, "ptab")) return tag_kind::tab;
    if (same_name(local, "noBreakHyphen")) return tag_kind::hyphen;
    if (same_name(local, "rPr")) return tag_kind::rpr;
    if (same_name(local, "pPr")) return tag_kind::ppr;
    if (same_name(local, "pStyle")) return tag_kind::pstyle;
    if (same_name(local, "moveFrom")) return tag_kind::hidden;
    return tag_kind::other;
}

// The first byte a or b in [p, end), 16 bytes at a time.
const char *find_either(const char *p, const char *end, char a, char b) {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a);
    const __m128i vb = _mm_set1_epi8(b);
    for (; end - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)));
        if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; p < end; ++p)
        if (*p == a || *p == b) return p;
    return nullptr;
}

// The first '<' in [p, end). Between tags there is mostly nothing at all.
const char *next_lt(const char *p, const char *end) {
    return p < end && *p == '<' ? p : find_either(p, end, '<', '<');
}

// The '>' that ends a tag whose name ends at ne; null when a '<' comes first.
const char *tag_close(const char *ne, const char *end) {
    if (*ne == '>') return ne;
    const char *gt = find_either(ne, end, '<', '>');
    return gt && *gt == '>' ? gt : nullptr;
}

bool is_name_char(char c) {
    return static_cast<unsigned char>(c) > ' ' && c != '/' && c != '>' && c != '<';
}

// The first byte at or after p that cannot belong to a tag name: white space
// and other controls, '/', '>', '<'. One compare finds it for most names.
const char *name_end(const char *p, const char *end) {
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i stop =
            _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(' ')), v),
                         _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('/')),
                                      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('>')),
                                                   _mm_cmpeq_epi8(v, _mm_set1_epi8('<')))));
        if (int mask = _mm_movemask_epi8(stop))
            return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    while (p < end && is_name_char(*p)) ++p;
    return p;
}

struct tag {
    const char *lt = nullptr;
    const char *gt = nullptr;
    std::string_view name;
    tag_kind kind = tag_kind::other;
    bool end = false;    // "</name>"
    bool empty = false;  // "<name/>"
};

// The tag whose '<' is at lt; false unless it is a plain start or end tag.
bool read_tag(const char *lt, const char *end, tag *t) {
    const char *name = lt + 1;
    const bool is_end = name < end && *name == '/';
    if (is_end) ++name;
    const char *ne = name_end(name, end);
    if (ne == name || ne == end || *name == '!' || *name == '?') return false;
    const char c = *ne;
    if (c != '\t' && c != '\n' && c != '\r' && c != ' ' && c != '>' && (is_end || c != '/'))
        return false;
    const char *gt = tag_close(ne, end);
    if (!gt) return false;
    t->lt = lt;
    t->gt = gt;
    t->name = std::string_view(name, static_cast<size_t>(ne - name));
    t->kind = kind_of(t->name);
    t->end = is_end;
    t->empty = !is_end && gt[-1] == '/';
    return true;
}

// Emphasis of the run being rendered, known once its first w:rPr has ended.
struct run_state {
    size_t text_start = 0;
    int depth = -1;       // of the w:r element; -1: outside runs
    int skip_depth = -1;  // of the property element being left out
    int rpr_depth = -1;   // of the first w:rPr while inside it
    bool rpr_seen = false;
    bool bold_seen = false;
    bool italic_seen = false;
    bool bold = false;
    bool italic = false;
    bool opened = false;  // the marker went out ahead of the text

    std::string_view marker() const { return emphasis_marker(bold, italic); }
};

class paragraph_pass {
  public:
    explicit paragraph_pass(const render_ctx &ctx) : ctx_(ctx), start_(ctx.out->len) {}

    // Renders the paragraph at p; returns its end, or null (nothing appended)
    // when it is not plainly nested.
    const char *render(const char *p) {
        const char *end = walk(p);
        if (!end) truncate(ctx_.out, start_);
        return end;
    }

  private:
    const char *walk(const char *p) {
        const char *limit = ctx_.body_end;
        tag t;
        // A self-closing w:p ends at its own tag.
        for (const char *cur = p; (cur = next_lt(cur, limit)) && read_tag(cur, limit, &t);) {
            cur = t.gt + 1;
            if (!(t.end ? close(t) : open(t, &cur))) return nullptr;
            if (depth_ == 0) {
                finish();
                return cur;
            }
        }
        return nullptr;
    }

    bool open(const tag &t, const char **cur) {
        if (hidden_depth_ >= 0) return push(t);
        if (t.kind == tag_kind::hidden && !t.empty) {
            hidden_depth_ = depth_;
            return push(t);
        }
        if (t.kind == tag_kind::p && depth_ > 0) parted_ = true;
        if (markdown()) note_style(t);
        if (run_.depth < 0)
            between_runs(t);
        else if (!in_run(t, cur))
            return false;
        if (t.kind == tag_kind::t && run_.depth >= 0 && run_.skip_depth < 0) return true;
        return push(t);
    }

    bool push(const tag &t) {
        if (t.empty) return true;
        if (depth_ == MAX_NESTING) return false;
        open_[depth_++] = {t.name.data(), t.name.size()};
        return true;
    }

    bool close(const tag &t) {
        if (depth_ == 0 || !(open_[depth_ - 1] == t.name)) return false;
        --depth_;
        if (hidden_depth_ >= 0) {
            if (depth_ == hidden_depth_) hidden_depth_ = -1;
            return true;
        }
        if (t.kind == tag_kind::p && depth_ > 0) parted_ = true;
        if (depth_ == ppr_depth_) style_done_ = true;
        if (run_.depth < 0) return true;
        if (depth_ == run_.rpr_depth) emphasis_known();
        if (depth_ == run_.skip_depth) run_.skip_depth = -1;
        if (depth_ == run_.depth) finish_run();
        return true;
    }

    bool markdown() const { return ctx_.mode == render_mode::markdown; }

    // The style of the first w:pPr. The heading prefix waits for the end of
    // the paragraph when text or an open run came first.
    void note_style(const tag &t) {
        if (style_done_) return;
        if (ppr_depth_ < 0) {
            if (t.kind != tag_kind::ppr) return;
            if (t.empty)
                style_done_ = true;
            else
                ppr_depth_ = depth_;
            return;
        }
        if (t.kind != tag_kind::pstyle) return;
        style_done_ = true;
        char style[128] = "";
        docx_attr_val(t.lt, t.gt, "w:val", style, sizeof style);
        level_ = heading_level(style);
        if (level_ && run_.depth < 0 && ctx_.out->len == start_) put_heading();
    }

    void put_heading() {
        char prefix[] = "###### ";
        insert(ctx_.out, start_,
               std::string_view(prefix + 6 - level_, static_cast<size_t>(level_) + 1));
        level_ = 0;
    }

    void between_runs(const tag &t) {
        if (t.kind == tag_kind::br) {
            if (is_page_break(t.lt, t.gt)) ++trailing_breaks_;
        } else if (t.kind == tag_kind::r) {
            trailing_breaks_ = 0;
            if (!t.empty) {
                run_ = run_state{};
                run_.depth = depth_;
                run_.text_start = ctx_.out->len;
            }
        }
    }

    bool in_run(const tag &t, const char **cur) {
        if (markdown()) note_emphasis(t);
        if (run_.skip_depth >= 0) return true;
        switch (t.kind) {
            case tag_kind::t:
                return t.empty || run_text(t, cur);
            case tag_kind::br:
                append(ctx_.out, is_page_break(t.lt, t.gt) ? PAGE_BREAK : "\n");
                return true;
            case tag_kind::tab:
                append(ctx_.out, "\t");
                return true;
            case tag_kind::hyphen:
                part_nested(ctx_.out, parted_, "-");
                append(ctx_.out, "-");
                return true;
            case tag_kind::rpr:
            case tag_kind::ppr:
                if (!t.empty) run_.skip_depth = depth_;
                return true;
            default:
                return true;
        }
    }

    // The text of the w:t at t up to its "</w:t>", which must come next. Text
    // without references is copied as it stands.
    bool run_text(const tag &t, const char **cur) {
        const char *limit = ctx_.body_end;
        const char *text = t.gt + 1;
        const char *close = find_either(text, limit, '<', '&');
        const bool plain = close && *close == '<';
        if (!plain) close = next_lt(close ? close : limit, limit);
        if (!close || static_cast<size_t>(limit - close) < TEXT_END.size() ||
            !same_name(close, TEXT_END.data(), TEXT_END.size()))
            return false;
        std::string_view s(text, static_cast<size_t>(close - text));
        part_nested(ctx_.out, parted_, s);
        if (plain)
            append(ctx_.out, s);
        else
            append_decoded(ctx_.out, s);
        *cur = close + TEXT_END.size();
        return true;
    }

    void note_emphasis(const tag &t) {
        if (!run_.rpr_seen) {
            if (t.kind != tag_kind::rpr) return;
            run_.rpr_seen = true;
            if (!t.empty) run_.rpr_depth = depth_;
            return;
        }
        if (run_.rpr_depth < 0) return;
        if (t.kind == tag_kind::b && !run_.bold_seen) {
            run_.bold_seen = true;
            run_.bold = toggle_on(t.lt, t.gt);
        } else if (t.kind == tag_kind::i && !run_.italic_seen) {
            run_.italic_seen = true;
            run_.italic = toggle_on(t.lt, t.gt);
        }
    }

    // The marker goes out ahead of the text when it is known before any text.
    void emphasis_known() {
        run_.rpr_depth = -1;
        if (ctx_.out->len != run_.text_start) return;
        run_.opened = !run_.marker().empty();
        append(ctx_.out, run_.marker());
    }

    void finish_run() {
        std::string_view marker = run_.marker();
        if (!marker.empty()) emphasize(ctx_.out, run_.text_start, marker, run_.opened, emphasis_);
        run_.depth = -1;
    }

    void finish() {
        for (int i = 0; i < trailing_breaks_; ++i) append(ctx_.out, PAGE_BREAK);
        if (level_) put_heading();
        append(ctx_.out, "\n");
    }

    const render_ctx &ctx_;
    const size_t start_;
    // Names of the open elements; left uninitialised, only [0, depth_) is read.
    struct name_ref {
        const char *data;
        size_t size;
        bool operator==(std::string_view s) const { return same_name({data, size}, s); }
    } open_[MAX_NESTING];
    int depth_ = 0;
    int hidden_depth_ = -1;  // of the hidden copy being left out
    bool parted_ = false;    // a nested paragraph started or ended since the last text
    int ppr_depth_ = -1;     // of the first w:pPr
    bool style_done_ = false;
    int level_ = 0;  // a heading prefix still to put in front
    int trailing_breaks_ = 0;
    run_state run_;
    emphasis_span emphasis_;
};

// Where the walk goes on after the paragraph at p; null stops the rendering.
const char *render_paragraph_text(const render_ctx &ctx, const char *p) {
    if (const char *end = paragraph_pass(ctx).render(p)) return end;
    docx_buf *out = ctx.out;
    const char *gt = docx_find_byte(p, ctx.body_end, '>');
    if (gt && self_closing(gt)) {
        append(out, "\n");
        return gt + 1;
    }
    const char *para_end = docx_find_close(p + 1, ctx.body_end, "w:p");
    if (!para_end) return nullptr;
    element para{p, para_end};
    if (ctx.mode == render_mode::markdown) {
        char style[128];
        paragraph_style(para, style);
        if (int level = heading_level(style)) {
            append(out, std::string_view("######", static_cast<size_t>(level)));
            append(out, " ");
        }
    }
    render_runs(ctx, para);
    append(out, "\n");
    return para_end;
}

// Markdown readers take a line that starts with a tab or four spaces after a
// blank line or a heading for code, and show no indentation elsewhere: the
// spaces and tabs that start a line of the paragraph from `from` on go.
void drop_indents(docx_buf *out, size_t from) {
    for (size_t line = from; line < out->len;) {
        size_t blanks = 0;
        while (line + blanks < out->len && is_indent(out->data[line + blanks])) ++blanks;
        if (blanks) erase(out, line, blanks);
        const void *nl = std::memchr(out->data + line, '\n', out->len - line);
        if (!nl) return;
        line = static_cast<size_t>(static_cast<const char *>(nl) - out->data) + 1;
    }
}

const char *render_paragraph(const render_ctx &ctx, const char *p) {
    const size_t start = ctx.out->len;
    const char *end = render_paragraph_text(ctx, p);
    if (ctx.mode == render_mode::markdown) drop_indents(ctx.out, start);
    return end;
}

// The grid columns a cell spans: the w:gridSpan of its own w:tcPr (the
// cell's first child), 1 without one. Word allows 63 columns.
size_t grid_span(element cell) {
    const char *gt = docx_find_byte(cell.begin, cell.end, '>');
    const char *props = gt && !self_closing(gt) ? next_lt(gt + 1, cell.end) : nullptr;
    if (!props || !tag_is(props, cell.end, "w:tcPr")) return 1;
    const char *props_end = docx_find_close(props + 1, cell.end, "w:tcPr");
    const char *span = props_end ? docx_find_tag(props, props_end, "w:gridSpan") : nullptr;
    const char *span_gt = span ? docx_find_byte(span, props_end, '>') : nullptr;
    char val[16] = "";
    if (!span_gt || docx_attr_val(span, span_gt, "w:val", val, sizeof val) != 0) return 1;
    return static_cast<size_t>(std::clamp(leading_int(val), 1, 63));
}

// Renders one row and returns its number of columns. An empty cell keeps its
// column in both modes, and a cell spanning several columns is followed by
// empty ones, so that the cells after it stay in their columns. `rare` looks
// ahead over the table.
size_t render_row(const render_ctx &ctx, element row, ahead &rare) {
    docx_buf *out = ctx.out;
    const bool markdown = ctx.mode == render_mode::markdown;
    if (markdown) append(out, "|");
    size_t cells = 0;
    element cell;
    for (const char *cur = row.begin; next_element(cur, row.end, "w:tc", &cell); cur = cell.end) {
        if (markdown)
            append(out, " ");
        else if (cells > 0)
            append(out, "\t");
        cell_plain_text(cell.begin, cell.end, rare, out);
        if (markdown) append(out, " |");
        ++cells;
        for (size_t more = grid_span(cell); more > 1; --more, ++cells)
            append(out, markdown ? "  |" : "\t");
    }
    append(out, "\n");
    return cells;
}

// Markdown readers drop the cells of a row beyond the header row's count: a
// header row narrower than a later row gets empty cells up to its width, and
// its separator line with it. `header_end` is where the header row's "\n" is.
void widen_header(docx_buf *out, size_t header_end, size_t cells, size_t widest) {
    constexpr std::string_view empty_cell = "  |";
    const size_t more = widest - cells;
    docx_buf padding;
    for (size_t i = 0; i < more; ++i) append(&padding, empty_cell);
    for (size_t i = 0; i < more; ++i) append(&padding, RULE_CELL);
    if (out->failed || padding.failed) {
        out->failed = true;
        return;
    }
    const std::string_view header_cells = padding.view().substr(0, more * empty_cell.size());
    const std::string_view rule_cells = padding.view().substr(header_cells.size());
    insert(out, header_end + 2 + cells * RULE_CELL.size(), rule_cells);
    insert(out, header_end, header_cells);
}

const char *render_table(const render_ctx &ctx, const char *t) {
    const char *table_end = docx_find_close(t + 1, ctx.body_end, "w:tbl");
    if (!table_end) return nullptr;
    const bool markdown = ctx.mode == render_mode::markdown;
    size_t header_end = 0, header_cells = 0, widest = 0;
    bool first = true;
    ahead rare{next_rare, table_end};
    element row;
    for (const char *cur = t; next_element(cur, table_end, "w:tr", &row); cur = row.end) {
        size_t cells = render_row(ctx, row, rare);
        if (first && cells > 0 && markdown) {
            header_end = ctx.out->len - 1;
            header_cells = cells;
            append(ctx.out, "|");
            for (size_t i = 0; i < cells; ++i) append(ctx.out, RULE_CELL);
            append(ctx.out, "\n");
        }
        widest = std::max(widest, cells);
        first = false;
    }
    if (header_cells > 0 && widest > header_cells)
        widen_header(ctx.out, header_end, header_cells, widest);
    append(ctx.out, "\n");
    return table_end;
}

// Each outermost paragraph and table once, in document order. The next one
// is the first w:p or w:tbl start tag after the cursor: the bytes between
// blocks are scanned once, and a body without tables is not searched for one.
void render_body(const render_ctx &ctx, const char *cur) {
    const char *end = ctx.body_end;
    while (cur && (cur = next_lt(cur, end))) {
        if (tag_is(cur, end, "w:p"))
            cur = render_paragraph(ctx, cur);
        else if (tag_is(cur, end, "w:tbl"))
            cur = render_table(ctx, cur);
        else if (const char *hidden = hidden_copy(cur, end))
            cur = docx_element_end(cur, end, hidden);
        else
            ++cur;
    }
}

// JSON string content: quote, backslash and control bytes escaped; UTF-8
// passes through unchanged.
void json_esc(std::string_view s, docx_buf *out) {
    const char *plain = s.data();
    const char *end = s.data() + s.size();
    for (const char *p = plain; p < end; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        append(out, std::string_view(plain, static_cast<size_t>(p - plain)));
        switch (c) {
            case '"':
                append(out, "\\\"");
                break;
            case '\\':
                append(out, "\\\\");
                break;
            case '\n':
                append(out, "\\n");
                break;
            case '\r':
                append(out, "\\r");
                break;
            case '\t':
                append(out, "\\t");
                break;
            default:
                docx_buf_printf(out, "\\u%04x", c);
        }
        plain = p + 1;
    }
    append(out, std::string_view(plain, static_cast<size_t>(end - plain)));
}

void cell_json(element cell, ahead &rare, docx_buf *scratch, docx_buf *out) {
    docx_buf_clear(scratch);
    cell_plain_text(cell.begin, cell.end, rare, scratch);
    if (scratch->failed) out->failed = true;
    append(out, "\"");
    json_esc(scratch->view(), out);
    append(out, "\"");
}

void table_json(element table, ahead &rare, docx_buf *scratch, docx_buf *out) {
    append(out, "[");
    element row;
    for (const char *cur = table.begin; next_element(cur, table.end, "w:tr", &row); cur = row.end) {
        append(out, cur == table.begin ? "[" : ",[");
        element cell;
        for (const char *c = row.begin; next_element(c, row.end, "w:tc", &cell); c = cell.end) {
            if (c != row.begin) append(out, ",");
            cell_json(cell, rare, scratch, out);
        }
        append(out, "]");
    }
    append(out, "]");
}

}  // namespace

int docx_extract_content(const char *xml, size_t xml_len, int format, docx_buf *out) {
    const char *start = nullptr;
    const char *end = nullptr;
    int found = docx_body_range(xml, xml_len, &start, &end);
    if (found == 0) {
        docx_set_error("document missing w:body");
        return -1;
    }
    if (found < 0) return -1;
    render_mode mode = format == 1 ? render_mode::plain : render_mode::markdown;
    // The text of a body is hardly ever longer than its XML: room for that up
    // front spares a large body the copies and moves of doubling (pages never
    // written cost nothing).
    constexpr size_t large_body = size_t{64} << 10;
    size_t body = static_cast<size_t>(end - start);
    if (body >= large_body) docx_buf_expect(out, body + 1);
    render_body({mode, end, out}, start);
    return 0;
}

int docx_extract_tables_json(const char *xml, size_t xml_len, docx_buf *out) {
    const char *start = nullptr;
    const char *end = nullptr;
    append(out, "[");
    if (docx_body_range(xml, xml_len, &start, &end) == 1) {
        docx_buf scratch;
        // A table in a hidden copy is listed from the copy that shows.
        bool first = true;
        for (const char *cur = start;
             (cur = next_marked(cur, end, TABLE_OR_COPY_MARKS, is_table_or_copy));) {
            if (const char *hidden = hidden_copy(cur, end)) {
                if (!(cur = docx_element_end(cur, end, hidden))) break;
                continue;
            }
            const char *table_end = docx_find_close(cur + 1, end, "w:tbl");
            if (!table_end) break;
            if (!first) append(out, ",");
            first = false;
            ahead rare{next_rare, table_end};
            table_json({cur, table_end}, rare, &scratch, out);
            cur = table_end;
        }
    }
    append(out, "]");
    return 0;
}
