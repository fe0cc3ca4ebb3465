#!/usr/bin/python3
"""Checks docx-tools against python-docx over the real-world corpus.
python-docx builds a tree with lxml, so it is a reader that shares nothing with
ours. Counting words leaves out where the two legitimately differ (separators,
emphasis markers, JSON escapes) and catches text that went missing, was read
twice or was replaced wrongly:

- the plain text and the Markdown of a document's body hold the words
  python-docx finds in it, no more and no fewer;
- the tables' JSON has its tables, rows and cells, each cell with the words
  python-docx finds in it;
- the summary counts the body's paragraphs and tables as python-docx finds them;
- replacing the document's most common word as a whole word, and three of its
  letters anywhere in either case, counts every occurrence (those in the copies
  Word keeps for older readers too) and leaves the text python-docx reads with
  exactly those occurrences replaced;
- merging the document with itself gives a document in which python-docx reads
  every word of its body and of the notes and comments it refers to twice,
  twice its paragraphs in lists, and whose body's relationship references
  (pictures, hyperlinks, headers) name parts as the input's do, each part typed.

  corpus_python_docx.py DOCX_TOOLS CORPUS_DIR

Exits 77 (skipped) when python-docx or the corpus is missing.
"""
import collections
import json
import os
import posixpath
import re
import subprocess
import sys
import tempfile
import unicodedata
import zipfile

SKIPPED = 77

try:
    import docx
    from docx.oxml.ns import qn
    from docx.opc.constants import RELATIONSHIP_TYPE as RT
    from lxml import etree
except ImportError:
    print("python-docx is not installed (Debian: python3-docx)")
    sys.exit(SKIPPED)

RELATIONSHIPS = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
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


def parting_characters():
    """A regular expression class of the characters that part words, as
    whole-word replace has them: ASCII other than letters and digits, and
    Unicode's punctuation, symbols, separators and C1 controls."""
    ranges, start = [], None
    for cp in range(0x80, 0x110001):
        category = unicodedata.category(chr(cp)) if cp <= 0x10FFFF else "Cn"
        parts = category[0] in "PSZ" or category == "Cc"
        if parts and start is None:
            start = cp
        elif not parts and start is not None:
            ranges.append(f"\\U{start:08x}-\\U{cp - 1:08x}")
            start = None
    return "\\x00-/:-@\\[-`{-\\x7f" + "".join(ranges)


PARTING = parting_characters()
WORD = re.compile(f"[^{PARTING}]+")


def words(text):
    return collections.Counter(WORD.findall(text))


def shown_text(element):
    out = []
    for e in element.iter(qn("w:t"), *SEPARATORS):
        if e.tag != qn("w:t"):
            out.append("\n")
        elif not any(a.tag in NOT_SHOWN for a in e.iterancestors()):
            out.append(e.text or "")
    return "".join(out)


def all_text(element):
    """Text as replace sees it: hidden copies included."""
    return "".join((e.text or "") if e.tag == qn("w:t") else "\n"
                   for e in element.iter(qn("w:t"), *SEPARATORS))


def own(element, tag):
    """The `tag` elements that belong to this table or row, through any
    wrappers (content controls, custom XML), not to a table nested in it."""
    tbl = qn("w:tbl")
    for d in element.iter(tag):
        if d is element:
            continue
        a = d.getparent()
        while a is not element and a.tag != tbl and a.tag not in NOT_SHOWN:
            a = a.getparent()
        if a is element:
            yield d


def body_tables(body):
    """The body's outermost tables as rows of cell texts."""
    tbl = qn("w:tbl")
    return [[[shown_text(tc) for tc in own(tr, qn("w:tc"))] for tr in own(t, qn("w:tr"))]
            for t in body.iter(tbl)
            if not any(a.tag == tbl or a.tag in NOT_SHOWN for a in t.iterancestors())]


def body_blocks(body, tag):
    """How many `tag` elements stand in the body outside paragraphs and
    tables: the paragraphs and tables that the summary counts."""
    block = {qn("w:p"), qn("w:tbl")} | NOT_SHOWN
    count = 0
    for e in body.iter(tag):
        a = e.getparent()
        while a is not body and a.tag not in block:
            a = a.getparent()
        count += a is body
    return count


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


def sample(counts):
    return ", ".join(f"{w!r} x{n}" for w, n in counts.most_common(8))


