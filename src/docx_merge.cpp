// docx_merge.cpp -- joining the bodies of several documents into one package.
//
// Only body content travels, but that content uses whatever prefixes its
// document declared (w14, wp, mc, ...): the merged root declares them all, or
// the part would not be well-formed.
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <string_view>

#include "docx_internal.h"

namespace {

using std::string_view;

constexpr string_view WHITE_SPACE = " \t\n\r";

// A set of words kept as " a b c ": small, and it allocates only a docx_buf.
struct word_set {
    docx_buf words;

    // Whether the word `lead` followed by `rest` is in the set.
    bool has(string_view lead, string_view rest) const {
        string_view all = words.view();
        if (rest.empty()) return false;
        for (size_t at = all.find(rest); at != string_view::npos; at = all.find(rest, at + 1)) {
            size_t end = at + rest.size();
            if (at <= lead.size() || end >= all.size() || all[end] != ' ') continue;
            size_t from = at - lead.size();
            if (all[from - 1] == ' ' && all.substr(from, lead.size()) == lead) return true;
        }
        return false;
    }
    bool has(string_view w) const { return has({}, w); }
    void add(string_view w) {
        if (words.len == 0) docx_buf_append(&words, " ", 1);
        docx_buf_append_sv(&words, w);
        docx_buf_append(&words, " ", 1);
    }
};

// What the merged w:document start tag carries beyond xmlns:w and xmlns:r.
struct merged_root {
    word_set prefixes;  // declaring attribute names: "xmlns", "xmlns:w14", ...
    docx_buf declarations;
    word_set ignorable;
};

struct xml_attr {
    string_view name;
    string_view quoted;  // the value with its quotes, as written
};

// The attribute at `p` inside a start tag, moving `p` past it; false at the
// tag's end or at malformed markup.
bool next_attr(const char *&p, const char *end, xml_attr &a) {
    string_view rest(p, static_cast<size_t>(end - p));
    size_t name_at = rest.find_first_not_of(WHITE_SPACE);
    if (name_at == string_view::npos || rest[name_at] == '>' || rest[name_at] == '/') return false;
    size_t eq = rest.find('=', name_at);
    if (eq == string_view::npos) return false;
    a.name = rest.substr(name_at, eq - name_at);
    a.name = a.name.substr(0, a.name.find_first_of(WHITE_SPACE));
    size_t open = rest.find_first_not_of(WHITE_SPACE, eq + 1);
    if (open == string_view::npos || (rest[open] != '"' && rest[open] != '\'')) return false;
    size_t close = rest.find(rest[open], open + 1);
    if (close == string_view::npos) return false;
    a.quoted = rest.substr(open, close - open + 1);
    p += close + 1;
    return true;
}

bool is_declaration(string_view name) {
    return (name == "xmlns" || name.starts_with("xmlns:")) && name != "xmlns:w" &&
           name != "xmlns:r";
}

void add_ignorable(merged_root &root, string_view quoted) {
    string_view list = quoted.substr(1, quoted.size() - 2);
    while (!list.empty()) {
        size_t b = list.find_first_not_of(WHITE_SPACE);
        if (b == string_view::npos) break;
        list.remove_prefix(b);
        string_view prefix = list.substr(0, list.find_first_of(WHITE_SPACE));
        list.remove_prefix(prefix.size());
        if (!root.ignorable.has(prefix)) root.ignorable.add(prefix);
    }
}

// Takes the namespace declarations and the mc:Ignorable list of one input's
// w:document start tag; a prefix declared before keeps its first meaning.
void collect_root(merged_root &root, const char *xml, size_t len) {
    const char *end = xml + len;
    const char *tag = docx_find_tag(xml, end, "w:document");
    if (!tag) return;
    const char *p = tag + std::strlen("<w:document");
    xml_attr a;
    while (next_attr(p, end, a)) {
        if (a.name == "mc:Ignorable") {
            add_ignorable(root, a.quoted);
        } else if (is_declaration(a.name) && !root.prefixes.has(a.name)) {
            root.prefixes.add(a.name);
            docx_buf_append(&root.declarations, " ", 1);
            docx_buf_append_sv(&root.declarations, a.name);
            docx_buf_append(&root.declarations, "=", 1);
            docx_buf_append_sv(&root.declarations, a.quoted);
        }
    }
}

// Ignorable prefixes must be declared, so only declared ones are listed.
void append_root_attrs(docx_buf *out, const merged_root &root) {
    docx_buf_append_buf(out, &root.declarations);
    if (!root.prefixes.has("xmlns:mc")) return;
    bool any = false;
    for (string_view list = root.ignorable.words.view(); list.size() > 1;) {
        list.remove_prefix(1);
        string_view prefix = list.substr(0, list.find(' '));
        list.remove_prefix(prefix.size());
        if (!root.prefixes.has("xmlns:", prefix)) continue;
        docx_buf_append_cstr(out, any ? " " : " mc:Ignorable=\"");
        docx_buf_append_sv(out, prefix);
        any = true;
    }
    if (any) docx_buf_append(out, "\"", 1);
}

// Entities that a document type declaration defines cannot travel without
// it, and the merged part cannot carry one (packages may not).
bool declares_document_type(const char *xml, size_t len) {
    const char *end = xml + len;
    const char *root = docx_find_tag(xml, end, "w:document");
    return docx_find_bytes(xml, root ? root : end, "<!DOCTYPE") != nullptr;
}

// Adds one input's body to `bodies` (after a line feed unless it is the first).
int collect_input(const char *path, bool first, docx_buf *bodies, merged_root &root) {
    docx_heap data;
    size_t size = 0;
    if (docx_read_file(path, &data, &size) != 0) return -1;
    switch (docx_detect_encrypted(data.get(), size)) {
        case DOCX_ENCRYPTED:
            docx_set_error("encrypted document in merge list: %s (encrypted:true)", path);
            return -1;
        case DOCX_LEGACY_BINARY:
            docx_set_error("legacy binary Word document (.doc) in merge list: %s", path);
            return -1;
        default:
            break;
    }
    docx_heap xml, part_name;
    size_t xml_len = 0;
    int rc = docx_zip_extract_main(data.get(), size, &xml, &xml_len, &part_name);
    data.reset();
    if (rc != 0) return -1;
    if (declares_document_type(xml.get(), xml_len)) {
        docx_set_error("document type declaration in merge input not supported: %s", path);
        return -1;
    }
    const char *body = nullptr;
    size_t body_len = 0;
    if (docx_body_inner_range(xml.get(), xml_len, &body, &body_len) != 0) return -1;
    collect_root(root, xml.get(), xml_len);
    if (!first) docx_buf_append(bodies, "\n", 1);
    docx_buf_append(bodies, body, body_len);
    return 0;
}

// The path an element names; null (with the message set) when it names none.
const std::string *element_path(const nlohmann::json &element) {
    if (!element.is_string()) {
        docx_set_error("paths_json elements must be strings");
        return nullptr;
    }
    const auto &path = element.get_ref<const std::string &>();
    if (path.find('\0') != std::string::npos) {
        docx_set_error("path in paths_json holds a NUL character: %s", path.c_str());
        return nullptr;
    }
    return &path;
}

int merge(const char *paths_json, const char *out_path) {
    auto list = nlohmann::json::parse(paths_json, nullptr, false);
    if (list.is_discarded()) {
        docx_set_error("invalid paths_json (expected JSON array of paths)");
        return -1;
    }
    if (!list.is_array() || list.empty()) {
        docx_set_error("paths_json must be a non-empty JSON array");
        return -1;
    }
    docx_buf bodies;
    merged_root root;
    bool first = true;
    for (const auto &element : list) {
        const std::string *path = element_path(element);
        if (!path || collect_input(path->c_str(), first, &bodies, root) != 0) return -1;
        first = false;
    }
    // The bodies are nearly all of the part: the head goes in front of them
    // in place, so that they are never held twice.
    docx_buf attrs, head;
    append_root_attrs(&attrs, root);
    docx_append_document_head(&head, attrs.view());
    docx_buf_prepend(&bodies, head.view());
    docx_append_document_tail(&bodies);
    if (bodies.failed || head.failed || attrs.failed || root.prefixes.words.failed ||
        root.ignorable.words.failed) {
        docx_set_error("oom");
        return -1;
    }
    return docx_zip_write_simple(out_path, bodies.data, bodies.len, nullptr, 0);
}

}  // namespace

int docx_merge_impl(const char *paths_json, const char *out_path) {
    try {
        return merge(paths_json, out_path);
    } catch (const std::bad_alloc &) {
        docx_set_error("out of memory");
        return -1;
    }
}
