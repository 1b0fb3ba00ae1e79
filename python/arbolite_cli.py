"""The ``arbolite`` command: re-indent, dump as JSON or search an XML document.

Every command reads one element of a UTF-8 document and works on that
element's subtree: the first element named ROOT, at any depth, or without
ROOT the document element (the first element of the document). FILE ``-``
reads standard input.

Exit status, as grep has it: 0 on success (for ``find``: something matched),
1 when ``find`` matched nothing (nothing is printed then), 2 on any error
(usage, a file that cannot be read or written, a malformed document).

Errors are one line on standard error. A fault at a place in the document is
reported as ``FILE:LINE:COLUMN: message`` (lines and columns counted from 1,
columns in characters; standard input is named ``<stdin>``); any other error
as ``arbolite: error: FILE: message`` or ``arbolite: error: message``.

When the reader of the output goes away (``arbolite json big.xml | head``),
the command ends as other Unix tools do: run as a program it restores the
default action of SIGPIPE, which ends it quietly (status 141 in the shell).
Output is written as UTF-8.
"""

import argparse
import errno
import json
import os
import re
import signal
import stat
import sys
import textwrap

import arbolite

PROG = "arbolite"
STDIN_NAME = "<stdin>"

# The status of each outcome.
EXIT_OK = 0
EXIT_NO_MATCH = 1
EXIT_ERROR = 2
# What a shell reports for a command ended by SIGPIPE, used when the signal
# cannot end the command itself (main() called from other Python code).
EXIT_BROKEN_PIPE = 128 + 13
EXIT_INTERRUPTED = 130

# Largest values the library takes for these options: the indent is a
# 64-bit size, the depth a signed 32-bit count.
_INDENT_MAX = 2**64 - 1
_DEPTH_MAX = 2**31 - 1

_SEARCH_TYPES = {
    "tag": arbolite.SearchType.Tag,
    "attr": arbolite.SearchType.Attr,
    "text": arbolite.SearchType.Text,
}

# Characters that would break an error report over several lines.
_LINE_BREAKS = {ord(c): f"\\x{ord(c):02x}" for c in "\r\x0b\x0c\x1c\x1d\x1e\x85"}
_LINE_BREAKS.update({ord("\n"): "\\n", 0x2028: "\\u2028", 0x2029: "\\u2029"})

# The note of a read error that names a byte of the document.
_POSITION_NOTE = re.compile(r"line (\d+), column (\d+)")

# What argparse takes for a negative number rather than an option.
_NEGATIVE_NUMBER = re.compile(r"^-\d+$|^-\d*\.\d+$")

_EXIT_STATUS_HELP = """\
FILE - reads standard input. A fault in the document is reported as
FILE:LINE:COLUMN: message (columns count characters; standard input is
<stdin>), other errors as "arbolite: error: ...".

exit status:
  0  success (find: at least one element matched)
  1  find matched no element (nothing is printed)
  2  an error: bad usage, a file that cannot be read or written, or a
     malformed document
A reader that closes the output early (arbolite json big.xml | head) ends
the command quietly through SIGPIPE, as it ends other tools (the shell shows
status 141)."""

_OPERANDS_HELP = {
    "FILE": "the XML document (UTF-8); - reads standard input",
    "ROOT": "name of the element to work on: the first element of that name, at "
    "any depth (default: the document element)",
    "VALUE": "the string to look for",
}


class _InputError(Exception):
    """An error to report: input that cannot be read or parsed, or an output
    that cannot be written. `where` is the (line, column) of a fault in the
    document, if the error names one."""

    def __init__(self, file, message, where=None):
        super().__init__(message)
        self.file = file
        self.message = message
        self.where = where


class _Parser(argparse.ArgumentParser):
    # One line per error, always under the command's own name, also for the
    # subcommands' parsers (argparse builds those with this same class).
    def error(self, message):
        _report(message)
        raise SystemExit(EXIT_ERROR)


def _write_error_line(line):
    err = sys.stderr
    if err is None:
        return
    try:
        err.write(line.translate(_LINE_BREAKS) + "\n")
        err.flush()
    except (OSError, ValueError):
        pass


