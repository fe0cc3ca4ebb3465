// docx_write.cpp -- building a main document part from Markdown or plain text.
#include "docx_internal.h"

int docx_write_from_md(const char *, const char *) {
    docx_set_error("not implemented");
    return -1;
}

int docx_write_from_plain(const char *, const char *) {
    docx_set_error("not implemented");
    return -1;
}
