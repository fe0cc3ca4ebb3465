/* tavrimel_docx.h -- flat C interface of the tavrimel-docx-tools library.
 *
 * Threading: the library keeps one process-wide last-error message and one
 * process-wide result buffer. docx_open and docx_close may be called from any
 * thread at any time (the handle table is locked). Everything else reads the
 * handle table without a lock: never close a handle while another call on it
 * runs, serialise the text-returning calls (docx_content, docx_tables,
 * docx_info) and copy each returned text before the next such call. The
 * message read from docx_last_error belongs to the last call of any thread.
 * docx_open and docx_merge may read a large file, and the calls that write a
 * package deflate a large main part, on a second thread of their own, which
 * ends before they return.
 *
 * Text is UTF-8 throughout. Paths are byte strings passed to fopen unchanged.
 */
#ifndef TAVRIMEL_DOCX_H
#define TAVRIMEL_DOCX_H

#if defined(_WIN32)
#if defined(TAVRIMEL_DOCX_BUILD)
#define TAVRIMEL_DOCX_API __declspec(dllexport)
#else
#define TAVRIMEL_DOCX_API __declspec(dllimport)
#endif
#else
#define TAVRIMEL_DOCX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the DOCX file at `path` (at most 200 MiB) and reads it whole into
 * memory. Returns a handle from 0 to 63, or -1 with a message (the file cannot
 * be read, is no DOCX package, is encrypted or a legacy .doc file, or 64
 * documents are already open). The handle owns the memory copy until
 * docx_close; the file itself is not kept open. */
TAVRIMEL_DOCX_API int docx_open(const char *path);

/* Closes `handle` and frees its memory. An invalid or already closed handle is
 * ignored. Leaves the last-error message alone. */
TAVRIMEL_DOCX_API void docx_close(int handle);

/* The message of the last failed call, or "" when the last call succeeded.
 * Never NULL. The text is owned by the library and is overwritten by the next
 * call of any export except docx_close and docx_last_error. */
TAVRIMEL_DOCX_API const char *docx_last_error(void);

/* The document body as Markdown (`format` 0) or plain text (`format` 1).
 * Returns NULL on failure. The text lives in the library's result buffer and
 * stays valid until the next docx_content, docx_tables or docx_info call. */
TAVRIMEL_DOCX_API const char *docx_content(int handle, int format);

/* The body's tables as compact JSON: an array of tables, each an array of rows,
 * each an array of cell strings. Returns NULL on failure. Lifetime as for
 * docx_content. */
TAVRIMEL_DOCX_API const char *docx_tables(int handle);

/* A one-line JSON summary: {"paragraphs","tables","images","styles","title",
 * "author","created","encrypted"}. "images" counts each picture once: every
 * w:drawing, and every w:pict that holds an image (v:imagedata), wherever it
 * stands in the body; the mc:Fallback copy of a picture is not counted again.
 * Returns NULL on failure. Lifetime as for docx_content. */
TAVRIMEL_DOCX_API const char *docx_info(int handle);

/* Writes a new DOCX file at `out_path` from Markdown (`format` 0: headings,
 * "---" page breaks, pipe tables, *italic*, **bold**) or plain text (`format`
 * 1: one paragraph per line). Returns 1 on success, 0 on failure. The file is
 * replaced only once it is complete; a failure leaves the path untouched. */
TAVRIMEL_DOCX_API int docx_write(const char *text, int format, const char *out_path);

/* Joins the bodies of the DOCX files named by `paths_json`, a JSON array of
 * path strings, into a new DOCX file at `out_path`. Returns 1 or 0. The
 * pictures, hyperlinks, notes, comments, lists and other parts a body refers
 * to come along, and every input's styles (where inputs define one style ID,
 * the first definition holds); the first input's final section (page setup,
 * headers, footers) ends the result, laid out by its settings. The output
 * may name one of the inputs: all are read before it is written. */
TAVRIMEL_DOCX_API int docx_merge(const char *paths_json, const char *out_path);

/* Replaces every occurrence of `find` by `replace` in the document's main
 * text, also where the occurrence is split over runs, and writes the result to
 * `out_path` (the open document is not changed). Case-sensitive, any
 * position. Returns the number of replacements, or -1 on failure. */
TAVRIMEL_DOCX_API int docx_text_replace(int handle, const char *find, const char *replace,
                                        const char *out_path);

/* As docx_text_replace; `match_case` 0 folds ASCII letters, `whole_word`
 * nonzero requires a character that parts words (ASCII other than letters and
 * digits; Unicode punctuation, symbols and separators) or the text's edge on
 * both sides of a match. */
TAVRIMEL_DOCX_API int docx_text_replace_opt(int handle, const char *find, const char *replace,
                                            const char *out_path, int match_case, int whole_word);

#ifdef __cplusplus
}
#endif

#endif /* TAVRIMEL_DOCX_H */