def text_differences(what, expected, got):
    want, have = words(expected), words(without_entities(got))
    if want - have:
        yield f"the {what} lacks {sum((want - have).values())} words: {sample(want - have)}"
    if have - want:
        yield f"the {what} has {sum((have - want).values())} words python-docx does not read: " \
              f"{sample(have - want)}"


def table_differences(expected, got):
    shape = lambda tables: [[len(row) for row in t] for t in tables]
    if shape(expected) != shape(got):
        yield f"tables, rows and cells differ: python-docx {shape(expected)}, ours {shape(got)}"
        return
    for t, (want_t, got_t) in enumerate(zip(expected, got), 1):
        for r, (want_r, got_r) in enumerate(zip(want_t, got_t), 1):
            for c, (want, have) in enumerate(zip(want_r, got_r), 1):
                if words(want) != words(without_entities(have)):
                    yield f"table {t}, row {r}, cell {c}: {have!r}, python-docx {want!r}"


def differences(tool, path, body):
    text = shown_text(body)
    yield from text_differences("plain text", text, render(tool, "content", path, "--plain"))
    yield from text_differences("Markdown", without_markers(text),
                                without_markers(render(tool, "content", path)))
    yield from table_differences(body_tables(body), json.loads(render(tool, "tables", path)))
    info = json.loads(render(tool, "info", path))
    for key, tag in (("paragraphs", "w:p"), ("tables", "w:tbl")):
        if info[key] != body_blocks(body, qn(tag)):
            yield f"the summary counts {info[key]} {key}, python-docx {body_blocks(body, qn(tag))}"


def replace_differences(tool, path, document, out):
    text = shown_text(document.element.body)
    common = [w for w, _ in words(text).most_common() if len(w) >= 4 and not w.isdigit()]
    if not common:
        return
    word, new = common[0], "Zqx"
    cases = [(word, ["--whole-word"], re.compile(f"(?<![^{PARTING}]){re.escape(word)}(?![^{PARTING}])"))]
    if word.isascii():
        part = word[:3].swapcase()
        cases.append((part, ["--ignore-case"], re.compile(re.escape(part), re.IGNORECASE | re.ASCII)))
    for find, options, pattern in cases:
        how = f"replacing {find!r} ({' '.join(options)})"
        count = int(render(tool, "replace", path, find, new, "-o", out, *options))
        expected = len(pattern.findall(all_text(document.element)))
        if count != expected:
            yield f"{how} counts {count}, python-docx finds {expected}"
        want = words(pattern.sub(new, text))
        have = words(shown_text(docx.Document(out).element.body))
        if want != have:
            yield f"{how} leaves {sample(have - want)} where python-docx expects {sample(want - have)}"


def part_name(folder, target):
    """The part a relationship's target names from a part in `folder`."""
    return target[1:] if target.startswith("/") else posixpath.normpath(posixpath.join(folder, target))


def broken_references(path, main):
    """The relationship IDs that the main part's body uses without naming an
    existing part (or an external target), with how often; and the parts
    without a content type."""
    with zipfile.ZipFile(path) as z:
        names = {n.lower(): n for n in z.namelist()}
        read = lambda name: z.read(names[name.lower()]) if name.lower() in names else None
        types = etree.fromstring(read("[Content_Types].xml"))
        overrides = {e.get("PartName", "").lower() for e in types if e.tag.endswith("Override")}
        defaults = {e.get("Extension", "").lower() for e in types if e.tag.endswith("Default")}
        folder, name = posixpath.split(main)
        untyped = [n for n in names.values() if not n.endswith("/") and n != "[Content_Types].xml"
                   and "/" + n.lower() not in overrides
                   and n.rsplit("/", 1)[-1].rsplit(".", 1)[-1].lower() not in defaults]
        rels_xml = read(posixpath.join(folder, "_rels", name + ".rels"))
        targets = {}
        for r in etree.fromstring(rels_xml) if rels_xml else []:
            target = r.get("Target", "")
            if r.get("TargetMode") == "External":
                targets[r.get("Id")] = True
            else:
                targets[r.get("Id")] = part_name(folder, target).lower() in names
        broken = collections.Counter()
        for e in etree.fromstring(read(main)).iter(qn("w:body")):
            for d in e.iter():
                for k, v in d.attrib.items():
                    if k.startswith(RELATIONSHIPS) and not targets.get(v):
                        broken[v] += 1
        return broken, untyped


