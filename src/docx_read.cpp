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
// A template so that the comparison with the literal name is inlined.
template <size_t N>
bool tag_is(const char *p, const char *end, const char (&name)[N]) {
    constexpr size_t n = N - 1;
    if (static_cast<size_t>(end - p) <= n + 1) return false;
    if (std::memcmp(p + 1, name, n) != 0) return false;
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

// The next start tag of one name at or after a cursor that only moves forward.
// A tag found earlier still answers while the cursor has not passed it, and
// "none" answers for good: one scan per name for the whole walk.
struct lookahead {
    const char *name;
    const char *found = nullptr;
    bool exhausted = false;

    const char *from(const char *cursor, const char *end) {
        if (!exhausted && (!found || found < cursor)) {
            found = docx_find_tag(cursor, end, name);
            exhausted = !found;
        }
        return found;
    }
};

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

// Appends the decoded text of every w:t in the cell, at any depth; the texts
// this call appends are separated by one space (also after an empty one).
void cell_plain_text(const char *cell, const char *cell_end, docx_buf *out) {
    const size_t base = out->len;
    const char *cur = cell;
    while (const char *t = docx_find_tag(cur, cell_end, "w:t")) {
        std::string_view text;
        if (!text_element(t, cell_end, &text, &cur)) return;
        if (!text.data()) continue;  // self-closing: no separator either
        if (out->len > base) append(out, " ");
        append_decoded(out, text);
    }
}

// Whether the run property `name` (w:b, w:i) is switched on in `rpr`, the
// run's first w:rPr (null begin: none; null end: unclosed). Only direct
// formatting counts.
int run_has_flag(element rpr, const char *name) {
    if (!rpr.begin || !rpr.end) return 0;
    const char *flag = docx_find_tag(rpr.begin, rpr.end, name);
    if (!flag) return 0;
    const char *gt = docx_find_byte(flag, rpr.end, '>');
    if (!gt) return 1;
    char val[16] = "";
    if (docx_attr_val(flag, gt, "w:val", val, sizeof val) != 0) return 1;
    return std::strcmp(val, "0") != 0 && std::strcmp(val, "false") != 0;
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

const char *properties_name(const char *p, const char *end) {
    if (tag_is(p, end, "w:rPr")) return "w:rPr";
    if (tag_is(p, end, "w:pPr")) return "w:pPr";
    return nullptr;
}

// Appends the run's text, breaks and tabs in document order, in one pass that
// also finds the run's first w:rPr. Returns where the gathering stopped: the
// run's end, or the malformed element that cut it short.
const char *gather_run_text(element run, docx_buf *out, element *rpr) {
    const char *end = run.end;
    const char *cur = run.begin + 1;
    while (const char *p = docx_find_byte(cur, end, '<')) {
        const char *gt = nullptr;
        if (tag_is(p, end, "w:t")) {
            std::string_view text;
            if (!text_element(p, end, &text, &cur)) return p;
            append_decoded(out, text);
        } else if (tag_is(p, end, "w:br")) {
            if (!(gt = docx_find_byte(p, end, '>'))) return p;
            append(out, is_page_break(p, gt) ? PAGE_BREAK : "\n");
            cur = gt + 1;
        } else if (tag_is(p, end, "w:tab")) {
            append(out, "\t");
            if (!(gt = docx_find_byte(p, end, '>'))) return p;
            cur = gt + 1;
        } else if (const char *props = properties_name(p, end)) {
            if (!(cur = after_properties(p, end, props, rpr))) return p;
        } else {
            cur = p + 1;
        }
    }
    return end;
}

std::string_view emphasis(element rpr) {
    bool bold = run_has_flag(rpr, "w:b");
    bool italic = run_has_flag(rpr, "w:i");
    return bold && italic ? "***" : bold ? "**" : italic ? "*" : "";
}

// Puts `s` in front of the bytes from `at` on.
void insert(docx_buf *out, size_t at, std::string_view s) {
    const size_t tail = out->len - at;
    if (s.empty() || docx_buf_append_sv(out, s) != 0) return;
    std::memmove(out->data + at + s.size(), out->data + at, tail);
    std::memcpy(out->data + at, s.data(), s.size());
}

// The markers enclose the whole run text; a run without text adds nothing.
void render_run(const render_ctx &ctx, element run) {
    docx_buf *out = ctx.out;
    const size_t text_start = out->len;
    element rpr{nullptr, nullptr};
    const char *stop = gather_run_text(run, out, &rpr);
    if (ctx.mode != render_mode::markdown || out->len == text_start) return;
    if (!rpr.begin)
        if (const char *later = docx_find_tag(stop, run.end, "w:rPr")) rpr = rpr_at(later, run.end);
    std::string_view marker = emphasis(rpr);
    insert(out, text_start, marker);
    append(out, marker);
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
    lookahead next_run{"w:r"};
    const char *cur = para.begin;
    while (cur && cur < para.end) {
        const char *run = next_run.from(cur, para.end);
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
        render_run(ctx, {run, run_end});
        cur = run_end;
    }
}

// Where the walk goes on after the paragraph at p; null stops the rendering.
const char *render_paragraph(const render_ctx &ctx, const char *p) {
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

// Renders one row and returns its number of cells. An empty cell keeps its
// column in both modes.
size_t render_row(const render_ctx &ctx, element row) {
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
        cell_plain_text(cell.begin, cell.end, out);
        if (markdown) append(out, " |");
        ++cells;
    }
    append(out, "\n");
    return cells;
}

const char *render_table(const render_ctx &ctx, const char *t) {
    const char *table_end = docx_find_close(t + 1, ctx.body_end, "w:tbl");
    if (!table_end) return nullptr;
    bool first = true;
    element row;
    for (const char *cur = t; next_element(cur, table_end, "w:tr", &row); cur = row.end) {
        size_t cells = render_row(ctx, row);
        if (first && cells > 0 && ctx.mode == render_mode::markdown) {
            append(ctx.out, "|");
            for (size_t i = 0; i < cells; ++i) append(ctx.out, " --- |");
            append(ctx.out, "\n");
        }
        first = false;
    }
    append(ctx.out, "\n");
    return table_end;
}

// Each outermost paragraph and table once, in document order.
void render_body(const render_ctx &ctx, const char *cur) {
    lookahead next_para{"w:p"};
    lookahead next_table{"w:tbl"};
    while (cur && cur < ctx.body_end) {
        const char *p = next_para.from(cur, ctx.body_end);
        const char *t = next_table.from(cur, ctx.body_end);
        if (!p && !t) return;
        cur = p && (!t || p < t) ? render_paragraph(ctx, p) : render_table(ctx, t);
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

void cell_json(element cell, docx_buf *scratch, docx_buf *out) {
    docx_buf_clear(scratch);
    cell_plain_text(cell.begin, cell.end, scratch);
    if (scratch->failed) out->failed = true;
    append(out, "\"");
    json_esc(scratch->view(), out);
    append(out, "\"");
}

void table_json(element table, docx_buf *scratch, docx_buf *out) {
    append(out, "[");
    element row;
    for (const char *cur = table.begin; next_element(cur, table.end, "w:tr", &row); cur = row.end) {
        append(out, cur == table.begin ? "[" : ",[");
        element cell;
        for (const char *c = row.begin; next_element(c, row.end, "w:tc", &cell); c = cell.end) {
            if (c != row.begin) append(out, ",");
            cell_json(cell, scratch, out);
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
    render_body({mode, end, out}, start);
    return 0;
}

int docx_extract_tables_json(const char *xml, size_t xml_len, docx_buf *out) {
    const char *start = nullptr;
    const char *end = nullptr;
    append(out, "[");
    if (docx_body_range(xml, xml_len, &start, &end) == 1) {
        docx_buf scratch;
        element table;
        for (const char *cur = start; next_element(cur, end, "w:tbl", &table); cur = table.end) {
            if (cur != start) append(out, ",");
            table_json(table, &scratch, out);
        }
    }
    append(out, "]");
    return 0;
}
