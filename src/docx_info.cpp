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
// An end tag longer than this can hold a start tag before its '>'.
constexpr ptrdiff_t PLAIN_P_END = sizeof "</w:p>" - 1;

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

#if defined(__SSE2__)
// 16 bits: which of the 16 positions from p may open or close an element the
// summary looks at, judged by a few bytes after the '<': "<w:p" and "</w:p"
// (also w:pPr, w:pict), "<w:tb" and "</w:tb", "<w:d", "<v:", "<mc:", "</mc:".
int summary_candidates16(const char *p) {
    __m128i para = _mm_or_si128(docx_eq16(p + 3, 'p'), docx_eq16(p + 4, 'p'));
    __m128i table = _mm_or_si128(docx_eq16(p + 4, 'b'), docx_eq16(p + 5, 'b'));
    __m128i other = _mm_or_si128(_mm_or_si128(docx_eq16(p + 3, 'd'), docx_eq16(p + 1, 'v')),
                                 _mm_or_si128(docx_eq16(p + 1, 'm'), docx_eq16(p + 2, 'm')));
    __m128i any = _mm_or_si128(_mm_or_si128(para, table), other);
    return _mm_movemask_epi8(_mm_and_si128(docx_eq16(p, '<'), any));
}
#endif

// The next '<' at or after p that may matter to the summary; near the end
// every '<' is one. The walkers make the exact tests.
const char *next_summary_tag(const char *p, const char *end) {
#if defined(__SSE2__)
    constexpr size_t reach = 6 + 16;  // widest load: 16 bytes from p + 5
    for (; p < end && static_cast<size_t>(end - p) >= reach; p += 16)
        if (int mask = summary_candidates16(p)) return p + __builtin_ctz(mask);
#endif
    return docx_find_byte(p, end, '<');
}

// A cheap test that `name` may follow the '<' at q (at 0) or its '/' (at 1):
// its first bytes are there, and room for the byte after it.
bool may_name(const char *q, const char *end, std::string_view name, size_t at) {
    size_t k = name.size() < 4 ? name.size() : 4;
    if (static_cast<size_t>(end - q) <= k + 1 + at) return false;
    for (size_t i = 0; i < k; ++i)
        if (q[1 + at + i] != name[i]) return false;
    return true;
}

// A start tag of `name` at q, as docx_find_tag finds it.
bool opens(const char *q, const char *end, std::string_view name) {
    return may_name(q, end, name, 0) && docx_tag_opens(q, end, name);
}

// The first '>' at or after a position. The positions asked for never move
// back, so one search serves every tag up to the '>' it found.
class gt_finder {
  public:
    explicit gt_finder(const char *end) : end_(end) {}
    const char *next(const char *p) {
        if (searched_ && (!at_ || p <= at_)) return at_;
        searched_ = true;
        return at_ = docx_find_near(p, end_, '>');
    }

  private:
    const char *end_;
    const char *at_ = nullptr;
    bool searched_ = false;
};

// docx_find_close fed one tag at a time: the depth of an open element and
// the tags it skips after a nested self-closing start tag.
class close_tracker {
  public:
    explicit close_tracker(std::string_view name) : name_(name) {}
    bool open() const { return depth_ > 0; }
    int depth() const { return depth_; }
    void start(const char *tag) {
        depth_ = 1;
        resume_ = tag + 1;
    }
    // The level (depth before) that the tag at q closes, with *end set past
    // its '>' (null without one); 0 when it closes none.
    int step(const char *q, const char *end, gt_finder *gt, const char **closed_end) {
        if (!depth_ || q < resume_) return 0;
        if (may_name(q, end, name_, 1) && docx_tag_closes(q, end, name_)) {
            const char *g = gt->next(q);
            *closed_end = g ? g + 1 : nullptr;
            return depth_--;
        }
        if (may_name(q, end, name_, 0) && docx_tag_nests(q, end, name_)) {
            const char *g = gt->next(q);
            if (g && g[-1] == '/')
                resume_ = g + 1;
            else
                ++depth_;
        }
        return 0;
    }

  private:
    std::string_view name_;
    int depth_ = 0;
    const char *resume_ = nullptr;
};

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