def _report(message):
    _write_error_line(f"{PROG}: error: {message}")


def _report_input_error(exc):
    if exc.where is not None:
        line, column = exc.where
        _write_error_line(f"{exc.file}:{line}:{column}: {exc.message}")
    elif exc.file is not None:
        _report(f"{exc.file}: {exc.message}")
    else:
        _report(exc.message)


def _bounded_int(limit):
    def convert(text):
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"expected a non-negative integer, got {text!r}"
            ) from None
        if value < 0:
            raise argparse.ArgumentTypeError(
                f"expected a non-negative integer, got {text!r}"
            )
        if value > limit:
            raise argparse.ArgumentTypeError(f"{text!r} is too large (at most {limit})")
        return value

    return convert


def _version():
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover - always present on supported Pythons
        return getattr(arbolite, "__version__", "unknown")
    try:
        return version("arbolite")
    except PackageNotFoundError:
        # Run from a build tree that was never installed.
        return getattr(arbolite, "__version__", "unknown")


# Operands (FILE, ROOT, VALUE) are taken from what the option parsing leaves,
# so that they may stand before, between or after the options in any order,
# with ROOT optional in the middle; argparse alone would hand an optional
# operand the wrong word when options come between them.
_OPERANDS = {
    "pretty": (("FILE",), ("ROOT",), ()),
    "json": (("FILE",), ("ROOT",), ()),
    "find": (("FILE",), ("ROOT",), ("VALUE",)),
}


