// docx_merge.cpp -- joining the bodies of several documents into one package.
//
// Only body content travels, but that content uses whatever prefixes its
// document declared (w14, wp, mc, ...): the merged root declares them all, or
// the part would not be well-formed. It also refers to other parts through
// relationship IDs (pictures, hyperlinks, the headers of its sections): those
// relationships come along under new IDs, with the parts they reach.
#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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

    bool failed() const {
        return prefixes.words.failed || declarations.failed || ignorable.words.failed;
    }
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

// Takes the namespace declarations and the mc:Ignorable list of the start tag
// of one input part's root `name`; a prefix declared before keeps its first
// meaning.
void collect_root(merged_root &root, const char *xml, size_t len, const char *name) {
    const char *end = xml + len;
    const char *tag = docx_find_tag(xml, end, name);
    if (!tag) return;
    const char *p = tag + 1 + std::strlen(name);
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

// MARK: - Relationships

bool ascii_iequal(string_view a, string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

string_view unquoted(string_view quoted) {
    return quoted.substr(1, quoted.size() - 2);
}

// The value of attribute `attr` of the start tag at `tag`, as written; empty
// when it has none.
string_view attr_of(const char *tag, const char *end, string_view attr) {
    const char *p = tag + 1;
    while (p < end && WHITE_SPACE.find(*p) == string_view::npos && *p != '>' && *p != '/') ++p;
    xml_attr a;
    while (next_attr(p, end, a))
        if (a.name == attr) return unquoted(a.quoted);
    return {};
}

struct relationship {
    string_view id, target;                  // values as written
    string_view quoted_type, quoted_target;  // with their quotes
    bool external = false;
};

std::vector<relationship> read_relationships(string_view xml) {
    std::vector<relationship> all;
    const char *p = xml.data(), *end = xml.data() + xml.size();
    while ((p = docx_find_tag(p, end, "Relationship"))) {
        p += std::strlen("<Relationship");
        relationship rel;
        xml_attr a;
        while (next_attr(p, end, a)) {
            if (a.name == "Id") rel.id = unquoted(a.quoted);
            if (a.name == "Type") rel.quoted_type = a.quoted;
            if (a.name == "Target") rel.quoted_target = a.quoted, rel.target = unquoted(a.quoted);
            if (a.name == "TargetMode") rel.external = unquoted(a.quoted) == "External";
        }
        if (!rel.id.empty() && !rel.quoted_type.empty() && !rel.quoted_target.empty())
            all.push_back(rel);
    }
    return all;
}

// The value of attribute `attr` of the first start tag `name` in `xml` whose
// attribute `key` has the value `value` (ASCII case ignored), with its quotes.
string_view quoted_value_where(string_view xml, const char *name, string_view key,
                               string_view value, string_view attr) {
    const char *end = xml.data() + xml.size();
    for (const char *p = docx_find_tag(xml.data(), end, name); p;
         p = docx_find_tag(p + 1, end, name)) {
        if (!ascii_iequal(attr_of(p, end, key), value)) continue;
        string_view found = attr_of(p, end, attr);
        if (!found.empty()) return {found.data() - 1, found.size() + 2};
    }
    return {};
}

// The content type that [Content_Types].xml gives part `name`, quoted, or
// empty: its override, else the default for its extension.
string_view content_type(string_view types, const std::string &name) {
    string_view found =
        quoted_value_where(types, "Override", "PartName", "/" + name, "ContentType");
    size_t dot = name.rfind('.');
    if (!found.empty() || dot == std::string::npos || name.find('/', dot) != std::string::npos)
        return found;
    return quoted_value_where(types, "Default", "Extension", string_view(name).substr(dot + 1),
                              "ContentType");
}

string_view folder_of(string_view part) {
    return part.substr(0, part.rfind('/') + 1);
}

// The part a target names from `folder`, "" when it climbs out of the
// package.
std::string resolve(string_view folder, string_view target) {
    if (target.empty()) return "";
    if (target[0] == '/') {
        folder = {};
        target.remove_prefix(1);
    }
    std::string path(folder);
    while (!target.empty()) {
        size_t slash = target.find('/');
        string_view seg = target.substr(0, slash);
        target.remove_prefix(slash == string_view::npos ? target.size() : slash + 1);
        if (seg == "..") {
            if (path.empty()) return "";
            path.erase(path.rfind('/', path.size() - 2) + 1);
        } else if (!seg.empty() && seg != ".") {
            path += seg;
            if (slash != string_view::npos) path += '/';
        }
    }
    return path;
}

// A part name as it may stand in a URI: other bytes are percent-encoded.
void append_uri(docx_buf *out, string_view name) {
    static constexpr char hex[] = "0123456789ABCDEF";
    for (unsigned char c : name) {
        if (std::isalnum(c) || std::strchr("-._~/!$'()*+,;=:@%", c)) {
            docx_buf_append(out, &c, 1);
        } else {
            const char escaped[] = {'%', hex[c >> 4], hex[c & 15]};
            docx_buf_append(out, escaped, 3);
        }
    }
}

// The values of the attributes in the r: prefix of the start tags in `body`:
// the relationship IDs it uses, in order.
std::vector<string_view> references(string_view body) {
    std::vector<string_view> ids;
    size_t scanned = 0;
    bool in_tag = false;
    const char *end = body.data() + body.size();
    for (const char *r = docx_find_bytes(body.data(), end, "r:"); r;) {
        const size_t at = static_cast<size_t>(r - body.data());
        const char *next = r + 2;
        if (at > 0 && WHITE_SPACE.find(body[at - 1]) != string_view::npos) {
            size_t mark = body.substr(scanned, at - scanned).find_last_of("<>");
            if (mark != string_view::npos) in_tag = body[scanned + mark] == '<';
            scanned = at;
            const char *p = r;
            xml_attr a;
            if (in_tag && next_attr(p, end, a)) {
                ids.push_back(unquoted(a.quoted));
                // Past the value: what it holds is no attribute.
                next = p;
                scanned = static_cast<size_t>(p - body.data());
            }
        }
        r = docx_find_bytes(next, end, "r:");
    }
    return ids;
}

// IDs are names; one of other characters (a quote, an entity) is not carried,
// since its new form could not be written as it stands.
bool plain_id(string_view id) {
    return std::all_of(id.begin(), id.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == '-' || c == '.' || c >= 0x80;
    });
}

std::string numbered(const char *lead, int number, char tail) {
    std::string s(lead);
    s += std::to_string(number);
    s += tail;
    return s;
}

// A change to a text: `len` bytes at `at` become `text`.
struct edit {
    size_t at = 0;
    size_t len = 0;
    std::string text;
};

// Appends text[from, to) with the edits that lie inside it applied; `edits`
// are sorted by position and do not overlap.
void append_edited(docx_buf *out, string_view text, size_t from, size_t to,
                   const std::vector<edit> &edits) {
    auto e = std::lower_bound(edits.begin(), edits.end(), from,
                              [](const edit &a, size_t at) { return a.at < at; });
    for (; e != edits.end() && e->at + e->len <= to; ++e) {
        if (e->at < from) continue;  // overlaps the edit before: never made
        docx_buf_append_sv(out, text.substr(from, e->at - from));
        docx_buf_append_sv(out, e->text);
        from = e->at + e->len;
    }
    docx_buf_append_sv(out, text.substr(from, to - from));
}

void sort_edits(std::vector<edit> *edits) {
    std::sort(edits->begin(), edits->end(),
              [](const edit &a, const edit &b) { return a.at < b.at; });
}

size_t offset_in(string_view whole, string_view part) {
    return static_cast<size_t>(part.data() - whole.data());
}

// What the merged package gains from the inputs besides their bodies.
struct merged_parts {
    docx_buf relationships;  // of the main part
    docx_buf overrides;      // content types of the copied parts
    std::vector<docx_carried_parts> carried;
};

// The parts of one input that its body (or its notes) refer to through
// relationships, copied below "merged/N/" under their own names, so that
// relative targets between the copied parts still hold; the relationships
// themselves get the IDs "mN_" + their own.
class input_parts {
  public:
    input_parts(int number, docx_heap *file, size_t file_size, string_view main_part)
        : file_(file),
          file_size_(file_size),
          main_part_(main_part),
          prefix_(numbered("merged/", number, '/')),
          id_prefix_(numbered("m", number, '_')) {}

    // Carries what the r: attributes of `xml`, a text of part `source`, refer
    // to: the relationships go to `out_rels`, the new IDs into `edits`
    // (positions in `xml`). -1 on a damaged part.
    int map_references(const std::string &source, string_view xml, docx_buf *out_rels,
                       std::vector<edit> *edits) {
        std::vector<string_view> refs = references(xml);
        if (refs.empty()) return 0;
        if (!open()) return -1;
        const loaded &rels = relationships(source);
        if (!rels.xml) return rels.failed ? -1 : 0;
        const std::unordered_set<string_view> referenced(refs.begin(), refs.end());
        std::unordered_map<string_view, std::string> ids;
        for (const relationship &rel : read_relationships(rels.view())) {
            std::string id;
            if (!ids.contains(rel.id) && referenced.contains(rel.id) &&
                carry_relationship(source, rel, out_rels, &id))
                ids.emplace(rel.id, std::move(id));
        }
        for (string_view ref : refs) {
            auto it = ids.find(ref);
            if (it != ids.end()) edits->push_back({offset_in(xml, ref), ref.size(), it->second});
        }
        return 0;
    }

    // The part that the main part's relationship of type ".../`type`" names,
    // and its name; null when there is none, with `failed` set when damaged.
    docx_heap related_part(string_view type, std::string *name, size_t *len, bool *failed) {
        std::optional<relationship> rel = related(type, failed);
        if (!rel) return nullptr;
        docx_heap xml = target_of(*rel, name, len);
        *failed = !xml && !name->empty();
        return xml;
    }

    // Carries the part that the main part's relationship of type ".../`type`"
    // names, related from the merged main part alike. No body refers to it:
    // where it is missing or damaged, it stays behind and the merge goes on.
    void carry_related(string_view type, docx_buf *out_rels) {
        bool failed = false;
        std::optional<relationship> rel = related(type, &failed);
        std::string name, id;
        size_t len = 0;
        if (rel && target_of(*rel, &name, &len))
            carry_relationship(main_part_, *rel, out_rels, &id);
        docx_clear_error();
    }

    // Queues what the carried parts refer to in turn and hands the copies over
    // to `out`; -1 on a damaged part.
    int finish(merged_parts &out) {
        if (worklist() != 0) return -1;
        if (overrides_.failed) {
            docx_set_error("oom");
            return -1;
        }
        docx_buf_append_buf(&out.overrides, &overrides_);
        if (!parts_.empty())
            out.carried.push_back({std::move(*file_), file_size_, std::move(parts_)});
        return 0;
    }

  private:
    struct loaded {
        docx_heap xml;
        size_t len = 0;
        bool failed = false;
        string_view view() const { return {xml.get(), len}; }
    };

    // The main part's first relationship of type ".../`type`" to a part of
    // the package; `failed` is set when the package or its relationships are
    // damaged.
    std::optional<relationship> related(string_view type, bool *failed) {
        *failed = !open();
        if (*failed) return std::nullopt;
        const loaded &rels = relationships(main_part_);
        *failed = rels.failed;
        if (!rels.xml) return std::nullopt;
        for (const relationship &rel : read_relationships(rels.view())) {
            string_view t = unquoted(rel.quoted_type);
            if (!rel.external && t.size() > type.size() && t.ends_with(type) &&
                t[t.size() - type.size() - 1] == '/')
                return rel;
        }
        return std::nullopt;
    }

    // The part that `rel`, a relationship of the main part, names, and its
    // name (empty when the package has no such part); null when it is absent
    // or damaged.
    docx_heap target_of(const relationship &rel, std::string *name, size_t *len) {
        *name = zip_->entry_name(resolve(folder_of(main_part_), rel.target).c_str());
        return name->empty() ? nullptr : zip_->extract(name->c_str(), len);
    }

    // Carries the target of `rel`, a relationship of part `source`, and writes
    // the relationship to `out_rels` under its new ID `id`; false when it
    // cannot travel.
    bool carry_relationship(const std::string &source, const relationship &rel, docx_buf *out_rels,
                            std::string *id) {
        if (!plain_id(rel.id)) return false;
        std::string target;
        if (!rel.external) {
            target = zip_->entry_name(resolve(folder_of(source), rel.target).c_str());
            if (target.empty() || target == main_part_ || !carry(target)) return false;
        }
        *id = id_prefix_ + std::string(rel.id);
        append_relationship(out_rels, *id, rel, target);
        return true;
    }

    // The package is opened a second time, with its content types, when the
    // first part is asked for. False (message set) when the content types
    // are damaged or memory is short.
    bool open() {
        if (!zip_) {
            zip_.emplace(file_->get(), file_size_);
            if (!zip_->ok()) docx_set_error("not a valid ZIP/DOCX archive");
            if (zip_->ok()) load("[Content_Types].xml", &types_xml_);
        }
        return zip_->ok() && !types_xml_.failed;
    }

    // The relationships part of `source`, read once; empty when absent.
    const loaded &relationships(const std::string &source) {
        auto [it, added] = relationships_.try_emplace(source);
        if (added) load(docx_relationships_of(source), &it->second);
        return it->second;
    }

    // False when the part is absent, or damaged (then `failed` is set).
    bool load(const std::string &name, loaded *part) {
        std::string stored = zip_->entry_name(name.c_str());
        if (stored.empty()) return false;
        part->xml = zip_->extract(stored.c_str(), &part->len);
        part->failed = !part->xml;
        return !part->failed;
    }

    // Queues `part` for copying; false when it has no content type, without
    // which the package would be invalid.
    bool carry(const std::string &part) {
        if (copied_.contains(part)) return true;
        // Below merged/N/ such a name would make no valid part name.
        if (part.starts_with('/') || part.find("//") != std::string::npos) return false;
        string_view type = content_type(types_xml_.view(), part);
        if (type.empty()) return false;
        copied_.insert(part);
        parts_.push_back({part, prefix_ + part});
        docx_buf_append_cstr(&overrides_, "<Override PartName=\"/");
        append_uri(&overrides_, prefix_ + part);
        docx_buf_append_cstr(&overrides_, "\" ContentType=");
        docx_buf_append_sv(&overrides_, type);
        docx_buf_append_cstr(&overrides_, "/>");
        pending_.push_back(part);
        return true;
    }

    // Copies the relationships of each queued part, and queues what they reach.
    int worklist() {
        while (!pending_.empty()) {
            std::string part = std::move(pending_.back());
            pending_.pop_back();
            std::string rels_name = zip_->entry_name(docx_relationships_of(part).c_str());
            if (rels_name.empty() || copied_.contains(rels_name)) continue;
            loaded rels;
            if (!load(rels_name, &rels)) return -1;
            copied_.insert(rels_name);
            parts_.push_back({rels_name, prefix_ + rels_name});
            // The copied relationships are kept as written: only relative
            // targets still name the moved parts.
            for (const relationship &rel : read_relationships(rels.view())) {
                if (rel.external || rel.target.starts_with('/')) continue;
                std::string target = zip_->entry_name(resolve(folder_of(part), rel.target).c_str());
                if (!target.empty() && target != main_part_) carry(target);
            }
        }
        return 0;
    }

    void append_relationship(docx_buf *out, const std::string &id, const relationship &rel,
                             const std::string &target) const {
        docx_buf_append_cstr(out, "<Relationship Id=\"");
        docx_buf_append_sv(out, id);
        docx_buf_append_cstr(out, "\" Type=");
        docx_buf_append_sv(out, rel.quoted_type);
        docx_buf_append_cstr(out, " Target=");
        if (rel.external) {
            docx_buf_append_sv(out, rel.quoted_target);
            docx_buf_append_cstr(out, " TargetMode=\"External\"/>");
            return;
        }
        docx_buf_append_cstr(out, "\"/");
        append_uri(out, prefix_ + target);
        docx_buf_append_cstr(out, "\"/>");
    }

    docx_heap *file_;
    size_t file_size_;
    std::string main_part_;
    std::string prefix_, id_prefix_;
    std::optional<docx_zip_reader> zip_;
    loaded types_xml_;
    std::unordered_map<std::string, loaded> relationships_;
    std::unordered_set<std::string> copied_;
    std::vector<std::string> pending_;
    std::vector<docx_part_copy> parts_;
    docx_buf overrides_;
};

// MARK: - Notes

// Footnotes, endnotes or comments: the body names a note by its w:id.
struct note_kind {
    std::array<const char *, 3> references;  // the elements that do, or null
    const char *note;                        // "w:footnote"
    const char *root;                        // "w:footnotes"
    const char *type;                        // the last segment of the relationship type
    const char *part;                        // the merged notes part
    const char *content_type;
    const char *separators;  // the notes Word draws the separator lines with
};

constexpr note_kind NOTE_KINDS[] = {
    {{"w:footnoteReference"},
     "w:footnote",
     "w:footnotes",
     "footnotes",
     "word/footnotes.xml",
     "application/vnd.openxmlformats-officedocument.wordprocessingml.footnotes+xml",
     "<w:footnote w:type=\"separator\" w:id=\"-1\"><w:p><w:r><w:separator/></w:r></w:p>"
     "</w:footnote><w:footnote w:type=\"continuationSeparator\" w:id=\"0\"><w:p><w:r>"
     "<w:continuationSeparator/></w:r></w:p></w:footnote>"},
    {{"w:endnoteReference"},
     "w:endnote",
     "w:endnotes",
     "endnotes",
     "word/endnotes.xml",
     "application/vnd.openxmlformats-officedocument.wordprocessingml.endnotes+xml",
     "<w:endnote w:type=\"separator\" w:id=\"-1\"><w:p><w:r><w:separator/></w:r></w:p>"
     "</w:endnote><w:endnote w:type=\"continuationSeparator\" w:id=\"0\"><w:p><w:r>"
     "<w:continuationSeparator/></w:r></w:p></w:endnote>"},
    {{"w:commentRangeStart", "w:commentRangeEnd", "w:commentReference"},
     "w:comment",
     "w:comments",
     "comments",
     "word/comments.xml",
     "application/vnd.openxmlformats-officedocument.wordprocessingml.comments+xml",
     ""},
};

// The notes of one kind that the merged bodies refer to, numbered anew.
struct merged_notes {
    explicit merged_notes(const note_kind &k) : kind(k) {}
    const note_kind &kind;
    merged_root root;  // the namespaces of the inputs' notes parts
    docx_buf notes;
    docx_buf relationships;  // of the merged notes part
    int count = 0;
};

// The `name` elements of `xml` with the values of their attribute `attr`; an
// element whose end is missing ends the list.
struct identified {
    const char *start;
    string_view id;
    const char *end;  // just past the element
};
std::vector<identified> elements_by(string_view xml, const char *name, string_view attr) {
    std::vector<identified> all;
    const char *end = xml.data() + xml.size();
    for (const char *p = docx_find_tag(xml.data(), end, name); p;) {
        const char *stop = docx_element_end(p, end, name);
        if (!stop) break;
        all.push_back({p, attr_of(p, end, attr), stop});
        p = docx_find_tag(stop, end, name);
    }
    return all;
}

// The values of attribute `attr` of the start tags `name` of `xml`.
std::vector<string_view> tag_values(string_view xml, const char *name, string_view attr) {
    std::vector<string_view> values;
    const char *end = xml.data() + xml.size();
    for (const char *p = docx_find_tag(xml.data(), end, name); p;
         p = docx_find_tag(p + 1, end, name))
        values.push_back(attr_of(p, end, attr));
    return values;
}

// Edits that give each of the `refs` in `body` (IDs as written) its new
// number, where it has one.
void renumber(string_view body, const std::vector<string_view> &refs,
              const std::unordered_map<string_view, std::string> &numbers,
              std::vector<edit> *body_edits) {
    for (string_view id : refs) {
        auto it = numbers.find(id);
        if (it != numbers.end())
            body_edits->push_back({offset_in(body, id), id.size(), it->second});
    }
}

// Copies the notes of `merged.kind` that `body` refers to, numbered on from
// the notes of the inputs before, and puts their new numbers in `body_edits`.
int collect_notes(input_parts &input, string_view body, merged_notes &merged,
                  std::vector<edit> *body_edits) {
    const note_kind &kind = merged.kind;
    // The body is searched only when there are notes of this kind: most
    // documents have none.
    std::string name;
    size_t len = 0;
    bool failed = false;
    docx_heap xml = input.related_part(kind.type, &name, &len, &failed);
    if (!xml) return failed ? -1 : 0;
    std::vector<string_view> refs;
    for (const char *ref : kind.references) {
        if (!ref) break;
        std::vector<string_view> more = tag_values(body, ref, "w:id");
        refs.insert(refs.end(), more.begin(), more.end());
    }
    if (refs.empty()) return 0;
    string_view notes(xml.get(), len);
    collect_root(merged.root, xml.get(), len, kind.root);
    std::vector<edit> edits;
    if (input.map_references(name, notes, &merged.relationships, &edits) != 0) return -1;
    const std::unordered_set<string_view> referenced(refs.begin(), refs.end());
    std::unordered_map<string_view, std::string> numbers;
    std::vector<std::pair<size_t, size_t>> kept;  // the copied notes' ranges
    for (const identified &note : elements_by(notes, kind.note, "w:id")) {
        if (note.id.empty() || numbers.contains(note.id) || !referenced.contains(note.id)) continue;
        std::string number = std::to_string(++merged.count);
        edits.push_back({offset_in(notes, note.id), note.id.size(), number});
        numbers.emplace(note.id, std::move(number));
        kept.emplace_back(note.start - notes.data(), note.end - notes.data());
    }
    sort_edits(&edits);
    for (auto [from, to] : kept) append_edited(&merged.notes, notes, from, to, edits);
    renumber(body, refs, numbers, body_edits);
    return 0;
}

// A part made from scratch: its root `name` declaring the namespaces of the
// inputs' roots, holding `contents`.
std::string made_part(const char *name, const merged_root &root,
                      std::initializer_list<string_view> contents) {
    docx_buf xml, attrs;
    append_root_attrs(&attrs, root);
    docx_append_root(&xml, name, attrs.view());
    for (string_view c : contents) docx_buf_append_sv(&xml, c);
    docx_buf_append_cstr(&xml, "</");
    docx_buf_append_cstr(&xml, name);
    docx_buf_append_cstr(&xml, ">");
    if (xml.failed || attrs.failed || root.failed()) throw std::bad_alloc();
    return std::string(xml.view());
}

// The notes part of `merged`, or nothing when no body refers to a note.
void add_notes_part(const merged_notes &merged, std::vector<docx_generated_part> *parts) {
    if (merged.count == 0) return;
    if (merged.notes.failed || merged.relationships.failed) throw std::bad_alloc();
    const note_kind &kind = merged.kind;
    parts->push_back({kind.part,
                      made_part(kind.root, merged.root, {kind.separators, merged.notes.view()}),
                      kind.content_type, kind.type, std::string(merged.relationships.view())});
}

// MARK: - Numbering

// The list definitions that the merged bodies' numbered paragraphs use,
// numbered on across the inputs. The abstract definitions come first, as
// the schema orders them.
struct merged_numbering {
    merged_root root;  // the namespaces of the inputs' numbering parts
    docx_buf abstracts, instances;
    docx_buf relationships;  // of the merged numbering part (picture bullets)
    int abstract_count = 0, instance_count = 0;
};

// The w:val of the first `name` element inside [from, to), as written.
string_view child_value(const char *from, const char *to, const char *name) {
    const char *tag = docx_find_tag(from, to, name);
    return tag ? attr_of(tag, to, "w:val") : string_view();
}

// A text whose references are given new numbers, and where their edits go.
struct renumbered_text {
    string_view text;
    std::vector<edit> *edits;
};

// Copies the list instances (w:num) that the `texts` use by w:numId, and the
// abstract definitions they use, both numbered on, and puts the new numbers
// in the texts' edits. w:numId 0 means "no list" and stays.
int collect_numbering(input_parts &input, std::initializer_list<renumbered_text> texts,
                      merged_numbering &merged) {
    std::string name;
    size_t len = 0;
    bool failed = false;
    docx_heap xml = input.related_part("numbering", &name, &len, &failed);
    if (!xml) return failed ? -1 : 0;
    std::vector<std::vector<string_view>> refs;
    bool any = false;
    for (const renumbered_text &t : texts) {
        refs.push_back(tag_values(t.text, "w:numId", "w:val"));
        any = any || !refs.back().empty();
    }
    if (!any) return 0;
    string_view numbering(xml.get(), len);
    collect_root(merged.root, xml.get(), len, "w:numbering");
    std::vector<edit> edits;
    if (input.map_references(name, numbering, &merged.relationships, &edits) != 0) return -1;
    std::unordered_set<string_view> referenced;
    for (const auto &r : refs) referenced.insert(r.begin(), r.end());
    std::unordered_map<string_view, std::string> numbers, abstract_numbers;
    std::vector<std::pair<size_t, size_t>> instances, abstracts;
    for (const identified &num : elements_by(numbering, "w:num", "w:numId")) {
        if (num.id.empty() || num.id == "0" || numbers.contains(num.id) ||
            !referenced.contains(num.id))
            continue;
        std::string number = std::to_string(++merged.instance_count);
        edits.push_back({offset_in(numbering, num.id), num.id.size(), number});
        numbers.emplace(num.id, std::move(number));
        instances.emplace_back(num.start - numbering.data(), num.end - numbering.data());
        string_view abstract = child_value(num.start, num.end, "w:abstractNumId");
        if (abstract.empty()) continue;
        auto [it, added] = abstract_numbers.try_emplace(abstract);
        if (added) it->second = std::to_string(++merged.abstract_count);
        edits.push_back({offset_in(numbering, abstract), abstract.size(), it->second});
    }
    std::unordered_set<string_view> copied;
    for (const identified &def : elements_by(numbering, "w:abstractNum", "w:abstractNumId")) {
        auto it = abstract_numbers.find(def.id);
        if (it == abstract_numbers.end() || !copied.insert(def.id).second) continue;
        edits.push_back({offset_in(numbering, def.id), def.id.size(), it->second});
        abstracts.emplace_back(def.start - numbering.data(), def.end - numbering.data());
    }
    sort_edits(&edits);
    for (auto [from, to] : abstracts) append_edited(&merged.abstracts, numbering, from, to, edits);
    for (auto [from, to] : instances) append_edited(&merged.instances, numbering, from, to, edits);
    size_t i = 0;
    for (const renumbered_text &t : texts) renumber(t.text, refs[i++], numbers, t.edits);
    return 0;
}

// The numbering part of `merged`, or nothing when no body uses a list.
void add_numbering_part(const merged_numbering &merged, std::vector<docx_generated_part> *parts) {
    if (merged.instance_count == 0) return;
    if (merged.abstracts.failed || merged.instances.failed || merged.relationships.failed)
        throw std::bad_alloc();
    parts->push_back(
        {"word/numbering.xml",
         made_part("w:numbering", merged.root, {merged.abstracts.view(), merged.instances.view()}),
         "application/vnd.openxmlformats-officedocument.wordprocessingml.numbering+xml",
         "numbering", std::string(merged.relationships.view())});
}

// MARK: - Styles

// The styles the merged bodies name: every input's, the first definition of
// an ID winning (Word, too, keeps the styles of the document it inserts a
// file into), then the package's own for IDs that no input defines. The
// defaults and latent styles are those of the first input with a styles part.
struct merged_styles {
    merged_root root;   // the namespaces of the inputs' styles parts
    docx_buf defaults;  // w:docDefaults and w:latentStyles
    docx_buf styles;
    std::unordered_set<std::string> ids;
    std::unordered_set<std::string> default_types;  // types with a default style
    bool defaults_taken = false;
};

bool on(string_view quoted) {
    string_view v = unquoted(quoted);
    return v == "1" || v == "true" || v == "on";
}

// Two default styles of one type would leave the choice to each reader: a
// style that is not the first of its type to claim it stops claiming it.
void keep_first_default(string_view xml, const identified &style, merged_styles &merged,
                        std::vector<edit> *edits) {
    const char *p = style.start + std::strlen("<w:style");
    string_view type = "paragraph";  // when w:type is not given
    std::optional<xml_attr> flag;
    xml_attr a;
    while (next_attr(p, style.end, a)) {
        if (a.name == "w:type") type = unquoted(a.quoted);
        if (a.name == "w:default" && on(a.quoted)) flag = a;
    }
    if (!flag || merged.default_types.emplace(type).second) return;
    const char *from = flag->name.data();
    while (from > style.start && WHITE_SPACE.find(from[-1]) != string_view::npos) --from;
    const char *to = flag->quoted.data() + flag->quoted.size();
    edits->push_back({static_cast<size_t>(from - xml.data()), static_cast<size_t>(to - from), ""});
}

void take_element(string_view xml, const char *name, docx_buf *out) {
    const char *end = xml.data() + xml.size();
    const char *tag = docx_find_tag(xml.data(), end, name);
    const char *stop = tag ? docx_element_end(tag, end, name) : nullptr;
    if (stop) docx_buf_append(out, tag, static_cast<size_t>(stop - tag));
}

// Adds the styles of `xml`, a styles part, whose IDs are new, with `edits`
// (its lists' new numbers) applied.
void collect_styles(string_view xml, std::vector<edit> edits, merged_styles &merged) {
    collect_root(merged.root, xml.data(), xml.size(), "w:styles");
    if (!merged.defaults_taken) {
        merged.defaults_taken = true;
        take_element(xml, "w:docDefaults", &merged.defaults);
        take_element(xml, "w:latentStyles", &merged.defaults);
    }
    std::vector<std::pair<size_t, size_t>> kept;
    for (const identified &style : elements_by(xml, "w:style", "w:styleId")) {
        if (style.id.empty() || !merged.ids.emplace(style.id).second) continue;
        keep_first_default(xml, style, merged, &edits);
        kept.emplace_back(style.start - xml.data(), style.end - xml.data());
    }
    sort_edits(&edits);
    for (auto [from, to] : kept) append_edited(&merged.styles, xml, from, to, edits);
}

std::string styles_part(merged_styles &merged) {
    collect_styles(docx_default_styles(), {}, merged);
    if (merged.defaults.failed || merged.styles.failed) throw std::bad_alloc();
    return made_part("w:styles", merged.root, {merged.defaults.view(), merged.styles.view()});
}

// MARK: - Settings

// The settings that shape the pages of the first input, whose final section
// ends the merged body (even-page headers, mirrored margins, the Word version
// it is laid out for, tabs, hyphenation, theme fonts and colours), in the
// schema's order. Settings that refer to other parts or notes, protect the
// document or track changes stay behind.
constexpr const char *LAYOUT_SETTINGS[] = {
    "w:mirrorMargins",
    "w:alignBordersAndEdges",
    "w:bordersDoNotSurroundHeader",
    "w:bordersDoNotSurroundFooter",
    "w:gutterAtTop",
    "w:defaultTabStop",
    "w:autoHyphenation",
    "w:consecutiveHyphenLimit",
    "w:hyphenationZone",
    "w:doNotHyphenateCaps",
    "w:evenAndOddHeaders",
    "w:bookFoldRevPrinting",
    "w:bookFoldPrinting",
    "w:bookFoldPrintingSheets",
    "w:drawingGridHorizontalSpacing",
    "w:drawingGridVerticalSpacing",
    "w:displayHorizontalDrawingGridEvery",
    "w:displayVerticalDrawingGridEvery",
    "w:doNotUseMarginsForDrawingGridOrigin",
    "w:drawingGridHorizontalOrigin",
    "w:drawingGridVerticalOrigin",
    "w:noPunctuationKerning",
    "w:characterSpacingControl",
    "w:strictFirstAndLastChars",
    "w:noLineBreaksAfter",
    "w:noLineBreaksBefore",
    "w:compat",
    "m:mathPr",
    "w:themeFontLang",
    "w:clrSchemeMapping",
    "w:decimalSymbol",
    "w:listSeparator",
};

// The layout settings of `input`'s settings part, made into the merged
// settings part; empty when it keeps none. A damaged settings part stays
// behind: no body needs it.
std::string layout_settings(input_parts &input) {
    std::string name;
    size_t len = 0;
    bool failed = false;
    docx_heap settings = input.related_part("settings", &name, &len, &failed);
    docx_clear_error();
    if (!settings) return {};
    const string_view xml(settings.get(), len);
    merged_root root;
    collect_root(root, xml.data(), xml.size(), "w:settings");
    docx_buf kept;
    for (const char *setting : LAYOUT_SETTINGS) take_element(xml, setting, &kept);
    if (kept.failed) throw std::bad_alloc();
    return kept.len ? made_part("w:settings", root, {kept.view()}) : std::string();
}

// MARK: - Inputs

// Everything the merged package gathers from its inputs.
struct merged_package {
    docx_buf bodies;
    docx_buf section;      // the first input's final w:sectPr
    std::string settings;  // and the settings its pages are laid out by
    merged_root root;
    merged_parts parts;
    merged_notes notes[std::size(NOTE_KINDS)] = {
        merged_notes(NOTE_KINDS[0]), merged_notes(NOTE_KINDS[1]), merged_notes(NOTE_KINDS[2])};
    merged_numbering lists;
    merged_styles styles;
    int drawings = 0, bookmarks = 0;  // the numbers given so far
};

// Carries what `body`, the body of `input`, refers to, with the input's
// styles (and the first input's layout settings and font table), and puts the
// new IDs and numbers into `edits`.
int collect_parts(input_parts &input, bool first, const std::string &main_part, string_view body,
                  merged_package &merged, std::vector<edit> *edits) {
    if (input.map_references(main_part, body, &merged.parts.relationships, edits) != 0) return -1;
    for (merged_notes &n : merged.notes)
        if (collect_notes(input, body, n, edits) != 0) return -1;
    std::string styles_name;
    size_t styles_len = 0;
    bool failed = false;
    docx_heap styles_xml = input.related_part("styles", &styles_name, &styles_len, &failed);
    if (failed) return -1;
    const string_view styles_text(styles_xml.get(), styles_xml ? styles_len : 0);
    std::vector<edit> style_edits;
    if (collect_numbering(input, {{body, edits}, {styles_text, &style_edits}}, merged.lists) != 0)
        return -1;
    if (styles_xml) {
        // The theme gives the fonts and colours that the first styles refer to.
        if (!merged.styles.defaults_taken)
            input.carry_related("theme", &merged.parts.relationships);
        collect_styles(styles_text, std::move(style_edits), merged.styles);
    }
    if (first) {
        merged.settings = layout_settings(input);
        // What its fonts fall back to, and the fonts it embeds.
        input.carry_related("fontTable", &merged.parts.relationships);
    }
    return input.finish(merged.parts);
}

// Calls `visit(p, end)` at each '<' in `body` that `lead` begins; the search
// passes over the body 16 bytes at a time.
template <class Visit>
void each_lead(string_view body, string_view lead, Visit visit) {
    const char *end = body.data() + body.size();
    for (const char *p = docx_find_bytes(body.data(), end, lead); p;
         p = docx_find_bytes(p + lead.size(), end, lead))
        visit(p, end);
}

// Word takes a document whose drawings share a wp:docPr ID for damaged, and
// every document numbers its own from 1: each drawing gets the next number of
// the merged body.
void renumber_drawings(string_view body, int *drawings, std::vector<edit> *edits) {
    each_lead(body, "<wp:docPr", [&](const char *p, const char *end) {
        string_view id = docx_tag_opens(p, end, "wp:docPr") ? attr_of(p, end, "id") : "";
        if (!id.empty())
            edits->push_back({offset_in(body, id), id.size(), std::to_string(++*drawings)});
    });
}

// A bookmark's ID pairs its start with its end and must be unique in the
// document: each ID an input uses gets the next number of the merged body,
// in its starts and ends alike.
void renumber_bookmarks(string_view body, int *bookmarks, std::vector<edit> *edits) {
    std::unordered_map<string_view, std::string> numbers;
    each_lead(body, "<w:bookmark", [&](const char *p, const char *end) {
        if (!docx_tag_opens(p, end, "w:bookmarkStart") && !docx_tag_opens(p, end, "w:bookmarkEnd"))
            return;
        string_view id = attr_of(p, end, "w:id");
        if (id.empty()) return;
        auto [it, added] = numbers.try_emplace(id);
        if (added) it->second = std::to_string((*bookmarks)++);
        edits->push_back({offset_in(body, id), id.size(), it->second});
    });
}

// The body's final w:sectPr, which starts at `p` where there is one.
string_view final_section(const char *p, const char *end) {
    if (!docx_tag_opens(p, end, "w:sectPr")) return {};
    const char *section_end = docx_element_end(p, end, "w:sectPr");
    return section_end ? string_view(p, static_cast<size_t>(section_end - p)) : string_view();
}

// An input's main part, taken out while the rest of a large file is still
// being read.
int extract_input_main(docx_file_load &file, const char *path, docx_heap *xml, size_t *xml_len,
                       docx_heap *part_name) {
    switch (docx_detect_encrypted(file)) {
        case DOCX_ENCRYPTED:
            docx_set_error("encrypted document in merge list: %s (encrypted:true)", path);
            return -1;
        case DOCX_LEGACY_BINARY:
            docx_set_error("legacy binary Word document (.doc) in merge list: %s", path);
            return -1;
        default:
            return docx_zip_extract_main(file, xml, xml_len, part_name);
    }
}

// Adds one input's body to the merged bodies (after a line feed unless it is
// the first), with what it refers to. The first input's final section (page
// setup, headers and footers) ends the merged body, as a document keeps its
// own when a file is inserted into it.
int collect_input(const char *path, int number, merged_package &merged) {
    docx_file_load file;
    if (file.start(path) != 0) return -1;
    docx_heap xml, part_name;
    size_t xml_len = 0;
    int extracted = extract_input_main(file, path, &xml, &xml_len, &part_name);
    docx_heap data;
    size_t size = 0;
    // A part of the file that could not be read explains any failure above.
    if (file.finish(&data, &size) != 0 || extracted != 0) return -1;
    if (declares_document_type(xml.get(), xml_len)) {
        docx_set_error("document type declaration in merge input not supported: %s", path);
        return -1;
    }
    const char *body_start = nullptr;
    size_t body_len = 0;
    if (docx_body_inner_range(xml.get(), xml_len, &body_start, &body_len) != 0) return -1;
    const string_view body(body_start, body_len);
    const string_view section =
        number == 1 ? final_section(body.data() + body.size(), xml.get() + xml_len) : string_view();
    // The section follows the body: both are one text to carry references from.
    const string_view text(body_start, body_len + section.size());
    collect_root(merged.root, xml.get(), xml_len, "w:document");
    input_parts input(number, &data, size, part_name.get());
    std::vector<edit> edits;
    if (collect_parts(input, number == 1, part_name.get(), text, merged, &edits) != 0) return -1;
    renumber_drawings(body, &merged.drawings, &edits);
    renumber_bookmarks(body, &merged.bookmarks, &edits);
    sort_edits(&edits);
    if (number > 1) docx_buf_append(&merged.bodies, "\n", 1);
    append_edited(&merged.bodies, text, 0, body.size(), edits);
    append_edited(&merged.section, text, body.size(), text.size(), edits);
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
    merged_package merged;
    int number = 0;
    for (const auto &element : list) {
        const std::string *path = element_path(element);
        if (!path || collect_input(path->c_str(), ++number, merged) != 0) return -1;
    }
    std::vector<docx_generated_part> generated;
    for (const merged_notes &n : merged.notes) add_notes_part(n, &generated);
    add_numbering_part(merged.lists, &generated);
    if (!merged.settings.empty())
        generated.push_back({"word/settings.xml", std::move(merged.settings),
                             "application/vnd.openxmlformats-officedocument.wordprocessingml."
                             "settings+xml",
                             "settings", ""});
    const std::string styles_xml = styles_part(merged.styles);
    // The bodies are nearly all of the part: the head goes in front of them
    // in place, so that they are never held twice.
    docx_buf attrs, head;
    docx_buf &bodies = merged.bodies;
    const merged_parts &parts = merged.parts;
    append_root_attrs(&attrs, merged.root);
    docx_append_document_head(&head, attrs.view());
    docx_buf_prepend(&bodies, head.view());
    docx_append_document_tail(&bodies, merged.section.view());
    if (bodies.failed || merged.section.failed || head.failed || attrs.failed ||
        merged.root.failed() || parts.relationships.failed || parts.overrides.failed) {
        docx_set_error("oom");
        return -1;
    }
    const docx_package_extras extras = {parts.relationships.view(), parts.overrides.view(),
                                        parts.carried, generated, styles_xml};
    return docx_zip_write_simple(out_path, bodies.data, bodies.len, nullptr, 0, &extras);
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
