// docx_merge.cpp -- joining the bodies of several documents into one package.
#include "docx_internal.h"

int docx_merge_impl(const char *, const char *) {
    docx_set_error("not implemented");
    return -1;
}
