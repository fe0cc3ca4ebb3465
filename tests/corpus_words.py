#!/usr/bin/python3
"""Checks docx-tools against python-docx over the real-world corpus: the plain
text and the Markdown that docx-tools renders of a document's body hold the
words python-docx finds in it, no more and no fewer, and the tables' JSON those
of its tables. python-docx builds a tree with lxml, so it is a reader that
shares nothing with ours; counting words leaves out where the two legitimately
differ (separators, markers, JSON layout) and catches text that went missing or
was read twice.

  corpus_words.py DOCX_TOOLS CORPUS_DIR

Exits 77 (skipped) when python-docx or the corpus is missing.
"""
import collections
import json
import os
import re
import subprocess
import sys

SKIPPED = 77

try:
    import docx
    from docx.oxml.ns import qn
except ImportError:
    print("python-docx is not installed (Debian: python3-docx)")
    sys.exit(SKIPPED)

MC_FALLBACK = "{http://schemas.openxmlformats.org/markup-compatibility/2006}Fallback"
# Text Word does not show as such: what an older reader gets instead of the
# choice before it, deleted text and the old place of moved text.
NOT_SHOWN = {MC_FALLBACK, qn("w:del"), qn("w:moveFrom")}
# Elements that end a word: python-docx has no text for them, we do.
SEPARATORS = {qn(n) for n in ("w:p", "w:tc", "w:tab", "w:br", "w:cr", "w:noBreakHyphen")}

# Files that the manifest says are not read as a Word document is: damaged,
# made by a fuzzer, with names that two readers resolve differently, with
# other prefixes than w:, or with an element in the body that Word rejects.
NOT_COMPARED = ("ENCRYPTED", "NOT A DOCX", "BROKEN", "FUZZED", "NAME CONFUSION",
                "non-standard namespace prefixes", "unknown element")


def words(text):
    return collections.Counter(re.findall(r"\w+", text))


def shown_text(element):
    out = []
    for e in element.iter(qn("w:t"), *SEPARATORS):
        if e.tag != qn("w:t"):
            out.append("\n")
        elif not any(a.tag in NOT_SHOWN for a in e.iterancestors()):
            out.append(e.text or "")
    return "".join(out)


def outermost_tables(body):
    tbl = qn("w:tbl")
    return [t for t in body.iter(tbl) if not any(a.tag == tbl for a in t.iterancestors())]


def json_strings(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, list):
        for v in value:
            yield from json_strings(v)


def render(tool, *args):
    r = subprocess.run([tool, *args], capture_output=True)
    if r.returncode != 0:
        raise RuntimeError(r.stderr.decode("utf-8", "replace").strip())
    return r.stdout.decode("utf-8", "replace")


def manifest_notes(corpus):
    notes = {}
    with open(os.path.join(corpus, "MANIFEST.tsv"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) >= 8:
                notes[fields[0]] = fields[7]
    return notes


def without_markers(text):
    # Emphasis markers may stand inside a word ("**A**ged"); the document's
    # own asterisks go too, on both sides of the comparison.
    return text.replace("*", "")


def without_entities(text):
    # An entity the document declares itself is left as written, never
    # expanded; python-docx drops it.
    return re.sub(r"&\w+;", "", text)


def compare(tool, path, body):
    """The words our renderings lack and those they have beyond python-docx's,
    by what was rendered."""
    text = shown_text(body)
    tables = "\n".join(shown_text(t) for t in outermost_tables(body))
    ours = {
        "plain text": (text, render(tool, "content", path, "--plain")),
        "Markdown": (without_markers(text), without_markers(render(tool, "content", path))),
        "tables": (tables, "\n".join(json_strings(json.loads(render(tool, "tables", path))))),
    }
    result = {}
    for what, (expected, got) in ours.items():
        want, have = words(expected), words(without_entities(got))
        result[what] = (want - have, have - want)
    return result


def main():
    tool, corpus = sys.argv[1], sys.argv[2]
    if not os.path.isfile(os.path.join(corpus, "MANIFEST.tsv")):
        print(f"no corpus at {corpus}")
        return SKIPPED
    notes = manifest_notes(corpus)
    compared, failures = 0, []
    for name in sorted(f for f in os.listdir(corpus) if f.endswith(".docx")):
        if notes.get(name, "").startswith(NOT_COMPARED):
            continue
        path = os.path.join(corpus, name)
        try:
            body = docx.Document(path).element.body
        except Exception:
            continue  # python-docx cannot read it (Strict, odd packages): no reference
        compared += 1
        try:
            differences = compare(tool, path, body)
        except RuntimeError as e:
            failures.append(f"{name}: {e}")
            continue
        for what, (lost, extra) in differences.items():
            for counts, how in ((lost, "lacks {} words"), (extra, "has {} words python-docx does not read")):
                if counts:
                    sample = ", ".join(f"{w!r} x{n}" for w, n in counts.most_common(8))
                    failures.append(f"{name}: the {what} {how.format(sum(counts.values()))}: {sample}")
    print(f"{compared} documents compared with python-docx")
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