def note_words(path, main):
    """The words of the footnotes, endnotes and comments that the body refers to."""
    with zipfile.ZipFile(path) as z:
        names = {n.lower(): n for n in z.namelist()}
        read = lambda name: z.read(names[name.lower()]) if name.lower() in names else None
        folder, name = posixpath.split(main)
        rels_xml = read(posixpath.join(folder, "_rels", name + ".rels"))
        body = etree.fromstring(read(main)).find(qn("w:body"))
        found = collections.Counter()
        for kind, references in (("footnote", ["footnoteReference"]),
                                 ("endnote", ["endnoteReference"]),
                                 ("comment", ["commentRangeStart", "commentRangeEnd",
                                              "commentReference"])):
            targets = [r.get("Target") for r in (etree.fromstring(rels_xml) if rels_xml else [])
                       if r.get("Type", "").endswith("/" + kind + "s")
                       and r.get("TargetMode") != "External"]
            part = read(part_name(folder, targets[0])) if targets else None
            if not part:
                continue
            notes = {n.get(qn("w:id")): n for n in etree.fromstring(part).iter(qn(f"w:{kind}"))}
            ids = {e.get(qn("w:id")) for e in body.iter(*(qn(f"w:{r}") for r in references))}
            for note in (notes[i] for i in ids if i in notes):
                found += words(shown_text(note))
        return found


def numbered_paragraphs(path, main):
    """How many paragraphs of the body are in a list whose definition the
    package holds."""
    with zipfile.ZipFile(path) as z:
        names = {n.lower(): n for n in z.namelist()}
        read = lambda name: z.read(names[name.lower()]) if name.lower() in names else None
        folder, name = posixpath.split(main)
        rels_xml = read(posixpath.join(folder, "_rels", name + ".rels"))
        targets = [r.get("Target") for r in (etree.fromstring(rels_xml) if rels_xml else [])
                   if r.get("Type", "").endswith("/numbering") and r.get("TargetMode") != "External"]
        part = read(part_name(folder, targets[0])) if targets else None
        if not part:
            return 0
        numbering = etree.fromstring(part)
        defined = {a.get(qn("w:abstractNumId")) for a in numbering.iter(qn("w:abstractNum"))}
        lists = {n.get(qn("w:numId")) for n in numbering.iter(qn("w:num"))
                 if any(a.get(qn("w:val")) in defined for a in n.iter(qn("w:abstractNumId")))}
        body = etree.fromstring(read(main)).find(qn("w:body"))
        return sum(n.get(qn("w:val")) in lists for n in body.iter(qn("w:numId")))


def related_blob(document, relationship_type):
    """The bytes of the part the main part relates by `relationship_type`, or None."""
    try:
        return document.part.part_related_by(relationship_type).blob
    except KeyError:
        return None


def style_definitions(document):
    """Each style's definition by ID (the list numbers it names left out: merge
    gives lists new numbers), and the types that more than one style is the
    default of; None when the document has no styles part."""
    if related_blob(document, RT.STYLES) is None:
        return None
    found, defaults = {}, collections.Counter()
    for style in document.styles.element.iter(qn("w:style")):
        if style.get(qn("w:styleId")) is None:
            continue  # nothing can name it
        found.setdefault(style.get(qn("w:styleId")), [
            (e.tag, sorted((k, "" if e.tag == qn("w:numId") else v) for k, v in e.attrib.items()),
             e.text) for e in style.iter()])
        if style.get(qn("w:default")) in ("1", "true", "on"):
            defaults[style.get(qn("w:type"), "paragraph")] += 1
    return found, sorted(t for t, n in defaults.items() if n > 1)


def final_section(document):
    """The page setup of the body's own final section, and the words of each
    header and footer it names; None when the body has no section of its own."""
    if document.element.body.sectPr is None:
        return None
    s = document.sections[-1]
    setup = (s.page_width, s.page_height, s.orientation, s.top_margin, s.bottom_margin,
             s.left_margin, s.right_margin)
    parts = (s.header, s.footer, s.first_page_header, s.first_page_footer, s.even_page_header,
             s.even_page_footer)
    return setup, [words(shown_text(p._element)) for p in parts if not p.is_linked_to_previous]


