// docx_replace.cpp -- find and replace across runs in the main document part.
#include "docx_internal.h"

int docx_replace_impl(const docx_doc *, const char *, const char *, const char *, int *, int, int) {
    docx_set_error("not implemented");
    return -1;
}
