"""Tests of the tavrimel_docx binding against the built library.

Run from the build: ctest -R python_binding, or
PYTHONPATH=<build dir> python3 -m unittest discover -s bindings/python/tests
"""

import gc
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

import tavrimel_docx
from tavrimel_docx import Document, DocxError

W_NS = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"
CONTENT_TYPES = (
    '<?xml version="1.0" encoding="UTF-8"?>'
    '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
    '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
    '<Default Extension="xml" ContentType="application/xml"/>'
    '<Override PartName="/word/document.xml" ContentType="application/'
    'vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>')
RELS = (
    '<?xml version="1.0" encoding="UTF-8"?>'
    '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
    '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
    'relationships/officeDocument" Target="word/document.xml"/></Relationships>')
CORE = (
    '<?xml version="1.0" encoding="UTF-8"?>'
    '<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/'
    'core-properties" xmlns:dc="http://purl.org/dc/elements/1.1/" '
    'xmlns:dcterms="http://purl.org/dc/terms/"><dc:title>{title}</dc:title>'
    '<dc:creator>{author}</dc:creator></cp:coreProperties>')


def write_docx(path, body, title=None, author=""):
    """A minimal package whose body is `body` (str, or bytes taken as they are)."""
    if isinstance(body, str):
        body = body.encode("utf-8")
    document = (f'<?xml version="1.0" encoding="UTF-8"?><w:document xmlns:w="{W_NS}">'
                '<w:body>').encode() + body + b"</w:body></w:document>"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("[Content_Types].xml", CONTENT_TYPES)
        z.writestr("_rels/.rels", RELS)
        z.writestr("word/document.xml", document)
        if title is not None:
            z.writestr("docProps/core.xml", CORE.format(title=title, author=author))
    return path


def para(text, style=None, bold=False):
    ppr = f'<w:pPr><w:pStyle w:val="{style}"/></w:pPr>' if style else ""
    rpr = "<w:rPr><w:b/></w:rPr>" if bold else ""
    return f'<w:p>{ppr}<w:r>{rpr}<w:t xml:space="preserve">{text}</w:t></w:r></w:p>'


def table(rows):
    cells = "".join("<w:tr>" + "".join(f"<w:tc>{para(c)}</w:tc>" for c in row) + "</w:tr>"
                    for row in rows)
    return f"<w:tbl>{cells}</w:tbl>"


REPORT_BODY = (para("Report", style="Heading1") +
               '<w:p><w:r><w:t xml:space="preserve">Sales </w:t></w:r>'
               '<w:r><w:rPr><w:b/></w:rPr><w:t>rose</w:t></w:r></w:p>' +
               table([["a", "b"], ["c", "d"]]))


class TempDirTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)

    def docx(self, name, body=REPORT_BODY, **core):
        return write_docx(self.dir / name, body, **core)

    def read_text(self, path):
        with Document(path) as doc:
            return doc.text()


class ReadTest(TempDirTest):
    def test_renderings_and_json(self):
        path = self.docx("report.docx", title="Q3 &amp; Q4", author="Ada")
        with Document(path) as doc:
            self.assertEqual(doc.markdown(),
                             "# Report\nSales **rose**\n| a | b |\n| --- | --- |\n| c | d |\n\n")
            self.assertEqual(doc.text(), "Report\nSales rose\na\tb\nc\td\n\n")
            self.assertEqual(doc.tables(), [[["a", "b"], ["c", "d"]]])
            info = doc.info()
        self.assertEqual(info["paragraphs"], 2)
        self.assertEqual(info["tables"], 1)
        self.assertEqual(info["title"], "Q3 & Q4")
        self.assertEqual(info["author"], "Ada")
        self.assertIs(info["encrypted"], False)

    def test_paths_of_every_kind(self):
        path = self.docx("grüße – 日本.docx")
        for form in (path, str(path), os.fsencode(path)):
            with self.subTest(form=type(form).__name__), Document(form) as doc:
                self.assertEqual(doc.tables(), [[["a", "b"], ["c", "d"]]])

    def test_text_is_utf8_and_foreign_bytes_are_replaced(self):
        cases = [("Grüße – 日本 😀".encode(), "Grüße – 日本 😀\n"),
                 (b"a\xffb\xc3", "a\ufffdb\ufffd\n")]
        for raw, expected in cases:
            with self.subTest(raw=raw):
                path = self.docx("utf8.docx", b"<w:p><w:r><w:t>" + raw + b"</w:t></w:r></w:p>")
                self.assertEqual(self.read_text(path), expected)

    def test_bundled_sample(self):
        sample = os.environ.get("TAVRIMEL_DOCX_SAMPLE")
        if not sample or not os.path.exists(sample):
            self.skipTest("TAVRIMEL_DOCX_SAMPLE names no file")
        with Document(sample) as doc:
            self.assertIn("Quarterly report", doc.markdown())
            self.assertEqual(doc.tables()[0][0], ["Region", "Sales"])
            self.assertEqual(doc.info()["title"], "Quarterly report")


