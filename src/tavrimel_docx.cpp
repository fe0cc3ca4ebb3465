// tavrimel_docx.cpp -- the library frame: handle table, last error, result
// buffer, and the ten exported functions.
//
// Each export clears the last error, checks its arguments and runs one worker.
// No C++ exception leaves an export: workers report failure as -1.
#include "tavrimel_docx.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "docx_internal.h"

// MARK: - Process-wide state (Private)

namespace {

docx_doc g_docs[DOCX_MAX_HANDLES];
char g_err[DOCX_ERR_SIZE];

// The text the last text-returning call handed out, and the buffer the next
// one is built in. The two trade blocks when a call succeeds: the text is never
// copied, a failing call leaves the last text whole, and a caller reading
// documents in a loop reuses the same two blocks.
docx_buf g_last;
docx_buf g_next;

// A function-local static is initialised exactly once, race-free, on first
// use, and never destroyed: the lock outlives every caller.
std::mutex &table_mutex() {
    static std::mutex *m = new std::mutex;
    return *m;
}

docx_buf *next_text() {
    docx_buf_clear(&g_next);
    g_next.failed = false;
    return &g_next;
}

// Hands the text built by next_text to the caller, or null when the worker
// failed or the text is incomplete for lack of memory.
const char *text_result(int rc) {
    if (rc != 0) return nullptr;
    if (g_next.failed) {
        docx_set_error("out of memory");
        return nullptr;
    }
    g_last.swap(g_next);
    return g_last.data ? g_last.data : "";
}

docx_doc *checked_doc(int handle) {
    docx_doc *d = docx_doc_get(handle);
    if (!d) docx_set_error("invalid handle");
    return d;
}

int take_free_slot(docx_doc &&loaded) {
    std::lock_guard<std::mutex> guard(table_mutex());
    for (int i = 0; i < DOCX_MAX_HANDLES; ++i) {
        if (g_docs[i].in_use) continue;
        g_docs[i] = std::move(loaded);
        g_docs[i].in_use = 1;
        return i;
    }
    return -1;
}

// The main part and core properties, taken out while a large file's other
// parts are still being read.
int load_parts(docx_file_load &file, const char *path, docx_doc *d) {
    switch (docx_detect_encrypted(file)) {
        case DOCX_ENCRYPTED:
            docx_set_error(
                "encrypted document (encrypted:true); password-protected DOCX is not supported");
            return -1;
        case DOCX_LEGACY_BINARY:
            docx_set_error(
                "not a DOCX file: %s is a legacy binary Office document (such as a "
                "Word 97-2003 .doc); save it as .docx first",
                path);
            return -1;
        default:
            break;
    }
    if (docx_zip_extract_main(file, &d->doc_xml, &d->doc_len, &d->doc_part) != 0) return -1;
    // A package without core properties is still a document.
    d->core_xml = docx_zip_extract(file, "docProps/core.xml", &d->core_len);
    docx_clear_error();
    return 0;
}

int open_impl(const char *path) {
    docx_doc d;
    docx_file_load file;
    if (file.start(path) != 0) return -1;
    int loaded = load_parts(file, path, &d);
    // A part of the file that could not be read explains any failure above.
    if (file.finish(&d.file_data, &d.file_len) != 0 || loaded != 0) return -1;
    d.path.reset(strdup(path));
    int h = take_free_slot(std::move(d));
    if (h < 0) docx_set_error("too many open handles (max %d)", DOCX_MAX_HANDLES);
    return h;
}

int replace_export(int handle, const char *find, const char *replace, const char *out_path,
                   int match_case, int whole_word) {
    docx_clear_error();
    if (!replace || !out_path || !find) {
        docx_set_error("NULL argument to docx_text_replace_opt");
        return -1;
    }
    if (!*find) {
        docx_set_error("empty find string");
        return -1;
    }
    docx_doc *d = checked_doc(handle);
    if (!d) return -1;
    int count = 0;
    if (docx_replace_impl(d, find, replace, out_path, &count, match_case != 0, whole_word != 0) !=
        0)
        return -1;
    return count;
}

}  // namespace

// MARK: - Library-wide functions

void docx_set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(g_err, sizeof g_err, fmt, ap);
    va_end(ap);
}

void docx_clear_error() {
    g_err[0] = 0;
}

size_t docx_result_capacity() {
    return g_last.cap;
}

docx_doc *docx_doc_get(int handle) {
    unsigned h = static_cast<unsigned>(handle);
    if (h >= static_cast<unsigned>(DOCX_MAX_HANDLES) || !g_docs[h].in_use) return nullptr;
    return &g_docs[h];
}

// MARK: - Exports

extern "C" {

int docx_open(const char *path) {
    docx_clear_error();
    if (!path) {
        docx_set_error("NULL path");
        return -1;
    }
    return open_impl(path);
}

void docx_close(int handle) {
    docx_doc released;
    {
        std::lock_guard<std::mutex> guard(table_mutex());
        docx_doc *d = docx_doc_get(handle);
        if (!d) return;
        released = std::move(*d);
        *d = docx_doc{};
    }
    // The blocks are freed outside the lock as `released` goes out of scope.
}

const char *docx_last_error(void) {
    return g_err;
}

const char *docx_content(int handle, int format) {
    docx_clear_error();
    docx_doc *d = checked_doc(handle);
    if (!d) return nullptr;
    if (static_cast<unsigned>(format) > 1) {
        docx_set_error("format must be 0 (markdown) or 1 (plain)");
        return nullptr;
    }
    return text_result(docx_extract_content(d->doc_xml.get(), d->doc_len, format, next_text()));
}

const char *docx_tables(int handle) {
    docx_clear_error();
    docx_doc *d = checked_doc(handle);
    if (!d) return nullptr;
    return text_result(docx_extract_tables_json(d->doc_xml.get(), d->doc_len, next_text()));
}

const char *docx_info(int handle) {
    docx_clear_error();
    docx_doc *d = checked_doc(handle);
    if (!d) return nullptr;
    return text_result(docx_build_info_json(d, next_text()));
}

int docx_write(const char *text, int format, const char *out_path) {
    docx_clear_error();
    if (!text || !out_path) {
        docx_set_error("NULL argument to docx_write");
        return 0;
    }
    int rc;
    switch (format) {
        case 0:
            rc = docx_write_from_md(text, out_path);
            break;
        case 1:
            rc = docx_write_from_plain(text, out_path);
            break;
        default:
            docx_set_error("format must be 0 (markdown) or 1 (plain)");
            return 0;
    }
    return rc == 0 ? 1 : 0;
}

int docx_merge(const char *paths_json, const char *out_path) {
    docx_clear_error();
    if (!paths_json || !out_path) {
        docx_set_error("NULL argument to docx_merge");
        return 0;
    }
    return docx_merge_impl(paths_json, out_path) == 0 ? 1 : 0;
}

int docx_text_replace(int handle, const char *find, const char *replace, const char *out_path) {
    return replace_export(handle, find, replace, out_path, 1, 0);
}

int docx_text_replace_opt(int handle, const char *find, const char *replace, const char *out_path,
                          int match_case, int whole_word) {
    return replace_export(handle, find, replace, out_path, match_case, whole_word);
}

}  // extern "C"
