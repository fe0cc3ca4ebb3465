// docx_write.cpp -- building a main document part from Markdown or plain text.
//
// The text is never copied: lines, segments and cells are views into the
// caller's string, escaped straight into the output buffer.
#include <algorithm>
#include <string_view>

#include "docx_internal.h"

namespace {

using std::string_view;

constexpr string_view XML_DECLARATION =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";
constexpr string_view W_AND_R_DECLARATIONS =
    " xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";
constexpr string_view LETTER_SECTION =
    "<w:sectPr><w:pgSz w:w=\"12240\" w:h=\"15840\"/><w:pgMar w:top=\"1440\" w:right=\"1440\" "
    "w:bottom=\"1440\" w:left=\"1440\"/></w:sectPr>";
constexpr string_view PAGE_BREAK = "<w:p><w:r><w:br w:type=\"page\"/></w:r></w:p>";
constexpr string_view TABLE_START =
    "<w:tbl><w:tblPr><w:tblW w:w=\"0\" w:type=\"auto\"/></w:tblPr><w:tblGrid>";
constexpr string_view GRID_COLUMN = "<w:gridCol w:w=\"2000\"/>";
constexpr string_view CELL_START =
    "<w:tc><w:tcPr><w:tcW w:w=\"2000\" w:type=\"dxa\"/></w:tcPr><w:p>";
constexpr string_view WHITE_SPACE = " \t\n\v\f\r";

void append(docx_buf *out, string_view s) {
    docx_buf_append_sv(out, s);
}

// The next line that is not blank: a line feed ends a line, one carriage
// return before it is dropped, and a line left empty is skipped, so Windows
// line endings split the text exactly like bare line feeds.
bool next_line(string_view &rest, string_view &line) {
    while (!rest.empty()) {
        size_t lf = rest.find('\n');
        line = rest.substr(0, lf);
        rest = lf == string_view::npos ? string_view() : rest.substr(lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) return true;
    }
    return false;
}

// Bytes that escaping drops (control characters XML 1.0 cannot carry).
bool dropped_by_escape(char c) {
    return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

// Judged on the text as it will read once escaped: entities never begin or end
// with a space, and dropped control characters are not there.
bool needs_preserve(string_view text) {
    if (text.find('\t') != string_view::npos) return true;
    auto first = std::find_if_not(text.begin(), text.end(), dropped_by_escape);
    auto last = std::find_if_not(text.rbegin(), text.rend(), dropped_by_escape);
    return first != text.end() && (*first == ' ' || *last == ' ');
}

void append_run(docx_buf *out, string_view text, bool bold, bool italic) {
    if (text.empty()) return;
    append(out, "<w:r>");
    if (bold || italic) {
        append(out, "<w:rPr>");
        if (bold) append(out, "<w:b/><w:bCs/>");
        if (italic) append(out, "<w:i/><w:iCs/>");
        append(out, "</w:rPr>");
    }
    append(out, needs_preserve(text) ? "<w:t xml:space=\"preserve\">" : "<w:t>");
    docx_xml_escape(text.data(), text.size(), out);
    append(out, "</w:t></w:r>");
}

// Tries the emphasis that `marker` opens at `at` ("*" italic, "**" bold, "***"
// both): writes the text up to the first closing marker and returns the
// position past it, or npos when the marker is never closed.
size_t emphasis_run(docx_buf *out, string_view line, size_t at, string_view marker) {
    size_t from = at + marker.size();
    size_t close = line.find(marker, from);
    if (close == string_view::npos) return close;
    append_run(out, line.substr(from, close - from), marker.size() >= 2, marker.size() != 2);
    return close + marker.size();
}

// One '*' at `at`: the position after the emphasis it opens, or after the
// literal '*' it is. Double and triple markers may open before a space, a
// single one may not; an unclosed marker is literal.
size_t append_marker(docx_buf *out, string_view line, size_t at) {
    auto is = [&](size_t i, char c) { return i < line.size() && line[i] == c; };
    size_t next = string_view::npos;
    if (is(at + 1, '*') && is(at + 2, '*') && at + 3 < line.size())
        next = emphasis_run(out, line, at, "***");
    if (next == string_view::npos && is(at + 1, '*') && at + 2 < line.size())
        next = emphasis_run(out, line, at, "**");
    if (next == string_view::npos && at + 1 < line.size() && !is(at + 1, '*') && !is(at + 1, ' '))
        next = emphasis_run(out, line, at, "*");
    if (next != string_view::npos) return next;
    append_run(out, "*", false, false);
    return at + 1;
}

void append_md_runs(docx_buf *out, string_view line) {
    size_t at = 0;
    while (at < line.size()) {
        if (line[at] == '*') {
            at = append_marker(out, line, at);
            continue;
        }
        size_t star = line.find('*', at);
        // A '*' that ends the line stays text.
        size_t end = star == string_view::npos || star + 1 == line.size() ? line.size() : star;
        append_run(out, line.substr(at, end - at), false, false);
        at = end;
    }
}

string_view trim(string_view s) {
    size_t b = s.find_first_not_of(WHITE_SPACE);
    if (b == string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(WHITE_SPACE) - b + 1);
}

string_view skip_white(string_view s) {
    size_t b = s.find_first_not_of(WHITE_SPACE);
    return b == string_view::npos ? string_view() : s.substr(b);
}

// Counted on the first row alone, separator or not: its '|' after the first.
size_t grid_columns(string_view first_row) {
    if (first_row.front() == '|') first_row.remove_prefix(1);
    size_t bars = static_cast<size_t>(std::count(first_row.begin(), first_row.end(), '|'));
    return std::max<size_t>(bars, 1);
}

bool is_separator_row(string_view row) {
    row = skip_white(row);
    if (row.empty() || row.front() != '|') return false;
    if (row.find_first_not_of("|-:\t\n\v\f\r ") != string_view::npos) return false;
    return std::count(row.begin(), row.end(), '|') >= 2 &&
           std::count(row.begin(), row.end(), '-') >= 2;
}

void append_row(docx_buf *out, string_view row) {
    append(out, "<w:tr>");
    row = skip_white(row);
    if (!row.empty() && row.front() == '|') row.remove_prefix(1);
    while (!row.empty()) {
        size_t bar = row.find('|');
        append(out, CELL_START);
        append_run(out, trim(row.substr(0, bar)), false, false);
        append(out, "</w:p></w:tc>");
        if (bar == string_view::npos) break;
        row.remove_prefix(bar + 1);  // a closing '|' opens no further cell
    }
    append(out, "</w:tr>");
}

// `rows` runs from the first row line to the end of the last; the lines in
// between are rows or blank.
void append_table_from_md_rows(docx_buf *out, string_view rows) {
    string_view rest = rows, row;
    next_line(rest, row);
    append(out, TABLE_START);
    for (size_t i = grid_columns(row); i > 0; --i) append(out, GRID_COLUMN);
    append(out, "</w:tblGrid>");
    rest = rows;
    while (next_line(rest, row))
        if (!is_separator_row(row)) append_row(out, row);
    append(out, "</w:tbl>");
}

void append_heading(docx_buf *out, string_view line) {
    size_t hashes = std::min(line.find_first_not_of('#'), line.size());
    string_view text = line.substr(hashes);
    text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));  // not tabs
    docx_buf_printf(out, "<w:p><w:pPr><w:pStyle w:val=\"Heading%zu\"/></w:pPr>",
                    std::min<size_t>(hashes, 6));
    append_md_runs(out, text);
    append(out, "</w:p>");
}

