/* Prints a DOCX file's plain text: the smallest program against the
 * installed header and library. */
#include <stdio.h>
#include <tavrimel_docx.h>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    int handle = docx_open(argv[1]);
    if (handle < 0) {
        fprintf(stderr, "%s\n", docx_last_error());
        return 1;
    }
    const char *text = docx_content(handle, 1);
    if (text)
        fputs(text, stdout);
    else
        fprintf(stderr, "%s\n", docx_last_error());
    docx_close(handle);
    return text ? 0 : 1;
}