def layout_settings(document):
    """The settings that shape a document's pages (the first of each, where a
    document repeats one), as tags, attributes and texts."""
    if related_blob(document, RT.SETTINGS) is None:
        return None
    found = []
    for tag in ("w:mirrorMargins", "w:gutterAtTop", "w:defaultTabStop", "w:evenAndOddHeaders",
                "w:compat", "w:themeFontLang"):
        e = document.settings.element.find(qn(tag))
        if e is not None:
            found.append([(x.tag, sorted(x.attrib.items()), x.text) for x in e.iter()])
    return found


def merge_differences(tool, path, document, out):
    if document.element.getroottree().docinfo.doctype:
        return  # merge refuses a document type declaration, with a message
    render(tool, "merge", "-o", out, path, path)
    merged_document = docx.Document(out)
    merged_body = merged_document.element.body
    once = words(shown_text(document.element.body))
    want, have = once + once, words(shown_text(merged_body))
    if want != have:
        yield f"merged with itself, lacks {sample(want - have)}, has more {sample(have - want)}"
    once, twice = note_words(path, document.part.partname[1:]), note_words(out, "word/document.xml")
    if twice != once + once:
        yield f"merged with itself, its notes lack {sample(once + once - twice)}, " \
              f"have more {sample(twice - once - once)}"
    once = numbered_paragraphs(path, document.part.partname[1:])
    twice = numbered_paragraphs(out, "word/document.xml")
    if twice != 2 * once:
        yield f"merged with itself, {twice} paragraphs are in lists, not {2 * once}"
    once, _ = broken_references(path, document.part.partname[1:])
    twice, untyped = broken_references(out, "word/document.xml")
    if twice != once + once:
        yield f"merged with itself, its body refers to nothing by {sample(twice - once - once)}"
    if untyped:
        yield f"merged with itself, parts have no content type: {', '.join(untyped[:5])}"
    drawings = [e.get("id") for e in merged_body.iter(qn("wp:docPr")) if e.get("id") is not None]
    if len(set(drawings)) != len(drawings):
        yield "merged with itself, drawings share wp:docPr IDs"
    once = [e.get(qn("w:id")) for e in document.element.body.iter(qn("w:bookmarkStart"))]
    twice = [e.get(qn("w:id")) for e in merged_body.iter(qn("w:bookmarkStart"))]
    if len(set(once)) == len(once) and len(set(twice)) != len(twice):
        yield "merged with itself, bookmarks share IDs"
    styles = style_definitions(document)
    if styles:
        merged, several = style_definitions(merged_document)
        lost = [i for i, d in styles[0].items() if merged.get(i) != d]
        if lost:
            yield f"merged with itself, styles lost or changed: {', '.join(lost[:5])}"
        if several:
            yield f"merged with itself, several default styles of type {', '.join(several)}"
        theme = related_blob(document, RT.THEME)
        if theme is not None and related_blob(merged_document, RT.THEME) != theme:
            yield "merged with itself, its theme is lost"
    section = final_section(document)
    if section is not None and final_section(merged_document) != section:
        yield "merged with itself, its final section or the headers it names are lost"
    settings = layout_settings(document)
    if settings and layout_settings(merged_document) != settings:
        yield "merged with itself, the settings its pages are laid out by are lost"
    fonts = related_blob(document, RT.FONT_TABLE)
    if fonts is not None and related_blob(merged_document, RT.FONT_TABLE) != fonts:
        yield "merged with itself, its font table is lost"


def main():
    tool, corpus = sys.argv[1], sys.argv[2]
    if not os.path.isfile(os.path.join(corpus, "MANIFEST.tsv")):
        print(f"no corpus at {corpus}")
        return SKIPPED
    notes = manifest_notes(corpus)
    compared, failures = 0, []
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "replaced.docx")
        for name in sorted(f for f in os.listdir(corpus) if f.endswith(".docx")):
            if notes.get(name, "").startswith(NOT_COMPARED):
                continue
            path = os.path.join(corpus, name)
            try:
                document = docx.Document(path)
                body = document.element.body
            except Exception:
                continue  # python-docx cannot read it (Strict, odd packages): no reference
            compared += 1
            try:
                failures += [f"{name}: {d}" for d in differences(tool, path, body)]
                failures += [f"{name}: {d}" for d in replace_differences(tool, path, document, out)]
                failures += [f"{name}: {d}" for d in merge_differences(tool, path, document, out)]
            except RuntimeError as e:
                failures.append(f"{name}: {e}")
    print(f"{compared} documents compared with python-docx")
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