void append_md_line(docx_buf *out, string_view line) {
    if (line == "---" || line == "***") {
        append(out, PAGE_BREAK);
    } else if (line.front() == '#') {
        append_heading(out, line);
    } else {
        append(out, "<w:p>");
        append_md_runs(out, line);
        append(out, "</w:p>");
    }
}

void append_markdown_body(docx_buf *out, string_view text) {
    string_view rest = text, line, rows;
    while (next_line(rest, line)) {
        if (line.front() == '|') {
            const char *first = rows.empty() ? line.data() : rows.data();
            rows = string_view(first, static_cast<size_t>(line.data() + line.size() - first));
            continue;
        }
        if (!rows.empty()) append_table_from_md_rows(out, rows);
        rows = {};
        append_md_line(out, line);
    }
    if (!rows.empty()) append_table_from_md_rows(out, rows);
}

void append_plain_body(docx_buf *out, string_view text) {
    string_view rest = text, line;
    while (next_line(rest, line)) {
        append(out, "<w:p>");
        append_run(out, line, false, false);
        append(out, "</w:p>");
    }
}

int build_document_xml(docx_buf *out, const char *text, bool markdown) {
    docx_append_document_head(out, {});
    string_view body = text ? string_view(text) : string_view();
    if (markdown)
        append_markdown_body(out, body);
    else
        append_plain_body(out, body);
    docx_append_document_tail(out);
    if (out->failed) {
        docx_set_error("oom");
        return -1;
    }
    return 0;
}

int write_from_text(const char *text, const char *path, bool markdown) {
    docx_buf xml;
    if (build_document_xml(&xml, text, markdown) != 0) return -1;
    return docx_zip_write_simple(path, xml.data, xml.len, nullptr, 0);
}

}  // namespace

void docx_append_root(docx_buf *out, std::string_view name, std::string_view root_attrs) {
    append(out, XML_DECLARATION);
    append(out, "<");
    append(out, name);
    append(out, W_AND_R_DECLARATIONS);
    append(out, root_attrs);
    append(out, ">");
}

void docx_append_document_head(docx_buf *out, std::string_view root_attrs) {
    docx_append_root(out, "w:document", root_attrs);
    append(out, "<w:body>");
}

void docx_append_document_tail(docx_buf *out, string_view section) {
    append(out, section.empty() ? LETTER_SECTION : section);
    append(out, "</w:body></w:document>");
}

int docx_write_from_md(const char *text, const char *path) {
    return write_from_text(text, path, true);
}

int docx_write_from_plain(const char *text, const char *path) {
    return write_from_text(text, path, false);
}
