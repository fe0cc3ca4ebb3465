// docx_info.cpp -- the one-line JSON summary of a document.
#include "docx_internal.h"

int docx_build_info_json(const docx_doc *, docx_buf *) {
    docx_set_error("not implemented");
    return -1;
}
