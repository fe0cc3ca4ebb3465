/* c_example.c -- every export of tavrimel-docx-tools, each with its error check.
 *
 * usage: c_example DOCX OUTDIR
 *
 * Prints the document as Markdown and plain text, its tables and its summary,
 * then writes into OUTDIR (which must exist): two edited copies, a document
 * made from the Markdown, one made from plain text, and the merge of both.
 * Exits 1 on the first unexpected failure, after printing the library's
 * message.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tavrimel_docx.h"

enum { PATH_SIZE = 4096 };
/* Two paths as a JSON array: an escaped byte takes at most 6 ("\u001f"). */
enum { PATH_LIST_SIZE = 2 * 6 * PATH_SIZE + 8 };

static int fail(const char *what) {
    fprintf(stderr, "c_example: %s: %s\n", what, docx_last_error());
    return 1;
}

/* Text results share one library buffer that the next text-returning call
 * overwrites: whatever must outlive that call is copied. */
static char *copy_text(const char *text) {
    size_t n = strlen(text) + 1;
    char *copy = malloc(n);
    if (copy) memcpy(copy, text, n);
    return copy;
}

static int make_path(char *out, const char *dir, const char *name) {
    int n = snprintf(out, PATH_SIZE, "%s/%s", dir, name);
    return n >= 0 && n < PATH_SIZE;
}

/* Appends `s`, shorter than PATH_SIZE, as a JSON string to `out`. */
static void append_json_string(char *out, const char *s) {
    char *p = out + strlen(out);
    *p++ = '"';
    for (; *s; ++s) {
        unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\') {
            *p++ = '\\';
            *p++ = (char)c;
        } else if (c < 0x20) {
            p += sprintf(p, "\\u%04x", c);
        } else {
            *p++ = (char)c;
        }
    }
    *p++ = '"';
    *p = '\0';
}

/* The outputs, named once. */
struct paths {
    char replaced[PATH_SIZE], reworded[PATH_SIZE], from_markdown[PATH_SIZE];
    char from_text[PATH_SIZE], merged[PATH_SIZE], missing[PATH_SIZE];
};

static int make_paths(struct paths *p, const char *dir) {
    return make_path(p->replaced, dir, "replaced.docx") &&
           make_path(p->reworded, dir, "reworded.docx") &&
           make_path(p->from_markdown, dir, "from-markdown.docx") &&
           make_path(p->from_text, dir, "from-text.docx") &&
           make_path(p->merged, dir, "merged.docx") &&
           make_path(p->missing, dir, "no-such-file.docx");
}

/* Reads the open document; on success *markdown is a copy the caller frees. */
static int read_document(int handle, char **markdown) {
    const char *text = docx_content(handle, 0);
    if (!text) return fail("docx_content (markdown)");
    printf("== markdown ==\n%s", text);
    *markdown = copy_text(text);
    if (!*markdown) {
        fprintf(stderr, "c_example: out of memory\n");
        return 1;
    }

    text = docx_content(handle, 1);
    if (!text) return fail("docx_content (plain)");
    printf("== plain text: %zu bytes ==\n", strlen(text));

    const char *json = docx_tables(handle);
    if (!json) return fail("docx_tables");
    printf("== tables ==\n%s\n", json);

    json = docx_info(handle);
    if (!json) return fail("docx_info");
    printf("== info ==\n%s\n", json);
    return 0;
}

static int edit_document(int handle, const struct paths *p) {
    int n = docx_text_replace(handle, "north", "west", p->replaced);
    if (n < 0) return fail("docx_text_replace");
    printf("replaced \"north\" %d time(s)\n", n);

    /* Ignoring case, whole words only: "Sales" is replaced, "Wholesales" would not be. */
    n = docx_text_replace_opt(handle, "SALES", "Revenue", p->reworded, 0, 1);
    if (n < 0) return fail("docx_text_replace_opt");
    printf("replaced \"SALES\" %d time(s)\n", n);
    return 0;
}

static int write_documents(const char *markdown, const struct paths *p, const char *input) {
    if (!docx_write(markdown, 0, p->from_markdown)) return fail("docx_write (markdown)");
    if (!docx_write("First line\nSecond line\n", 1, p->from_text))
        return fail("docx_write (plain)");

    char list[PATH_LIST_SIZE] = "[";
    append_json_string(list, input);
    strcat(list, ",");
    append_json_string(list, p->from_text);
    strcat(list, "]");
    if (!docx_merge(list, p->merged)) return fail("docx_merge");
    printf("wrote from-markdown.docx, from-text.docx, merged.docx\n");
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: c_example DOCX OUTDIR\n");
        return 2;
    }
    struct paths p;
    if (strlen(argv[1]) >= PATH_SIZE || !make_paths(&p, argv[2])) {
        fprintf(stderr, "c_example: path too long\n");
        return 2;
    }

    int handle = docx_open(argv[1]);
    if (handle < 0) return fail("docx_open");

    char *markdown = NULL;
    int rc = read_document(handle, &markdown);
    if (rc == 0) rc = edit_document(handle, &p);
    docx_close(handle); /* the copies above were written from memory */
    if (rc == 0) rc = write_documents(markdown, &p, argv[1]);
    free(markdown);
    if (rc != 0) return rc;

    /* A failure is a return value plus a message, never a crash. */
    if (docx_open(p.missing) >= 0) {
        fprintf(stderr, "c_example: opening a missing file succeeded\n");
        return 1;
    }
    printf("expected failure: %s\n", docx_last_error());
    return 0;
}
