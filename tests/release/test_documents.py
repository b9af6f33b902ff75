"""What the documents say of failures, held against the fault table of the
end-to-end suites (FAULTS in tests/e2e/harness.py), which e2e_host and
e2e_wine check on the real programs.

    /usr/bin/python3 tests/release/test_documents.py

README's and the manual page's table of how the image under Wine differs
from the Linux build: every code in the tables must be the one those suites
expect, and every fault whose codes differ must be in each table. The
table's other rows are beyond this test: the typed line's end and the keys
at a terminal are what terminal_wine types, and a code over 255
cannot be made to happen under Wine.

What a failure leaves on standard output: every sentence of the documents
that speaks of what is written "before a failure" must be a claim this test
knows, and the claim must hold for what each fault of the table leaves
written, on either build. The manual page, README.txt and
notes/maintainers.md must each make one.

Each manual page's DIAGNOSTICS lists exactly the messages of
diagnostics/messages.h that its program's sources print, one line each
(a handle's name filled in, each number a word in capitals).

Each manual page's tables, as users read them at 80 columns: through man-db
and groff (`man -l`, Debian's default) and through mandoc. Every rendered
table is cut into the columns its header row starts, and each cell's
rendered lines must read as the source's cell: a cell too wide for its
column runs into the next one, and the column it should fill is left blank
or holds another's text, as groff sets a first cell wider than the
`.Bl -column` template.
"""

import os
import re
import subprocess
import sys
import unittest

import documents

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402

# A table's row, by its first cell, and the fault of harness.FAULTS it states.
FAULT_OF_ROW = {"standard input closed": "stdin closed",
                "a pipe with no reader": "stdout pipe without reader"}
TABLES = documents.USER_DOCUMENTS[:2]  # README.md and the manual page


class WineDifferences(unittest.TestCase):
    def test_codes_are_those_the_end_to_end_suites_expect(self):
        faults = {fault.name: fault for fault in harness.FAULTS}
        differing = {fault.name for fault in harness.FAULTS
                     if fault.wine is not None and fault.wine.code != fault.host.code}
        for path in TABLES:
            rows = {row[0]: row[1:] for row in documents.table(path, "case")}
            stated = {FAULT_OF_ROW[label]: cells for label, cells in rows.items()
                      if label in FAULT_OF_ROW}
            self.assertEqual(set(stated), differing, path)
            for name, cells in stated.items():
                fault = faults[name]
                self.assertEqual(cells, [str(fault.host.code), str(fault.wine.code)], (path, name))


def whole_lines_only(case, left):
    for (name, build), (_, part) in left.items():
        case.assertEqual(part, 0, "%s on the %s build leaves %d characters of a line"
                         % (name, build, part))


def cut_only_by_a_failed_write(case, left):
    cut = {key: part for key, (_, part) in left.items() if part}
    case.assertTrue(cut, "no fault of the table leaves part of a line")
    faults = {fault.name: fault for fault in harness.FAULTS}
    for (name, build), part in cut.items():
        case.assertLess(part, harness.LINE_CHARS, name)
        case.assertTrue(getattr(faults[name], build).stderr.startswith(b"WriteFile()"),
                        "%s cuts a line without a failed write" % name)


# What a document may say of the output a failure leaves, and its check
# against {(fault, build): (whole lines, characters of a cut line)}. The
# first is what the manual page said, which the file-size limit inside a line
# refutes.
CLAIMS = {
    "Everything written before a failure is complete lines.": whole_lines_only,
    "Lines written before a failure are whole; only the line being written when a write fails "
    "can be cut short.": cut_only_by_a_failed_write,
}
DOCUMENTS = documents.USER_DOCUMENTS + [documents.MAINTAINERS,
                                        os.path.join(documents.ROOT, "CONTRIBUTING.md")]
MUST_SAY = documents.USER_DOCUMENTS[1:] + [documents.MAINTAINERS]


class FailureOutput(unittest.TestCase):
    def test_what_a_failure_leaves_is_what_the_end_to_end_suites_find(self):
        left = {(fault.name, build): getattr(fault, build).written for fault in harness.FAULTS
                for build in ("host", "wine")
                if getattr(fault, build) is not None and getattr(fault, build).written is not None}
        for path in DOCUMENTS:
            said = documents.sentences(path, "before a failure")
            if path in MUST_SAY:
                self.assertTrue(said, "%s says nothing of what a failure leaves" % path)
            for sentence in said:
                with self.subTest(document=os.path.basename(path), claim=sentence):
                    self.assertIn(sentence, CLAIMS, "a claim the test cannot check")
                    CLAIMS[sentence](self, left)


# Each manual page, with the folders of the program it describes.
PAGES = {"b64filter.1": ("filter", "process", "diagnostics"), "b64unfilter.1": ("unfilter", "process", "diagnostics")}


def page_messages(path):
    """The lines of the literal block that opens the page's DIAGNOSTICS."""
    with open(path, encoding="utf-8") as f:
        section = f.read().split(".Sh DIAGNOSTICS\n", 1)[1]
    return section.split(".Bd -literal -offset indent\n", 1)[1].split("\n.Ed", 1)[0].splitlines()