// The w:val of the w:pStyle in a paragraph's first w:pPr (at ppr, or null),
// verbatim, or "". The paragraph ends at `end`.
void paragraph_style(const char *ppr, const char *end, char *style) {
    style[0] = 0;
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
class block_walk {
  public:
    block_walk(const char *s, const char *end, body_counts *counts, style_list *styles)
        : end_(end), cur_(s), counts_(counts), styles_(styles) {}

    void on_tag(const char *q, gt_finder *gt) {
        const char *close = nullptr;
        switch (state_) {
            case state::top:
                if (q >= cur_) take_block(q, gt);
                break;
            case state::paragraph:
                if (!ppr_ && opens(q, end_, "w:pPr")) ppr_ = q;
                if (para_close_.step(q, end_, gt, &close) == 1) end_paragraph(q, close);
                break;
            case state::table:
                if (table_close_.step(q, end_, gt, &close) == 1) step_over(close);
                break;
            case state::done:
                break;
        }
    }

  private:
    enum class state { top, paragraph, table, done };

    void take_block(const char *q, gt_finder *gt) {
        bool para = opens(q, end_, "w:p");
        if (!para && !opens(q, end_, "w:tbl")) return;
        ++(para ? counts_->paragraphs : counts_->tables);
        const char *g = gt->next(q);
        if (!g) {
            state_ = state::done;
        } else if (g[-1] == '/') {
            cur_ = g + 1;
            if (para) add_style(docx_find_tag(q, cur_, "w:pPr"), cur_);
        } else if (para) {
            para_close_.start(q);
            ppr_ = nullptr;
            state_ = state::paragraph;
        } else {
            table_close_.start(q);
            state_ = state::table;
        }
    }

    // A w:pPr found before the end tag lies wholly before it; one may also
    // stand inside a malformed end tag, before its '>'.
    void end_paragraph(const char *end_tag, const char *close) {
        if (close) {
            if (!ppr_ && close - end_tag > PLAIN_P_END)
                ppr_ = docx_find_tag(end_tag, close, "w:pPr");
            add_style(ppr_, close);
        }
        step_over(close);
    }

    void add_style(const char *ppr, const char *close) {
        if (!ppr) return;
        char style[STYLE_SIZE];
        paragraph_style(ppr, close, style);
        styles_->add(style);
    }

    void step_over(const char *close) {
        cur_ = close;
        state_ = close ? state::top : state::done;
    }

    const char *end_;
    const char *cur_;
    body_counts *counts_;
    style_list *styles_;
    state state_ = state::top;
    const char *ppr_ = nullptr;
    close_tracker para_close_{"w:p"}, table_close_{"w:tbl"};
};

// Pictures, each once: every w:drawing, and every w:pict that holds an image
// (v:imagedata), wherever they stand in the body (paragraphs, tables, text
// boxes). A v:imagedata belongs to its innermost w:pict, so a VML text box
// holding pictures is not a picture itself. mc:Fallback content repeats its
// mc:Choice in older markup and is skipped.
class picture_count {
  public:
    picture_count(const char *s, const char *end) : end_(end), skip_(s) {}
    int count() const { return count_; }

    void on_tag(const char *q, gt_finder *gt) {
        const char *close = nullptr;
        if (int level = pict_close_.step(q, end_, gt, &close)) end_pict(level, close);
        if (stopped_) return;
        if (fallback_close_.open()) {
            if (fallback_close_.step(q, end_, gt, &close) == 1) skip_to(close);
        } else if (q >= skip_) {
            take_tag(q, gt);
        }
    }

  private:
    struct open_pict {
        const char *end;  // null while not known yet, or never
        int level;        // its depth in pict_close_, 0 when not tracked
        bool counted;
    };

    void take_tag(const char *q, gt_finder *gt) {
        bool drawing = opens(q, end_, "w:drawing");
        bool pict = !drawing && opens(q, end_, "w:pict");
        bool image = !drawing && !pict && opens(q, end_, "v:imagedata");
        if (!drawing && !pict && !image && !opens(q, end_, "mc:Fallback")) return;
        while (depth_ > 0 && stack_[depth_ - 1].end && stack_[depth_ - 1].end <= q) --depth_;
        if (drawing) {
            ++count_;
        } else if (pict) {
            open_pict_at(q, gt);
        } else if (image) {
            if (depth_ > 0 && !stack_[depth_ - 1].counted) {
                stack_[depth_ - 1].counted = true;
                ++count_;
            }
        } else {
            skip_fallback(q, gt);
        }
    }

    // An outermost w:pict is looked ahead to its end: after one without end
    // tag, later ones are taken to reach the end too. Nested ones learn
    // their end from pict_close_, which counts them as it passes.
    void open_pict_at(const char *q, gt_finder *gt) {
        const char *g = gt->next(q);
        if (!g || g[-1] == '/') return;
        open_pict entry{end_, 0, false};
        if (pict_close_.open()) {
            entry = {nullptr, pict_close_.depth(), false};
        } else if (!unbalanced_) {
            const char *close = docx_find_close(q + 1, end_, "w:pict");
            unbalanced_ = !close;
            if (close) {
                entry.end = close;
                pict_close_.start(q);
            }
        }
        if (depth_ < MAX_PICT_DEPTH) stack_[depth_++] = entry;
    }

    void end_pict(int level, const char *close) {
        for (size_t i = depth_; i-- > 0;)
            if (stack_[i].level == level && !stack_[i].end) {
                stack_[i].end = close;
                return;
            }
    }

    void skip_fallback(const char *q, gt_finder *gt) {
        const char *g = gt->next(q);
        if (g && g[-1] != '/')
            fallback_close_.start(q);
        else
            skip_to(g ? g + 1 : nullptr);
    }

    void skip_to(const char *close) {
        skip_ = close;
        stopped_ = !close;
    }

    const char *end_;
    const char *skip_;
    int count_ = 0;
    open_pict stack_[MAX_PICT_DEPTH];
    size_t depth_ = 0;
    bool unbalanced_ = false;
    bool stopped_ = false;
    close_tracker pict_close_{"w:pict"}, fallback_close_{"mc:Fallback"};
};

// One pass over the tags of the body feeds both walkers.
void walk_body(const char *s, const char *end, body_counts *counts, style_list *styles) {
    block_walk blocks(s, end, counts, styles);
    picture_count pictures(s, end);
    gt_finder gt(end);
    for (const char *q = next_summary_tag(s, end); q; q = next_summary_tag(q + 1, end)) {
        blocks.on_tag(q, &gt);
        pictures.on_tag(q, &gt);
    }
    counts->images = pictures.count();
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
        walk_body(s, e, &counts, &styles);
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