def build_parser():
    parser = _Parser(
        prog=PROG,
        description="Re-indent, convert to JSON or search an XML document. Each command "
        "reads FILE (UTF-8) and works on the first element named ROOT, at any depth, "
        "or without ROOT on the document element.",
        epilog=_EXIT_STATUS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def add_command(name, help_text, options):
        head, optional, tail = _OPERANDS[name]
        operands = head + optional + tail
        lines = [help_text, "", "operands:"]
        for op in operands:
            lines += textwrap.wrap(
                _OPERANDS_HELP[op], 76, initial_indent=f"  {op:<6} ", subsequent_indent=" " * 9
            )
        sub = commands.add_parser(
            name,
            help=help_text,
            description="\n".join(lines),
            epilog=_EXIT_STATUS_HELP,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        options(sub)
        words = list(head) + [f"[{op}]" for op in optional] + list(tail)
        sub.usage = " ".join([sub.format_usage()[len("usage: ") :].strip()] + words)
        return sub

    def pretty_options(sub):
        sub.add_argument(
            "--indent",
            metavar="N",
            type=_bounded_int(_INDENT_MAX),
            default=None,
            help="blanks per nesting level (default: 4)",
        )
        sub.add_argument(
            "--no-declaration",
            dest="declaration",
            action="store_false",
            help="leave out the XML declaration",
        )
        sub.add_argument(
            "-o",
            "--output",
            metavar="OUT",
            default=None,
            help="write to the file OUT (created or replaced) instead of standard output",
        )

    def json_options(sub):
        layout = sub.add_mutually_exclusive_group()
        layout.add_argument(
            "--indent",
            metavar="N",
            type=_bounded_int(_INDENT_MAX),
            default=None,  # 2; a default equal to the value given would hide it from the group
            help="blanks per nesting level (default: 2)",
        )
        layout.add_argument(
            "--compact",
            action="store_true",
            help="write the whole document on one line, without blanks",
        )

    def find_options(sub):
        sub.add_argument(
            "--by",
            choices=sorted(_SEARCH_TYPES),
            default="tag",
            help="compare VALUE with element names (tag, the default), attribute "
            "names (attr) or element texts (text); matches are exact",
        )
        sub.add_argument(
            "--depth",
            metavar="N",
            type=_bounded_int(_DEPTH_MAX),
            default=None,
            help="search at most N levels below ROOT (0: ROOT only; default: no limit)",
        )

    add_command("pretty", "write the ROOT element as indented XML", pretty_options)
    add_command("json", "print the ROOT element's dictionary form as JSON", json_options)
    add_command("find", "print the outline of every element that matches VALUE", find_options)
    return parser


def _parse_args(parser, argv):
    """Parses the options, then assigns the operands; usage errors exit 2."""
    args, rest = parser.parse_known_args(argv)
    operands = []
    unknown = []
    options_end = False
    for word in rest:
        if options_end:
            operands.append(word)
        elif word == "--":
            options_end = True
        elif word.startswith("-") and word != "-" and not _NEGATIVE_NUMBER.match(word):
            unknown.append(word)
        else:
            operands.append(word)
    if unknown:
        parser.error("unrecognized arguments: " + " ".join(unknown) + " (put -- before an operand that starts with -)")
    head, optional, tail = _OPERANDS[args.command]
    low = len(head) + len(tail)
    if len(operands) < low:
        missing = (head + tail)[len(operands) :] if len(operands) <= len(head) else tail
        parser.error(f"{args.command}: the following arguments are required: {', '.join(missing)}")
    if len(operands) > low + len(optional):
        extra = operands[low + len(optional) :]
        parser.error(f"{args.command}: unrecognized arguments: {' '.join(extra)}")
    given = len(operands) - low  # how many optional operands are present
    names = head + optional[:given] + tail
    for name in ("FILE", "ROOT", "VALUE"):
        setattr(args, name.lower(), None)
    for name, value in zip(names, operands):
        setattr(args, name.lower(), value)
    return args


# ----------------------------------------------------------------------------
# Finding the document element


class _More:
    """The scan needs more of the document."""


_MORE = _More()
_ELEMENT_NAME_END = re.compile(rb"[\t\n\f\r />]")
_PI_TARGET_END = re.compile(rb"[\t\n\f\r >?]")
_DOCTYPE_STOPS = re.compile(rb"[\"'\[\]<>]")


def _doctype_end(data, s):
    """The '>' that ends the document type declaration at s, or -1: the first
    '>' outside its internal subset and its quoted literals; comments and
    processing instructions in the subset are passed over whole."""
    depth = 0
    i = s + 9
    while True:
        m = _DOCTYPE_STOPS.search(data, i)
        if m is None:
            return -1
        x = m.start()
        c = data[x : x + 1]
        if c == b">":
            if depth == 0:
                return x
            i = x + 1
        elif c == b"[":
            depth += 1
            i = x + 1
        elif c == b"]":
            if depth:
                depth -= 1
            i = x + 1
        elif c in (b'"', b"'"):
            close = data.find(c, x + 1)
            if close < 0:
                return -1
            i = close + 1
        else:  # '<'
            if depth == 0:
                return -1
            if data.startswith(b"<!--", x):
                end = data.find(b"-->", x + 4)
                end = end + 2 if end >= 0 else -1
            elif data.startswith(b"<?", x):
                end = data.find(b"?>", x + 2)
                end = end + 1 if end >= 0 else -1
            else:
                end = x
            if end < 0:
                return -1
            i = end + 1


def _first_element_name(data, complete):
    """The name (bytes) of the first element of the document whose first
    bytes are `data` (all of it when `complete`), following the reader's own
    rules for the markup before it: the XML declaration and other processing
    instructions, comments, a document type declaration with its internal
    subset, other declarations, CDATA sections and text (a byte-order mark
    included) are passed over. None when there is no element before the end
    or the markup before it is faulty (reading the document then reports the
    fault); _MORE when `data` ends too early to tell."""
    more = None if complete else _MORE
    n = len(data)
    i = 0
    while True:
        s = data.find(b"<", i)
        if s < 0:
            return more
        if not complete and s + 9 >= n:
            return _MORE  # too few bytes to tell the kind of markup
        if s == n - 1:
            return None
        kind = data[s + 1 : s + 2]
        if kind not in (b"!", b"/", b"?"):
            m = _ELEMENT_NAME_END.search(data, s + 1)
            if m is None:
                return more
            return data[s + 1 : m.start()] or None
        if kind == b"/":
            return None  # an end tag before any element
        if kind == b"?":
            m = _PI_TARGET_END.search(data, s + 2)
            target_end = m.start() if m else n
            if target_end + 1 >= n:
                return more
            end = data.find(b"?>", target_end)
            if end < 0:
                return more
            i = end + 2
        elif data.startswith(b"<!--", s):
            end = data.find(b"-->", s + 4)
            if end < 0:
                return more
            i = end + 3
        elif data.startswith(b"<![CDATA[", s):
            end = data.find(b"]]>", s + 9)
            if end < 0:
                return more
            i = end + 3
        elif data.startswith(b"<!DOCTYPE", s):
            end = _doctype_end(data, s)
            if end < 0:
                return more
            i = end + 1
        else:
            end = data.find(b">", s)
            if end < 0:
                if not complete:
                    return _MORE
                i = s + 1  # no '>' at all: the '<' is text
            else:
                i = end + 1


def _decoded_name(name):
    if name is None:
        return None
    try:
        return name.decode("utf-8")
    except UnicodeDecodeError:
        return None  # the read reports the invalid bytes


def _root_of_file(path):
    """The document element's name from the first bytes of a regular file,
    read a growing chunk at a time until the name is complete."""
    with open(path, "rb") as f:
        data = b""
        size = 1 << 16
        while True:
            chunk = f.read(size)
            data += chunk
            name = _first_element_name(data, complete=not chunk)
            if name is not _MORE:
                return _decoded_name(name)
            size = min(size * 2, 1 << 24)


# ----------------------------------------------------------------------------
# Reading


def _os_message(exc):
    # The library's own form for system errors.
    if exc.errno is not None and exc.strerror:
        return f"{exc.strerror} (os error {exc.errno})"
    return str(exc)


def _position(exc):
    for note in getattr(exc, "__notes__", None) or ():
        m = _POSITION_NOTE.fullmatch(str(note))
        if m:
            return int(m.group(1)), int(m.group(2))
    return None


def _read_bytes(name, stream_or_path):
    try:
        if isinstance(stream_or_path, str):
            with open(stream_or_path, "rb") as f:
                return f.read()
        return stream_or_path.read()
    except OSError as exc:
        raise _InputError(name, _os_message(exc)) from None


def _decode(name, data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise _InputError(name, "stream did not contain valid UTF-8") from None


def _read(args):
    """The ROOT element of FILE (or the document element)."""
    root = args.root
    if args.file == "-":
        name = STDIN_NAME
        stdin = sys.stdin
        if stdin is None:
            raise _InputError(name, "standard input is closed")
        data = _read_bytes(name, getattr(stdin, "buffer", stdin))
        if isinstance(data, str):  # a text stream without a buffer
            data = data.encode("utf-8", "surrogateescape")
        return _parse_text(name, _decode(name, data), root, data)
    name = args.file
    if root is None:
        try:
            regular = stat.S_ISREG(os.stat(args.file).st_mode)
        except OSError:
            regular = True  # the read reports the error
        if not regular:
            # A pipe or a device can be read only once: the whole of it is
            # taken first, and the name found in it.
            data = _read_bytes(name, args.file)
            return _parse_text(name, _decode(name, data), None, data)
        try:
            root = _root_of_file(args.file)
        except OSError:
            root = None  # the read reports the error
    return _parse(name, lambda r: arbolite.read_file(args.file, r), root)


def _parse_text(name, text, root, data):
    if root is None:
        root = _decoded_name(_first_element_name(data, complete=True))
    return _parse(name, lambda r: arbolite.read_string(text, r), root)


def _parse(name, read, root):
    """Runs read(root); without a root name (no element found before a fault
    or the end), the read with an empty name reports the fault, if any."""
    try:
        return read("" if root is None else root)
    except OSError as exc:
        raise _InputError(name, str(exc)) from None
    except ValueError as exc:
        if root is None and not _position(exc) and str(exc) == "root tag <> not found in document":
            raise _InputError(name, "no element in document") from None
        raise _InputError(name, str(exc), _position(exc)) from None


# ----------------------------------------------------------------------------
# Commands


def _emit(text):
    """Writes text to standard output as UTF-8, whatever the locale says."""
    out = sys.stdout
    if out is None:
        raise _InputError(None, "standard output is closed")
    buffer = getattr(out, "buffer", None)
    if buffer is None:
        out.write(text)
    else:
        out.flush()
        # A buffered write that fails half-way (the disk filled up) may
        # return a short count instead of raising; writing the rest surfaces
        # the error.
        data = memoryview(text.encode("utf-8"))
        while data:
            written = buffer.write(data)
            if not written:
                raise OSError(errno.EIO, "could not write all output")
            data = data[written:]
    out.flush()


def _cmd_pretty(args):
    node = _read(args)
    if args.output is not None:
        try:
            arbolite.write_file(node, args.output, args.indent, args.declaration)
        except OSError as exc:
            raise _InputError(args.output, str(exc)) from None
    else:
        _emit(arbolite.write_string(node, args.indent, args.declaration) + "\n")
    return EXIT_OK


def _cmd_json(args):
    node = _read(args)
    form = node.to_dict()
    if args.compact:
        text = json.dumps(form, ensure_ascii=False, separators=(",", ":"))
    else:
        text = json.dumps(form, ensure_ascii=False, indent=2 if args.indent is None else args.indent)
    _emit(text + "\n")
    return EXIT_OK


def _cmd_find(args):
    node = _read(args)
    matches = node.search(_SEARCH_TYPES[args.by], args.value, args.depth)
    if not matches:
        return EXIT_NO_MATCH
    outlines = []
    for match in matches:
        outline = str(match)
        # An outline with children already ends in a line feed; others do not.
        outlines.append(outline if outline.endswith("\n") else outline + "\n")
    _emit("\n".join(outlines))
    return EXIT_OK


_COMMANDS = {"pretty": _cmd_pretty, "json": _cmd_json, "find": _cmd_find}


def _silence_stdout():
    # Later flushes of the closed pipe (at exit) must not complain either.
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, fd)
        os.close(devnull)
    except OSError:
        pass


def _default_sigpipe():
    # The interpreter ignores SIGPIPE, so that writes to a closed pipe raise
    # BrokenPipeError; a command line tool is ended by it instead.
    if hasattr(signal, "SIGPIPE"):
        try:
            signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        except (OSError, ValueError):  # not the main thread
            pass


def _run(argv):
    parser = build_parser()
    try:
        args = _parse_args(parser, argv)
    except SystemExit as exc:  # --help, --version and usage errors
        code = exc.code
        if code is None:
            return EXIT_OK
        return code if isinstance(code, int) else EXIT_ERROR
    # The library takes its strings as UTF-8; a name that the file system gave
    # as undecodable bytes cannot be passed on.
    for label, dest in (("FILE", "file"), ("ROOT", "root"), ("VALUE", "value"), ("OUT", "output")):
        text = getattr(args, dest, None)
        if text is None:
            continue
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            _report(f"{label} cannot be encoded as UTF-8: {text!r}")
            return EXIT_ERROR
    try:
        return _COMMANDS[args.command](args)
    except _InputError as exc:
        _report_input_error(exc)
        return EXIT_ERROR
    except BrokenPipeError:
        raise
    except OSError as exc:  # writing to standard output
        _report(f"standard output: {_os_message(exc)}")
        return EXIT_ERROR
    except MemoryError:
        _report("out of memory")
        return EXIT_ERROR
    except (OverflowError, TypeError) as exc:
        # Option values the library refuses.
        _report(exc)
        return EXIT_ERROR


def main(argv=None) -> int:
    """Runs the command line argv (default: sys.argv[1:], as the program
    itself, which SIGPIPE ends); returns the exit status."""
    if argv is None:
        _default_sigpipe()
    try:
        return _run(argv)
    except BrokenPipeError:
        # The reader went away while SIGPIPE was ignored: stop quietly.
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