class LifetimeTest(TempDirTest):
    def test_with_block_closes(self):
        with Document(self.docx("a.docx")) as doc:
            self.assertFalse(doc.closed)
        self.assertTrue(doc.closed)
        with self.assertRaisesRegex(DocxError, "^document is closed$"):
            doc.markdown()
        doc.close()  # a second close is harmless

    def test_collected_documents_free_their_handles(self):
        # The library has 64 handles: without closing on collection these
        # loops would run out of them.
        path = self.docx("a.docx")
        for _ in range(100):
            Document(path).text()
        for _ in range(100):
            doc = Document(path)
            doc.cycle = doc
            del doc
        gc.collect()
        held = [Document(path) for _ in range(64)]
        with self.assertRaisesRegex(DocxError, r"^too many open handles \(max 64\)$"):
            Document(path)
        for doc in held:
            doc.close()


class ErrorTest(TempDirTest):
    def test_library_messages(self):
        not_zip = self.dir / "not.docx"
        not_zip.write_bytes(b"plain text")
        missing = self.dir / "missing.docx"
        cases = [
            (lambda: Document(missing),
             f"cannot open file: {missing} (No such file or directory)"),
            (lambda: Document(not_zip), "not a valid ZIP/DOCX archive"),
            (lambda: tavrimel_docx.merge([], self.dir / "out.docx"),
             "paths_json must be a non-empty JSON array"),
            (lambda: tavrimel_docx.merge([self.docx("a.docx"), missing], self.dir / "out.docx"),
             f"cannot open file: {missing} (No such file or directory)"),
        ]
        for call, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(DocxError) as caught:
                    call()
                self.assertEqual(caught.exception.message, message)
                self.assertEqual(str(caught.exception), message)

    def test_replace_failures(self):
        with Document(self.docx("a.docx")) as doc:
            with self.assertRaisesRegex(DocxError, "^empty find string$"):
                doc.replace("", "x", self.dir / "out.docx")
            with self.assertRaises(DocxError) as caught:
                doc.replace("a", "b", self.dir / "no-such-dir" / "out.docx")
            self.assertTrue(caught.exception.message)

    def test_arguments_the_library_cannot_take(self):
        out = self.dir / "out.docx"
        with self.assertRaisesRegex(DocxError, "NUL"):
            tavrimel_docx.write_text("a\0b", out)
        with self.assertRaisesRegex(DocxError, "NUL"):
            Document("a\0b.docx")
        with self.assertRaisesRegex(DocxError, "not valid Unicode"):
            tavrimel_docx.write_text("lone \ud800 surrogate", out)
        with self.assertRaises(TypeError):
            tavrimel_docx.write_markdown(b"bytes", out)
        with self.assertRaises(TypeError):
            tavrimel_docx.merge(str(self.docx("a.docx")), out)
        self.assertFalse(out.exists())


class WriteTest(TempDirTest):
    def test_written_documents_read_back(self):
        cases = [
            (tavrimel_docx.write_markdown, "# Notes\nSome **bold** words\n", Document.markdown,
             "# Notes\nSome **bold** words\n"),
            (tavrimel_docx.write_text, "one\ntwo – ü", Document.text, "one\ntwo – ü\n"),
        ]
        for write, source, read, expected in cases:
            with self.subTest(write=write.__name__):
                out = self.dir / "written.docx"
                write(source, out)
                with Document(out) as doc:
                    self.assertEqual(read(doc), expected)

    def test_merge_joins_bodies_and_may_overwrite_an_input(self):
        first = self.docx("first.docx", para("first"))
        second = self.docx("second.docx", para("second"))
        tavrimel_docx.merge([first, str(second)], first)
        self.assertEqual(self.read_text(first), "first\nsecond\n")

    def test_replace_counts_and_options(self):
        path = self.docx("cats.docx", '<w:p><w:r><w:t xml:space="preserve">cat con</w:t></w:r>'
                         '<w:r><w:rPr><w:b/></w:rPr><w:t xml:space="preserve">cat Cat</w:t>'
                         '</w:r></w:p>')
        out = self.dir / "out.docx"
        cases = [({}, 2, "dog condog Cat\n"),
                 ({"ignore_case": True}, 3, "dog condog dog\n"),
                 ({"whole_word": True}, 1, "dog concat Cat\n"),
                 ({"ignore_case": True, "whole_word": True}, 2, "dog concat dog\n")]
        with Document(path) as doc:
            for options, count, text in cases:
                with self.subTest(**options):
                    self.assertEqual(doc.replace("cat", "dog", out, **options), count)
                    self.assertEqual(self.read_text(out), text)
            self.assertEqual(doc.text(), "cat concat Cat\n")


