"""Tests of the arbolite command-line tool: pretty, json and find on the
sample catalogue, the document element as default root, standard input,
exit statuses, one-line error reports with positions, broken pipes and the
installed console script."""

import errno
import io
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import threading

import pytest

import arbolite
import arbolite_cli

CATALOG = pathlib.Path(__file__).resolve().parent.parent / "examples" / "catalog.xml"
DECL = '<?xml version="1.0" encoding="utf-8"?>'

_ATTR = re.compile(r'\s([^\s=]+)="([^"]*)"')
_START_TAG = re.compile(r"<([^\s/>!?]+)((?:\s[^\s=]+=\"[^\"]*\")*)(\s*/?>)")


def canonical(xml):
    """The XML text with every start tag's attributes sorted by name.

    Attribute order follows each node's own hash map, so two reads of the same
    document list attributes in different orders; everything else must match.
    """

    def sort_attrs(match):
        attrs = sorted(_ATTR.findall(match.group(2)))
        return "<" + match.group(1) + "".join(f' {k}="{v}"' for k, v in attrs) + match.group(3)

    return _START_TAG.sub(sort_attrs, xml)


def run(capsys, *argv):
    """Runs the tool in this process; returns (status, stdout, stderr)."""
    status = arbolite_cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def assert_one_error_line(err):
    assert err.startswith("arbolite: error: "), err
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert "Traceback" not in err


def is_attribute_line(line, blanks):
    rest = line[len(blanks) :]
    return line.startswith(blanks) and rest and not rest.startswith(("Text: ", "Children:", " "))


def normalise_outline(text):
    """The outline with each node's attribute lines sorted (their order follows
    the node's hash map)."""
    lines = text.split("\n")
    result = []
    i = 0
    while i < len(lines):
        line = lines[i]
        result.append(line)
        i += 1
        if line.lstrip(" ") == "Attributes:":
            blanks = line[: len(line) - len("Attributes:")]
            run = []
            while i < len(lines) and is_attribute_line(lines[i], blanks):
                run.append(lines[i])
                i += 1
            result.extend(sorted(run))
    return result


def top_level_names(outlines):
    """Names of the matches in find's output (their "Name:" lines start at column 0)."""
    return [line[len("Name: ") :] for line in outlines.split("\n") if line.startswith("Name: ")]


