// docx_info.cpp -- the one-line JSON summary of a document.
#include <array>
#include <cstdio>
#include <cstring>

#include "docx_internal.h"

namespace {

constexpr size_t FIELD_SIZE = 512;  // title, author
constexpr size_t CREATED_SIZE = 128;
constexpr size_t STYLE_SIZE = 128;
constexpr size_t MAX_STYLES = 64;
constexpr size_t MAX_PICT_DEPTH = 16;

// The longest prefix of [s, s + len) of at most `max` bytes that does not end
// inside a UTF-8 character, so that a cut value stays valid UTF-8.
size_t utf8_prefix(const char *s, size_t len, size_t max) {
    if (len <= max) return len;
    size_t n = max;
    for (int back = 0; back < 3 && n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80;
         ++back)
        --n;
    return (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80 ? max : n;
}

void copy_cut(char *dest, size_t dest_size, const char *s, size_t len) {
    size_t n = utf8_prefix(s, len, dest_size - 1);
    std::memcpy(dest, s, n);
    dest[n] = 0;
}

// The decoded text of the first `name` element of the core properties, or "".
// -1 only when memory runs out.
int extract_core_field(const char *xml, size_t len, const char *name, char *dest,
                       size_t dest_size) {
    dest[0] = 0;
    const char *end = xml + len;
    const char *tag = docx_find_tag(xml, end, name);
    if (!tag) return 0;
    const char *gt = docx_find_byte(tag, end, '>');
    if (!gt || gt[-1] == '/') return 0;
    const char *value = gt + 1;
    const char *close = docx_find_bytes(value, end, "</");
    if (!close) return 0;
    docx_buf text;
    docx_xml_decode_entities(value, static_cast<size_t>(close - value), &text);
    if (text.failed) return -1;
    copy_cut(dest, dest_size, text.data ? text.data : "", text.len);
    return 0;
}

void json_esc(docx_buf *out, const char *text) {
    const char *run = text;
    for (const char *p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        docx_buf_append(out, run, static_cast<size_t>(p - run));
        run = p + 1;
        if (c == '"')
            docx_buf_append_cstr(out, "\\\"");
        else if (c == '\\')
            docx_buf_append_cstr(out, "\\\\");
        else if (c == '\n')
            docx_buf_append_cstr(out, "\\n");
        else if (c == '\r')
            docx_buf_append_cstr(out, "\\r");
        else
            docx_buf_printf(out, "\\u%04x", c);
    }
    docx_buf_append_cstr(out, run);
}

// The next start tag of one name at or after a cursor that only moves
// forward. A position found ahead of the cursor is kept until the cursor
// passes it, so each name is scanned once over the whole walk.
class tag_finder {
  public:
    tag_finder(const char *end, const char *name) : end_(end), name_(name) {}
    const char *next(const char *cursor) {
        if (!exhausted_ && (!at_ || at_ < cursor)) {
            at_ = docx_find_tag(cursor, end_, name_);
            exhausted_ = !at_;
        }
        return at_;
    }

  private:
    const char *end_;
    const char *name_;
    const char *at_ = nullptr;
    bool exhausted_ = false;
};

const char *earlier(const char *a, const char *b) {
    if (!a) return b;
    if (!b) return a;
    return a < b ? a : b;
}

struct style_list {
    std::array<std::array<char, STYLE_SIZE>, MAX_STYLES> names;
    size_t count = 0;

    void add(const char *name) {
        if (!*name || count == MAX_STYLES) return;
        for (size_t i = 0; i < count; ++i)
            if (std::strcmp(names[i].data(), name) == 0) return;
        std::strcpy(names[count++].data(), name);
    }
};

// The w:val of the paragraph's first w:pPr/w:pStyle, verbatim, or "".
void paragraph_style(const char *p, const char *end, char *style) {
    style[0] = 0;
    const char *ppr = docx_find_tag(p, end, "w:pPr");
    const char *ppr_end = ppr ? docx_element_end(ppr, end, "w:pPr") : nullptr;
    const char *ps = ppr_end ? docx_find_tag(ppr, ppr_end, "w:pStyle") : nullptr;
    const char *gt = ps ? docx_find_byte(ps, ppr_end, '>') : nullptr;
    char raw[STYLE_SIZE + 1];
    raw[0] = 0;
    if (gt) docx_attr_val(ps, gt, "w:val", raw, sizeof raw);
    copy_cut(style, STYLE_SIZE, raw, std::strlen(raw));
}

struct body_counts {
    int paragraphs = 0;
    int tables = 0;
    int images = 0;
};

// Top-level paragraphs and tables: whole paragraphs and tables are stepped
// over, so what they hold is not counted again.
void walk_blocks(const char *s, const char *end, body_counts *counts, style_list *styles) {
    tag_finder paras(end, "w:p"), tables(end, "w:tbl");
    const char *cur = s;
    while (cur < end) {
        const char *p = paras.next(cur), *t = tables.next(cur);
        if (!p && !t) return;
        if (p && (!t || p < t)) {
            ++counts->paragraphs;
            const char *close = docx_element_end(p, end, "w:p");
            if (!close) return;
            char style[STYLE_SIZE];
            paragraph_style(p, close, style);
            styles->add(style);
            cur = close;
        } else {
            ++counts->tables;
            cur = docx_element_end(t, end, "w:tbl");
            if (!cur) return;
        }
    }
}

// Pictures, each once: every w:drawing, and every w:pict that holds an image
// (v:imagedata), wherever they stand in the body (paragraphs, tables, text
// boxes). A v:imagedata belongs to its innermost w:pict, so a VML text box
// holding pictures is not a picture itself. mc:Fallback content repeats its
// mc:Choice in older markup and is skipped.
int count_images(const char *s, const char *end) {
    tag_finder drawings(end, "w:drawing"), picts(end, "w:pict"), images(end, "v:imagedata"),
        fallbacks(end, "mc:Fallback");
    struct open_pict {
        const char *end;
        bool counted;
    } stack[MAX_PICT_DEPTH];
    size_t depth = 0;
    // After a w:pict without end tag, later ones are taken to reach the end
    // too, so that no search runs to the end more than once.
    bool unbalanced = false;
    int count = 0;
    const char *cur = s;
    while (cur < end) {
        const char *d = drawings.next(cur), *p = picts.next(cur), *i = images.next(cur),
                   *f = fallbacks.next(cur);
        const char *at = earlier(earlier(d, p), earlier(i, f));
        if (!at) break;
        cur = at + 1;
        while (depth > 0 && stack[depth - 1].end <= at) --depth;
        if (at == f) {
            cur = docx_element_end(f, end, "mc:Fallback");
            if (!cur) break;
        } else if (at == d) {
            ++count;
        } else if (at == p) {
            const char *gt = docx_find_byte(p, end, '>');
            if (!gt || gt[-1] == '/') continue;
            const char *pend = unbalanced ? nullptr : docx_find_close(p + 1, end, "w:pict");
            unbalanced = !pend;
            if (depth < MAX_PICT_DEPTH) stack[depth++] = {pend ? pend : end, false};
        } else if (depth > 0 && !stack[depth - 1].counted) {
            stack[depth - 1].counted = true;
            ++count;
        }
    }
    return count;
}

void append_json_string(docx_buf *out, const char *prefix, const char *value) {
    docx_buf_append_cstr(out, prefix);
    docx_buf_append_cstr(out, "\"");
    json_esc(out, value);
    docx_buf_append_cstr(out, "\"");
}

}  // namespace

int docx_build_info_json(const docx_doc *doc, docx_buf *out) {
    char title[FIELD_SIZE], author[FIELD_SIZE], created[CREATED_SIZE];
    title[0] = author[0] = created[0] = 0;
    if (doc->core_xml) {
        const char *core = doc->core_xml.get();
        if (extract_core_field(core, doc->core_len, "dc:title", title, sizeof title) != 0 ||
            extract_core_field(core, doc->core_len, "dc:creator", author, sizeof author) != 0 ||
            extract_core_field(core, doc->core_len, "dcterms:created", created, sizeof created) !=
                0)
            return -1;
    }
    body_counts counts;
    style_list styles;
    const char *s = nullptr, *e = nullptr;
    if (docx_body_range(doc->doc_xml.get(), doc->doc_len, &s, &e) == 1) {
        walk_blocks(s, e, &counts, &styles);
        counts.images = count_images(s, e);
    }
    docx_buf_printf(out, "{\"paragraphs\":%d,\"tables\":%d,\"images\":%d,\"styles\":[",
                    counts.paragraphs, counts.tables, counts.images);
    for (size_t i = 0; i < styles.count; ++i)
        append_json_string(out, i ? "," : "", styles.names[i].data());
    append_json_string(out, "],\"title\":", title);
    append_json_string(out, ",\"author\":", author);
    append_json_string(out, ",\"created\":", created);
    docx_buf_append_cstr(out, doc->encrypted ? ",\"encrypted\":true}" : ",\"encrypted\":false}");
    return out->failed ? -1 : 0;
}