PACKAGE_DIR = os.path.dirname(os.path.abspath(tavrimel_docx.__file__))


class LibraryLookupTest(TempDirTest):
    """Runs a fresh interpreter, since the library is loaded once per process."""

    def run_python(self, code, env_library, package_parent=os.path.dirname(PACKAGE_DIR)):
        env = dict(os.environ, PYTHONPATH=package_parent)
        env.pop("TAVRIMEL_DOCX_LIBRARY", None)
        env.pop("LD_LIBRARY_PATH", None)
        if env_library is not None:
            env["TAVRIMEL_DOCX_LIBRARY"] = env_library
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, cwd=self.dir)

    def test_variable_naming_no_library_fails_clearly(self):
        bogus = str(self.dir / "libnothing.so")
        result = self.run_python("import tavrimel_docx\n"
                                 "try:\n    tavrimel_docx.write_text('x', 'x.docx')\n"
                                 "except tavrimel_docx.DocxError as e:\n    print(e)", bogus)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(f"TAVRIMEL_DOCX_LIBRARY={bogus} (no such file)", result.stdout)
        self.assertIn("cannot load the tavrimel-docx-tools library", result.stdout)

    def test_every_place_tried_is_named(self):
        copy = self.dir / "tavrimel_docx"
        shutil.copytree(PACKAGE_DIR, copy, ignore=shutil.ignore_patterns("_installed.py", "*.so*"))
        result = self.run_python("import tavrimel_docx\n"
                                 "try:\n    print(tavrimel_docx.library_path())\n"
                                 "except tavrimel_docx.DocxError as e:\n    print(e)", None,
                                 package_parent=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        if "cannot load" not in result.stdout:
            self.skipTest("the library is installed on the system library path")
        for place in (copy / "libtavrimel-docx-tools.so.0", self.dir / "libtavrimel-docx-tools.so"):
            self.assertIn(f"{place} (no such file)", result.stdout)
        self.assertIn("libtavrimel-docx-tools.so.0 on the system library path", result.stdout)

    def test_library_beside_the_package_needs_no_variable(self):
        beside = os.path.join(os.path.dirname(PACKAGE_DIR), "libtavrimel-docx-tools.so.0")
        if not os.path.exists(beside):
            self.skipTest("this copy of the package has no library beside it")
        result = self.run_python("import tavrimel_docx; print(tavrimel_docx.library_path())",
                                 None)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), beside)


class ThreadTest(TempDirTest):
    def test_threads_share_documents_and_keep_their_own_results(self):
        # Each document's results differ in length and content, and each
        # thread's failing path is its own, so any result or message read
        # after another thread's call would show up as a mismatch.
        # Large bodies keep each call inside the library long enough to overlap.
        paths = [self.docx(f"doc{i}.docx", para(f"doc {i}", style="Heading1") +
                           para("x" * i, bold=True) * (300 + 50 * i) +
                           table([[f"cell {i}"] * (i + 1)] * 50), title=f"title {i}")
                 for i in range(6)]

        def results(doc):
            return doc.markdown(), doc.text(), doc.tables(), doc.info()

        expected = {}
        for path in paths:
            with Document(path) as doc:
                expected[path] = results(doc)
        shared = [Document(path) for path in paths]
        failures = []

        def work(n):
            missing = self.dir / f"missing-{n}.docx"
            try:
                for i in range(40):
                    k = (n + i) % len(paths)
                    with Document(paths[k]) as own:
                        if results(own) != expected[paths[k]]:
                            failures.append(f"thread {n}: own document {k}")
                    if results(shared[k]) != expected[paths[k]]:
                        failures.append(f"thread {n}: shared document {k}")
                    try:
                        Document(missing)
                    except DocxError as e:
                        if str(missing) not in e.message:
                            failures.append(f"thread {n}: message {e.message!r}")
            except Exception as e:  # reported below, not lost in the thread
                failures.append(f"thread {n}: {e!r}")

        threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for doc in shared:
            doc.close()
        self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()