def write_bytes(tmp_path, data, name="doc.xml"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


# ----------------------------------------------------------------------------
# The sample document


def test_sample_document_decodes_references_and_cdata():
    root = arbolite.read_file(str(CATALOG), "catalog")
    notes = [n.text for n in root.search_by_name("note")]
    assert notes == [
        "Two copies on order; the first is promised for März.",
        "Rebound in 1987 — spine repaired.",
        'Shelf mark <R 443 ACA> & "do not lend"',
        "Café corner, rack 2 (<\u00a010 copies>).",
    ]
    assert root.search_by_attr("label")[0].attrs["label"] == "Fiction & Poetry"


# ----------------------------------------------------------------------------
# pretty


@pytest.mark.parametrize(
    "options, indent, declaration",
    [
        ([], 4, True),
        (["--indent", "2"], 2, True),
        (["--indent", "0"], 0, True),
        (["--no-declaration"], 4, False),
        (["--indent", "3", "--no-declaration"], 3, False),
    ],
)
def test_pretty_prints_write_string_output(capsys, options, indent, declaration):
    status, out, err = run(capsys, "pretty", CATALOG, "catalog", *options)
    assert (status, err) == (0, "")
    expected = arbolite.write_string(
        arbolite.read_file(str(CATALOG), "catalog"), indent, declaration
    )
    assert out.endswith("\n")
    assert canonical(out[:-1]) == canonical(expected)

    lines = out.split("\n")
    assert (lines[0] == DECL) is declaration
    body = lines[1:] if declaration else lines
    assert body[0].startswith("<catalog ")
    # The first section sits one level down, its first book two.
    assert body[1][indent:].startswith("<section ")
    assert body[1][:indent] == " " * indent
    assert body[2][2 * indent :].startswith("<book ")
    assert body[2][: 2 * indent] == " " * (2 * indent)


@pytest.mark.parametrize(
    "options, indent, declaration",
    [
        ([], 4, True),
        (["--indent", "2"], 2, True),
        (["--indent", "0", "--no-declaration"], 0, False),
    ],
)
@pytest.mark.parametrize("flag", ["-o", "--output"])
def test_pretty_to_file_writes_the_same_bytes(
    capsys, tmp_path, options, indent, declaration, flag
):
    out_path = tmp_path / "out.xml"
    out_path.write_text("old content that must disappear " * 500)
    status, out, err = run(capsys, "pretty", CATALOG, "catalog", *options, flag, out_path)
    assert (status, out, err) == (0, "", "")
    written = out_path.read_bytes().decode("utf-8")
    expected = arbolite.write_string(
        arbolite.read_file(str(CATALOG), "catalog"), indent, declaration
    )
    assert canonical(written) == canonical(expected)
    # Same bytes as the standard-output form, less the final line feed.
    status, printed, _ = run(capsys, "pretty", CATALOG, "catalog", *options)
    assert canonical(printed) == canonical(written) + "\n"


def test_pretty_of_an_inner_element(capsys):
    status, out, err = run(capsys, "pretty", CATALOG, "title", "--no-declaration")
    assert (status, out, err) == (0, "<title>Les Misérables</title>\n", "")


def test_pretty_output_is_utf8_whatever_the_locale(tmp_path):
    env = dict(os.environ, PYTHONIOENCODING="ascii")
    proc = subprocess.run(
        [sys.executable, "-m", "arbolite_cli", "pretty", str(CATALOG), "book"],
        capture_output=True,
        env=env,
        cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout.decode("utf-8")
    assert "<title>Les Misérables</title>" in text


# ----------------------------------------------------------------------------
# json


@pytest.mark.parametrize("root", ["catalog", "section", "book", "note", "staff"])
def test_json_parses_back_to_the_dictionary_form(capsys, root):
    status, out, err = run(capsys, "json", CATALOG, root)
    assert (status, err) == (0, "")
    data = json.loads(out)
    assert data == arbolite.read_file(str(CATALOG), root).to_dict()
    # Two-blank indentation and non-ASCII text kept as it is.
    assert out == json.dumps(data, ensure_ascii=False, indent=2) + "\n"


@pytest.mark.parametrize(
    "root, literal",
    [
        ("title", '"text": "Les Misérables"'),
        ("note", '"text": "Two copies on order; the first is promised for März."'),
        ("staff", '"text": "José García"'),
        ("catalog", '"text": "雪国"'),
    ],
)
def test_json_keeps_non_ascii_characters(capsys, root, literal):
    _, out, _ = run(capsys, "json", CATALOG, root)
    assert literal in out
    assert "\\u" not in out


# ----------------------------------------------------------------------------
# find


@pytest.mark.parametrize(
    "root, value, options, names",
    [
        ("catalog", "book", [], ["book"] * 5),
        ("catalog", "book", ["--by", "tag"], ["book"] * 5),
        ("catalog", "catalog", ["--depth", "0"], ["catalog"]),
        ("catalog", "section", ["--depth", "1"], ["section"] * 3),
        ("catalog", "pages", ["--by", "attr"], ["atlas"]),
        ("catalog", "id", ["--by", "attr", "--depth", "1"], ["section"] * 3),
        (
            "catalog",
            "id",
            ["--by", "attr", "--depth", "2"],
            ["section", "book", "book", "book", "book"]
            + ["section", "book", "atlas", "section", "magazine", "magazine"],
        ),
        ("catalog", "Victor Hugo", ["--by", "text"], ["author"]),
        ("catalog", 'Shelf mark <R 443 ACA> & "do not lend"', ["--by", "text"], ["note"]),
        ("catalog", "雪国", ["--by", "text"], ["title"]),
        ("section", "title", [], ["title"] * 4),
        ("staff", "librarian", ["--depth", "1"], ["librarian"] * 2),
    ],
)
def test_find_lists_the_matches_in_document_order(capsys, root, value, options, names):
    status, out, err = run(capsys, "find", CATALOG, root, value, *options)
    assert (status, err) == (0, "")
    assert top_level_names(out) == names


@pytest.mark.parametrize(
    "root, value, options",
    [
        ("catalog", "book", ["--depth", "1"]),
        ("catalog", "Book", []),
        ("catalog", "b101", ["--by", "attr"]),
        ("catalog", "Victor", ["--by", "text"]),
        ("catalog", "", ["--by", "text"]),
        ("book", "magazine", []),
    ],
)
def test_find_without_match_fails_with_status_1(capsys, root, value, options):
    # As grep: nothing matched is no error, and nothing is printed.
    status, out, err = run(capsys, "find", CATALOG, root, value, *options)
    assert (status, out, err) == (1, "", "")


def test_find_separates_outlines_by_one_blank_line(capsys):
    _, out, _ = run(capsys, "find", CATALOG, "catalog", "year")
    years = ["1862", "1924", "1948", "1951", "1935", "2019", "2024", "2023"]
    assert out == "\n".join(f"Name: year\nText: {y}\n" for y in years)
    _, out, _ = run(capsys, "find", CATALOG, "catalog", "Victor Hugo", "--by", "text")
    assert out == "Name: author\nAttributes:\nborn: 1802\nText: Victor Hugo\n"


def test_find_prints_the_outline_of_each_match(capsys):
    root = arbolite.read_file(str(CATALOG), "catalog")
    for args, matches in [
        (["tags"], root.search_by_name("tags")),
        (["section", "--depth", "1"], root.children[:3]),
        (["id", "--by", "attr"], root.search_by_attr("id")),
    ]:
        status, out, _ = run(capsys, "find", CATALOG, "catalog", *args)
        assert status == 0
        # Outlines with children end in a line feed already; one more line
        # feed separates them.
        expected = "\n".join(str(m) for m in matches)
        assert normalise_outline(out) == normalise_outline(expected)


# ----------------------------------------------------------------------------
# Errors


def _missing(tmp_path):
    return ["json", tmp_path / "nope.xml", "catalog"]


def _directory(tmp_path):
    return ["pretty", tmp_path, "catalog"]


def _not_a_directory(tmp_path):
    return ["find", CATALOG / "inner.xml", "catalog", "x"]


@pytest.mark.parametrize(
    "argv, code",
    [
        (_missing, errno.ENOENT),
        (_directory, errno.EISDIR),
        (_not_a_directory, errno.ENOTDIR),
    ],
)
def test_unreadable_file_is_one_line_with_the_os_message(capsys, tmp_path, argv, code):
    args = argv(tmp_path)
    status, out, err = run(capsys, *args)
    assert (status, out) == (2, "")
    assert_one_error_line(err)
    assert err == f"arbolite: error: {args[1]}: {os.strerror(code)} (os error {code})\n"


@pytest.mark.parametrize(
    "document, root",
    [
        (b"<a><b></a>", "a"),
        (b"<catalog><book>x</book>", "catalog"),
        (b"<a>&nbsp;</a>", "a"),
        (b"<a><!-- never closed </a>", "a"),
        (b"<a/>", "catalog"),
        (b"", "catalog"),
    ],
)
@pytest.mark.parametrize("command", [["json"], ["pretty"], ["find", "x"]])
def test_bad_document_reports_the_read_error(capsys, tmp_path, document, root, command):
    path = write_bytes(tmp_path, document)
    with pytest.raises(ValueError) as excinfo:
        arbolite.read_string(document.decode(), root)
    argv = [command[0], path, root] + command[1:]
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    notes = getattr(excinfo.value, "__notes__", None)
    if notes:
        line, column = re.fullmatch(r"line (\d+), column (\d+)", notes[0]).groups()
        assert err == f"{path}:{line}:{column}: {excinfo.value}\n"
    else:
        assert err == f"arbolite: error: {path}: {excinfo.value}\n"


def test_root_not_found_names_the_root(capsys):
    status, out, err = run(capsys, "find", CATALOG, "shelf", "book")
    assert (status, out) == (2, "")
    assert err == f"arbolite: error: {CATALOG}: root tag <shelf> not found in document\n"


def test_invalid_utf8_file(capsys, tmp_path):
    path = write_bytes(tmp_path, b"<a>caf\xe9</a>")
    status, out, err = run(capsys, "json", path, "a")
    assert (status, out) == (2, "")
    assert err == f"arbolite: error: {path}: stream did not contain valid UTF-8\n"


@pytest.mark.parametrize(
    "target, code",
    [
        ("missing/out.xml", errno.ENOENT),
        (".", errno.EISDIR),
    ],
)
def test_unwritable_output_file(capsys, tmp_path, target, code):
    out_path = tmp_path / target
    status, out, err = run(capsys, "pretty", CATALOG, "catalog", "-o", out_path)
    assert (status, out) == (2, "")
    assert err == f"arbolite: error: {out_path}: {os.strerror(code)} (os error {code})\n"


@pytest.mark.parametrize(
    "argv, mentions",
    [
        (["pretty", CATALOG, "catalog", "--indent", "-1"], "--indent"),
        (["pretty", CATALOG, "catalog", "--indent", "x"], "--indent"),
        (["pretty", CATALOG, "catalog", "--indent", "1.5"], "--indent"),
        (["pretty", CATALOG, "catalog", "--indent", str(2**64)], "--indent"),
        (["find", CATALOG, "catalog", "book", "--depth", "-3"], "--depth"),
        (["find", CATALOG, "catalog", "book", "--depth", "two"], "--depth"),
        (["find", CATALOG, "catalog", "book", "--depth", str(2**31)], "--depth"),
        (["find", CATALOG, "catalog", "book", "--by", "name"], "--by"),
        (["json", CATALOG, "catalog", "--indent", "2", "--compact"], "--compact"),
        (["json", CATALOG, "--indent", "-1"], "--indent"),
        (["json"], "FILE"),
        (["find", CATALOG], "VALUE"),
        (["find", CATALOG, "catalog", "book", "extra"], "extra"),
        (["pretty", CATALOG, "catalog", "book"], "book"),
        (["json", CATALOG, "-x"], "-x"),
        (["find", "--bogus", CATALOG, "catalog", "book"], "--bogus"),
        (["convert", CATALOG, "catalog"], "convert"),
        ([], "COMMAND"),
        (["pretty", "/tmp/\udcff.xml", "catalog"], "FILE"),
        (["find", CATALOG, "catalog", "\ud800"], "VALUE"),
    ],
)
def test_usage_errors_exit_2_with_one_line(capsys, argv, mentions):
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert_one_error_line(err)
    assert mentions in err


def test_running_out_of_memory_is_one_line(monkeypatch, capsys):
    # A huge --indent makes the output too large to hold.
    def write_string(*args):
        raise MemoryError

    monkeypatch.setattr(arbolite, "write_string", write_string)
    status, out, err = run(capsys, "pretty", CATALOG, "catalog", "--indent", str(10**15))
    assert (status, out, err) == (2, "", "arbolite: error: out of memory\n")


def test_large_indent_within_range_is_accepted(capsys):
    status, out, _ = run(capsys, "pretty", CATALOG, "title", "--indent", "1000")
    assert (status, out) == (0, DECL + "\n<title>Les Misérables</title>\n")


@pytest.mark.parametrize("argv", [["--help"], ["pretty", "--help"], ["find", "-h"]])
def test_help_exits_0(capsys, argv):
    status, out, err = run(capsys, *argv)
    assert (status, err) == (0, "")
    assert out.startswith("usage: arbolite")
    # The exit statuses and the error format are documented with every command.
    assert "exit status:" in out and "1  find matched no element" in out
    assert "FILE:LINE:COLUMN" in out


def test_version(capsys):
    status, out, _ = run(capsys, "--version")
    assert status == 0
    assert out.startswith("arbolite ")


# ----------------------------------------------------------------------------
# Broken pipes


class _ClosedPipe(io.TextIOBase):
    def write(self, text):
        raise BrokenPipeError(errno.EPIPE, "Broken pipe")

    def flush(self):
        pass


@pytest.mark.parametrize(
    "argv",
    [
        ["pretty", CATALOG, "catalog"],
        ["json", CATALOG, "catalog"],
        ["find", CATALOG, "catalog", "book"],
    ],
)
def test_broken_pipe_in_process_is_silent(monkeypatch, capsys, argv):
    # Called from Python, SIGPIPE stays ignored: the command stops quietly
    # with the status a shell gives a command that SIGPIPE ended.
    monkeypatch.setattr(sys, "stdout", _ClosedPipe())
    status = arbolite_cli.main([str(a) for a in argv])
    monkeypatch.undo()
    assert status == 128 + signal.SIGPIPE
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("command", [["pretty"], ["json"], ["find", "item"]])
def test_reader_closing_the_pipe_early_gives_no_traceback(tmp_path, command):
    items = "".join(f'<item id="{i}">text {i}</item>' for i in range(20000))
    path = tmp_path / "big.xml"
    path.write_text(f"<r>{items}</r>")
    argv = [sys.executable, "-m", "arbolite_cli", command[0], str(path), "r"] + command[1:]
    proc = subprocess.Popen(
        argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path
    )
    # The output is far larger than a pipe's buffer, so the tool is still
    # writing when the reader goes away.
    assert len(proc.stdout.read(100)) == 100
    proc.stdout.close()
    err = proc.stderr.read()
    proc.stderr.close()
    # Ended by SIGPIPE, as other tools are, without a word.
    assert proc.wait(timeout=120) == -signal.SIGPIPE
    assert err == b""


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("command", [["pretty"], ["json"], ["find", "year"]])
def test_full_output_device_is_reported(tmp_path, command):
    argv = [sys.executable, "-m", "arbolite_cli", command[0], str(CATALOG), "catalog"]
    with open("/dev/full", "wb") as full:
        proc = subprocess.run(
            argv + command[1:], stdout=full, stderr=subprocess.PIPE, cwd=tmp_path
        )
    assert proc.returncode == 2
    err = proc.stderr.decode()
    assert_one_error_line(err)
    assert os.strerror(errno.ENOSPC) in err


# ----------------------------------------------------------------------------
# The installed console script


def _console_script():
    found = shutil.which("arbolite", path=str(pathlib.Path(sys.executable).parent))
    if found is None:
        pytest.skip("the arbolite console script is not installed next to the interpreter")
    return found


@pytest.mark.parametrize(
    "argv, status, stdout, stderr",
    [
        (
            ["find", CATALOG, "catalog", "scale"],
            0,
            "Name: scale\nText: 1:10 000 000\n",
            "",
        ),
        (
            ["pretty", CATALOG, "title", "--indent", "0", "--no-declaration"],
            0,
            "<title>Les Misérables</title>\n",
            "",
        ),
        (["find", CATALOG, "catalog", "nothing"], 1, "", ""),
        (
            ["json", "/nonexistent/catalog.xml", "catalog"],
            2,
            "",
            "arbolite: error: /nonexistent/catalog.xml: "
            f"{os.strerror(errno.ENOENT)} (os error 2)\n",
        ),
        (["pretty", CATALOG, "catalog", "--indent", "-2"], 2, "", None),
    ],
)
def test_console_script(tmp_path, argv, status, stdout, stderr):
    script = _console_script()
    proc = subprocess.run(
        [script] + [str(a) for a in argv],
        capture_output=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert proc.returncode == status, proc.stderr
    assert proc.stdout.decode("utf-8") == stdout
    err = proc.stderr.decode("utf-8")
    if stderr is None:
        assert_one_error_line(err)
    else:
        assert err == stderr


# ----------------------------------------------------------------------------
# Errors at a place in the document: FILE:LINE:COLUMN: message


@pytest.mark.parametrize(
    "document, root, where, message",
    [
        (b"<r>\n  <a>\xc3\xa9</b>\n</r>", "r", "2:7", "malformed XML at byte 11: expected </a>, found </b>"),
        (b"<r>\r\n<a x=1/></r>", "r", "2:6", "malformed XML at byte 10: value of attribute 'x' is not quoted"),
        (b"<r>\n\n  \xe4\xb8\xad&nbsp;</r>", "r", "3:4", "unknown entity reference '&nbsp;' at byte 10"),
        (b"<r>\n<a", "r", "2:1", "malformed XML: Unclosed tag at byte 4"),
        (b"</x>", None, "1:1", "malformed XML at byte 0: unexpected end tag </x>"),
    ],
)
@pytest.mark.parametrize("source", ["file", "stdin"])
def test_fault_is_reported_at_file_line_column(tmp_path, source, document, root, where, message):
    path = write_bytes(tmp_path, document)
    name = str(path) if source == "file" else "-"
    argv = ["json", name] + ([root] if root else [])
    proc = run_tool(argv, stdin=document if source == "stdin" else b"")
    shown = str(path) if source == "file" else "<stdin>"
    assert (proc.returncode, proc.stdout) == (2, b"")
    assert proc.stderr.decode() == f"{shown}:{where}: {message}\n"


def test_line_breaks_in_a_message_stay_on_one_line(capsys, tmp_path):
    path = write_bytes(tmp_path, b"<r>\n &a\nb; </r>")
    status, out, err = run(capsys, "json", path)
    assert (status, out) == (2, "")
    assert err == f"{path}:2:2: unknown entity reference '&a\\nb;' at byte 5\n"


# ----------------------------------------------------------------------------
# Without ROOT: the document element


PROLOGS = [
    # (document, the document element)
    ("<r/>", "r"),
    ("<r><a/></r>", "r"),
    ('<?xml version="1.0" encoding="UTF-8"?>\n<doc a="1"><x/></doc>', "doc"),
    ("\ufeff<?xml version='1.0'?><r/>", "r"),
    ("  text first <r/>", "r"),
    ("<!-- <fake/> --><r/>", "r"),
    ("<!-- - -- --->\n<r/>", "r"),
    ("<?pi <fake/> > still the pi ?><r/>", "r"),
    ("<?pi?><?x?><r/>", "r"),
    ("<![CDATA[<fake/>]]><r/>", "r"),
    ("<!DOCTYPE r><r/>", "r"),
    ("<!DOCTYPE r SYSTEM 'a>b.dtd'><r/>", "r"),
    ('<!DOCTYPE r [\n<!ELEMENT r ANY>\n<!ATTLIST r a CDATA "<fake>">\n]>\n<r/>', "r"),
    ("<!DOCTYPE r [ <!-- ]> <fake/> --> <?pi ]> ?> <!ENTITY e ']>'> ]><r/>", "r"),
    ("<!other declaration><r/>", "r"),
    ("<r\n  a='1'/>", "r"),
    ("<ns:r xmlns:ns='u'/>", "ns:r"),
    ("<é中/>", "é中"),
    ("<r>" + "<a/>" * 50_000 + "</r>", "r"),
    # A long prolog crosses the chunks read from a file.
    ("<!DOCTYPE r [" + "<!ENTITY e 'x>]'>" * 20_000 + "]><!--" + "-" * 70_000 + "--><r/>", "r"),
    ("<?pi " + "?" * 200_000 + "?><r/>", "r"),
]


def expected_json(document, name):
    return json.dumps(arbolite.read_string(document, name).to_dict(), ensure_ascii=False, indent=2) + "\n"


@pytest.mark.parametrize("document, name", PROLOGS, ids=range(len(PROLOGS)))
def test_document_element_is_the_default_root(capsys, tmp_path, document, name):
    data = document.encode()
    # Any prefix of the document gives the same name, or asks for more.
    for cut in sorted({0, 1, 5, 9, 10, 17, 40, len(data) // 2, len(data) - 1}):
        found = arbolite_cli._first_element_name(data[: max(cut, 0)], complete=False)
        assert found is arbolite_cli._MORE or found == name.encode(), cut
    assert arbolite_cli._first_element_name(data, complete=True) == name.encode()
    path = write_bytes(tmp_path, data)
    status, out, err = run(capsys, "json", path)
    assert (status, err) == (0, "")
    assert out == expected_json(document, name)


@pytest.mark.parametrize(
    "document, message",
    [
        (b"", "arbolite: error: {path}: no element in document"),
        (b"just text\n<!-- and a comment -->", "arbolite: error: {path}: no element in document"),
        # A declaration runs to the next '>', whatever stands between.
        (b"<!x <r/>", "arbolite: error: {path}: no element in document"),
        (b"<?xml version='1.0'?>\n<!-- x", "{path}:2:7: malformed XML at byte 28: unexpected end of document"),
        (b"<!DOCTYPE r [ <!ELEMENT r ANY>", "{path}:1:1: malformed XML at byte 0: unterminated document type declaration"),
        (b"\n< r/>", "{path}:2:1: malformed XML at byte 1: expected element name after '<'"),
        (b"<![CDATA[x", "{path}:1:1: malformed XML at byte 0: unterminated CDATA section"),
        (b"<r", "{path}:1:1: malformed XML: Unclosed tag at byte 0"),
        (b"<r>\xff</r>", "arbolite: error: {path}: stream did not contain valid UTF-8"),
        (b"<\xff/>", "arbolite: error: {path}: stream did not contain valid UTF-8"),
    ],
)
def test_default_root_with_a_faulty_prolog(capsys, tmp_path, document, message):
    path = write_bytes(tmp_path, document)
    status, out, err = run(capsys, "pretty", path)
    assert (status, out) == (2, "")
    assert err == message.format(path=path) + "\n"


def test_default_root_of_a_missing_file(capsys, tmp_path):
    path = tmp_path / "nope.xml"
    status, out, err = run(capsys, "find", path, "x")
    assert (status, out) == (2, "")
    assert err == f"arbolite: error: {path}: {os.strerror(errno.ENOENT)} (os error 2)\n"


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
@pytest.mark.parametrize("root", [[], ["r"]])
def test_named_pipe_is_read_once(tmp_path, root):
    fifo = tmp_path / "doc.fifo"
    os.mkfifo(fifo)
    document = "<?xml version='1.0'?><!-- x --><r><a>1</a></r>"

    def feed():
        with open(fifo, "w", encoding="utf-8") as f:
            f.write(document)

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        proc = run_tool(["json", str(fifo), *root, "--compact"])
    finally:
        writer.join(timeout=60)
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert json.loads(proc.stdout) == arbolite.read_string(document, "r").to_dict()


# ----------------------------------------------------------------------------
# Standard input


def run_tool(argv, stdin=b"", timeout=120):
    """Runs the tool as a program; returns the completed process (bytes)."""
    return subprocess.run(
        [sys.executable, "-m", "arbolite_cli", *[str(a) for a in argv]],
        input=stdin,
        capture_output=True,
        timeout=timeout,
    )


@pytest.mark.parametrize(
    "argv",
    [
        ["json", "-"],
        ["json", "-", "catalog"],
        ["json", "/dev/stdin"],
        ["find", "-", "catalog", "--by", "attr", "--depth", "0", "branch"],
    ],
)
def test_standard_input(argv):
    data = CATALOG.read_bytes()
    proc = run_tool(argv, stdin=data)
    assert (proc.returncode, proc.stderr) == (0, b"")
    tree = arbolite.read_file(str(CATALOG), "catalog")
    if argv[0] == "json":
        assert json.loads(proc.stdout) == tree.to_dict()
    else:
        assert top_level_names(proc.stdout.decode()) == ["catalog"]


def test_standard_input_that_is_not_utf8():
    proc = run_tool(["json", "-"], stdin=b"<r>caf\xe9</r>")
    assert (proc.returncode, proc.stdout) == (2, b"")
    assert proc.stderr == b"arbolite: error: <stdin>: stream did not contain valid UTF-8\n"


# ----------------------------------------------------------------------------
# Operands and options in any order; JSON layout


@pytest.mark.parametrize(
    "argv",
    [
        ["find", CATALOG, "catalog", "id", "--by", "attr", "--depth", "1"],
        ["find", "--by", "attr", CATALOG, "catalog", "id", "--depth", "1"],
        ["find", CATALOG, "--by", "attr", "catalog", "--depth", "1", "id"],
        ["find", CATALOG, "catalog", "--by=attr", "--depth=1", "--", "id"],
        ["find", CATALOG, "id", "--by", "attr", "--depth", "1"],
        ["find", "--depth", "1", CATALOG, "--by", "attr", "id"],
    ],
)
def test_operands_between_options(capsys, argv):
    status, out, err = run(capsys, *argv)
    assert (status, err) == (0, "")
    assert top_level_names(out) == ["section"] * 3


def test_operand_after_double_dash_may_start_with_a_dash(capsys, tmp_path):
    path = write_bytes(tmp_path, b"<r><a>-x</a></r>")
    status, out, _ = run(capsys, "find", path, "--by", "text", "--", "-x")
    assert (status, out) == (0, "Name: a\nText: -x\n")


@pytest.mark.parametrize(
    "options, dumps",
    [
        ([], {"indent": 2}),
        (["--indent", "0"], {"indent": 0}),
        (["--indent", "5"], {"indent": 5}),
        (["--compact"], {"separators": (",", ":")}),
    ],
)
def test_json_layout(capsys, options, dumps):
    status, out, err = run(capsys, "json", CATALOG, "book", *options)
    assert (status, err) == (0, "")
    form = arbolite.read_file(str(CATALOG), "book").to_dict()
    assert json.loads(out) == form
    # Attribute order follows each node's map, so compare the layout of the
    # parsed-back form.
    assert out == json.dumps(json.loads(out), ensure_ascii=False, **dumps) + "\n"
    if "--compact" in options:
        assert out.count("\n") == 1 and ": " not in out.replace('": "', "")


# ----------------------------------------------------------------------------
# Exit statuses and pipes, as a program


@pytest.mark.parametrize(
    "argv, stdin, status",
    [
        (["find", CATALOG, "catalog", "book"], b"", 0),
        (["find", "-", "year"], CATALOG.read_bytes(), 0),
        (["find", CATALOG, "catalog", "nothing"], b"", 1),
        (["find", "-", "r", "nothing"], b"<r/>", 1),
        (["json", "-"], b"<r><a></r>", 2),
        (["json", "/nonexistent/x.xml"], b"", 2),
        (["pretty", CATALOG, "catalog", "--indent", "x"], b"", 2),
        (["bogus"], b"", 2),
        ([], b"", 2),
        (["--version"], b"", 0),
        (["json", "--help"], b"", 0),
    ],
)
def test_exit_status(argv, stdin, status):
    proc = run_tool(argv, stdin=stdin)
    assert proc.returncode == status, proc.stderr
    assert b"Traceback" not in proc.stderr
    if status == 1:
        assert proc.stdout == proc.stderr == b""


def test_version_fallback(monkeypatch, capsys):
    import importlib.metadata

    assert arbolite_cli._version() == importlib.metadata.version("arbolite")

    def missing(name):
        raise importlib.metadata.PackageNotFoundError(name)

    monkeypatch.setattr(importlib.metadata, "version", missing)
    expected = getattr(arbolite, "__version__", "unknown")
    status, out, _ = run(capsys, "--version")
    assert (status, out) == (0, f"arbolite {expected}\n")


def big_document(tmp_path):
    path = tmp_path / "big.xml"
    path.write_text("<r>" + "".join(f'<item id="{i}">text {i}</item>\n' for i in range(40_000)) + "</r>")
    return path


@pytest.mark.skipif(shutil.which("head") is None, reason="needs head")
@pytest.mark.parametrize("argv", [["json"], ["pretty"], ["find", "item"], ["json", "--compact"]])
def test_pipe_into_head_ends_by_sigpipe(tmp_path, argv):
    path = big_document(tmp_path)
    tool = subprocess.Popen(
        [sys.executable, "-m", "arbolite_cli", argv[0], str(path), *argv[1:]],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    head = subprocess.Popen(["head", "-c", "1"], stdin=tool.stdout, stdout=subprocess.PIPE)
    tool.stdout.close()  # head holds the only reading end
    first, _ = head.communicate(timeout=120)
    err = tool.stderr.read()
    tool.stderr.close()
    assert tool.wait(timeout=120) == -signal.SIGPIPE
    assert len(first) == 1 and err == b""