class Messages(unittest.TestCase):
    def test_each_page_lists_the_messages_its_program_prints(self):
        with open(os.path.join(documents.ROOT, "diagnostics", "messages.h"), encoding="ascii") as f:
            header = f.read()
        formats = {name: text[:-len("\\r\\n")]
                   for name, text in re.findall(r'#define (MSG_\w+) "(.*)"', header)}
        handles = re.findall(r'#define NAME_\w+ "(.*)"', header)
        self.assertTrue(formats and handles)
        for page, folders in PAGES.items():
            sources = ""
            for folder in folders:
                top = os.path.join(documents.ROOT, folder)
                for name in sorted(set(os.listdir(top)) - {"messages.h"}):
                    with open(os.path.join(top, name), encoding="utf-8") as f:
                        sources += f.read()
            expected = []
            for name, text in formats.items():
                if re.search(r"\b%s\b" % name, sources):
                    fills = handles if "%s" in text else [None]
                    expected += [re.escape(text.replace("%s", fill) if fill else text)
                                 .replace("%lu", "[A-Z]+") for fill in fills]
            listed = page_messages(os.path.join(documents.ROOT, "docs", page))
            self.assertEqual(len(listed), len(expected), (page, listed))
            for pattern in expected:
                self.assertEqual(len([line for line in listed if re.fullmatch(pattern, line)]), 1,
                                 "%s: %s" % (page, pattern))


# The pages' renderers, each at 80 columns, with no hyphenation (a word
# broken at a line's end would not read as the source's).
RENDERERS = {
    "man -l (groff)": (["man", "--nh", "--nj", "-l"],
                       dict(os.environ, MANWIDTH="80", MANPAGER="cat", LC_ALL="C.UTF-8")),
    "mandoc": (["mandoc", "-T", "utf8", "-O", "width=80"], dict(os.environ, LC_ALL="C.UTF-8")),
}
# Inline macros the tables use, which print their arguments and nothing else.
INLINE_MACROS = {"Sy", "Li", "Er", "Ar", "Pa", "Ic", "Dv", "Va", "Cm", "Em", "Ev", "Nm"}
TYPOGRAPHY = str.maketrans({"\u2010": "-", "\u2212": "-", "\u2018": "'", "\u2019": "'", "\u201c": '"',
                            "\u201d": '"'})


def mdoc_words(cell):
    """A cell's words as mdoc reads them: split at spaces, but not inside
    double quotes (where "" is a quote)."""
    return [quoted.replace('""', '"') if quoted is not None and bare == "" else bare
            for quoted, bare in re.findall(r'"((?:[^"]|"")*)"|(\S+)', cell)]


def source_tables(path):
    """Each `.Bl -column` list of the page: its rows, each a list of cells
    as the text they print."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    tables, rows = [], None
    for line in lines:
        if line.startswith(".Bl -column"):
            rows = []
        elif rows is not None and line.startswith(".El"):
            tables.append(rows)
            rows = None
        elif rows is not None and line.startswith(".It "):
            rows.append([" ".join(w.replace("\\e", "\\").replace("\\(dq", '"') for w in mdoc_words(cell)
                                  if w not in INLINE_MACROS) for cell in re.split(r" Ta(?: |$)", line[4:])])
    return tables


def rendered_rows(lines, header):
    """The rows of the rendered table whose header row is `header`, each a
    list of its columns' text; the columns are where the header's cells
    start. Fails when the header is not found with its cells apart."""
    for at, line in enumerate(lines):
        starts, end = [], 0
        for cell in header:
            found = re.compile(r"(?:^|(?<= ))" + re.escape(cell.split()[0])).search(line, end)
            if not found:
                break
            starts.append(found.start())
            end = found.start() + len(cell)
        if len(starts) == len(header) and line[:starts[0]].strip() == "":
            break
    else:
        raise AssertionError("no rendered line reads as the header %r, its cells apart" % header)
    rows = []
    for line in lines[at:]:
        if not line.strip() or len(line) - len(line.lstrip()) < starts[0]:
            break
        pieces = [line[a:b].strip() for a, b in zip(starts, starts[1:] + [len(line)])]
        if pieces[0]:
            rows.append([])
        rows[-1].append(pieces)
    return [[" ".join(filter(None, column)) for column in zip(*row)] for row in rows]


def spaceless(rows):
    """Cells without spaces, which renderers set as they like around punctuation."""
    return [[cell.replace(" ", "") for cell in row] for row in rows]


class Length(unittest.TestCase):
    def test_readme_is_a_first_read(self):
        # What serves maintainers goes to CONTRIBUTING.md and notes/.
        with open(documents.USER_DOCUMENTS[0], encoding="utf-8") as f:
            self.assertLessEqual(len(f.read().splitlines()), 220)


class Rendering(unittest.TestCase):
    def test_each_table_reads_cell_by_cell(self):
        counted = 0
        for page in PAGES:
            path = os.path.join(documents.ROOT, "docs", page)
            tables = source_tables(path)
            counted += len(tables)
            for renderer, (argv, env) in RENDERERS.items():
                shown = subprocess.run(argv + [path], capture_output=True, text=True, env=env, timeout=60)
                self.assertEqual((shown.returncode, shown.stderr), (0, ""), (page, renderer))
                text = re.sub(r"\x1b\[[0-9;]*m", "", re.sub(r".\x08", "", shown.stdout)).translate(TYPOGRAPHY)
                lines = text.splitlines()
                for rows in tables:
                    with self.subTest(page=page, renderer=renderer, table=rows[0]):
                        self.assertEqual(spaceless(rendered_rows(lines, rows[0])), spaceless(rows))
        self.assertGreaterEqual(counted, 3)  # the Wine, errno and decoder tables at least


if __name__ == "__main__":
    unittest.main()
