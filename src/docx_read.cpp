// docx_read.cpp -- rendering the body as Markdown or plain text, and the tables as JSON.
#include "docx_internal.h"

int docx_extract_content(const char *, size_t, int, docx_buf *) {
    docx_set_error("not implemented");
    return -1;
}

int docx_extract_tables_json(const char *, size_t, docx_buf *) {
    docx_set_error("not implemented");
    return -1;
}
