"""The tables of the user's documents, read as rows of plain cells, so that
tests can hold each document to what it says.

    table(path, first) -> [[cell, ...], ...]   the rows under the one header
                                               row whose first cell is `first`
    sentences(path, phrase) -> [text, ...]     the sentences that contain phrase

README.md has Markdown tables, the manual page mdoc's `.Bl -column` lists
(cells between `Ta`), and docs/README.txt columns set apart by two or more
spaces, ending at a blank line. Markup is taken off: backticks, mdoc's
macro names and quotes, its escapes for a backslash and a double quote.
A sentence is read from one paragraph (up to a blank line, or in the manual
page up to a macro line), its lines joined, without backticks, emphasis or
a list item's dash.
"""

import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
USER_DOCUMENTS = [os.path.join(ROOT, name) for name in ("README.md", "docs/b64filter.1",
                                                        "docs/README.txt")]
MAINTAINERS = os.path.join(ROOT, "notes", "maintainers.md")
MDOC_MACRO = re.compile(r"^(?:Sy|Li|Cm|Ql|Dq|Ic|Pa|Em)\s+")


def _markdown_rows(lines):
    for line in lines:
        if not line.startswith("|"):
            yield None
        elif not re.fullmatch(r"\|(\s*:?-+:?\s*\|)+", line.strip()):
            cells = re.split(r"(?<!\\)\|", line.strip())[1:-1]
            yield [c.strip().replace("\\|", "|").replace("`", "") for c in cells]


def _mdoc_cell(cell):
    cell = MDOC_MACRO.sub("", cell.strip())
    return cell.replace('"', "").replace("\\(dq", '"').replace("\\e", "\\").strip()


def _mdoc_rows(lines):
    for line in lines:
        if line.startswith(".It ") and " Ta " in line:
            yield [_mdoc_cell(c) for c in line[4:].split(" Ta ")]
        elif line.startswith(".El"):
            yield None


def _text_rows(lines):
    for line in lines:
        if not line.strip():
            yield None
        elif not re.fullmatch(r"[- ]+", line):
            yield re.split(r"\s{2,}", line.strip())


ROWS = {".md": _markdown_rows, ".1": _mdoc_rows, ".txt": _text_rows}


def table(path, first):
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    rows = []
    for row in ROWS[os.path.splitext(path)[1]](lines):
        if row is None:
            if rows:
                break
        elif rows or row[0].lower() == first:
            rows.append(row)
    if not rows:
        raise AssertionError("%s has no table headed %r" % (path, first))
    return rows[1:]


def _paragraphs(path, lines):
    """Each paragraph's lines joined; in the manual page a macro line ends one too."""
    manual = path.endswith(".1")
    paragraph = []
    for line in lines + [""]:
        if not line.strip() or (manual and line.startswith(".")):
            if paragraph:
                yield " ".join(paragraph)
            paragraph = []
        else:
            paragraph.append(re.sub(r"^\s*- ", "", line).strip())


def sentences(path, phrase):
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    found = []
    for paragraph in _paragraphs(path, lines):
        plain = re.sub(r"\s+", " ", paragraph.replace("`", "").replace("**", ""))
        found += [s for s in re.split(r"(?<=\.)\s+(?=[A-Z])", plain) if phrase.lower() in s.lower()]
    return found
