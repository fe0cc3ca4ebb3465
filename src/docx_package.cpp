// docx_package.cpp -- reading DOCX files and ZIP parts, and writing packages.
#include "docx_internal.h"

int docx_read_file(const char *, docx_heap *, size_t *) {
    docx_set_error("not implemented");
    return -1;
}

int docx_detect_encrypted(const void *, size_t) { return 0; }

docx_heap docx_zip_extract(const void *, size_t, const char *, size_t *out_len) {
    *out_len = 0;
    docx_set_error("not implemented");
    return nullptr;
}

int docx_zip_extract_main(const void *, size_t, docx_heap *, size_t *, docx_heap *) {
    docx_set_error("not implemented");
    return -1;
}

int docx_zip_write_simple(const char *, const char *, size_t, const char *, size_t) {
    docx_set_error("not implemented");
    return -1;
}

int docx_zip_rewrite_document(const void *, size_t, const char *, const char *, size_t,
                              const char *) {
    docx_set_error("not implemented");
    return -1;
}
