"""The ``arbolite`` command: re-indent, dump as JSON or search an XML document.

Every command reads one element of a UTF-8 file (the first element named ROOT,
at any depth) and works on that element's subtree.

Exit status: 0 on success, 1 when the input cannot be read or parsed, when
an output cannot be written or when ``find`` matched nothing, 2 for a usage
error. Errors are reported as one line on standard error,
``arbolite: error: <message>``. Output is written as UTF-8.
"""

import argparse
import errno
import json
import os
import sys

import arbolite

PROG = "arbolite"

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


class _InputError(Exception):
    """Input that cannot be read or parsed, or an output that cannot be written."""


class _Parser(argparse.ArgumentParser):
    # One line per error, always under the command's own name, also for the
    # subcommands' parsers (argparse builds those with this same class).
    def error(self, message):
        _report(message)
        raise SystemExit(2)


def _report(message):
    err = sys.stderr
    if err is None:
        return
    try:
        err.write(f"{PROG}: error: {str(message).translate(_LINE_BREAKS)}\n")
        err.flush()
    except (OSError, ValueError):
        pass


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
        return "unknown"
    try:
        return version("arbolite")
    except PackageNotFoundError:
        return "unknown"


def build_parser():
    parser = _Parser(
        prog=PROG,
        description="Re-indent, convert to JSON or search an XML document. Each command "
        "reads FILE (UTF-8) and works on the first element named ROOT, at any depth.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def add_command(name, help_text):
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("file", metavar="FILE", help="path of the XML document")
        sub.add_argument("root", metavar="ROOT", help="name of the element to read")
        return sub

    pretty = add_command("pretty", "write the ROOT element as indented XML")
    pretty.add_argument(
        "--indent",
        metavar="N",
        type=_bounded_int(_INDENT_MAX),
        default=None,
        help="blanks per nesting level (default: 4)",
    )
    pretty.add_argument(
        "--no-declaration",
        dest="declaration",
        action="store_false",
        help="leave out the XML declaration",
    )
    pretty.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        default=None,
        help="write to the file OUT (created or replaced) instead of standard output",
    )

    add_command("json", "print the ROOT element's dictionary form as JSON")

    find = add_command("find", "print the outline of every element that matches VALUE")
    find.add_argument("value", metavar="VALUE", help="the string to look for")
    find.add_argument(
        "--by",
        choices=sorted(_SEARCH_TYPES),
        default="tag",
        help="compare VALUE with element names (tag, the default), attribute "
        "names (attr) or element texts (text); matches are exact",
    )
    find.add_argument(
        "--depth",
        metavar="N",
        type=_bounded_int(_DEPTH_MAX),
        default=None,
        help="search at most N levels below ROOT (0: ROOT only; default: no limit)",
    )
    return parser


def _emit(text):
    """Writes text to standard output as UTF-8, whatever the locale says."""
    out = sys.stdout
    if out is None:
        raise _InputError("standard output is closed")
    buffer = getattr(out, "buffer", None)
    if buffer is None:
        out.write(text)
    else:
        out.flush()
        # A buffered write that fails half-way (the reader of a pipe went
        # away, the disk filled up) may return a short count instead of
        # raising; writing the rest surfaces the error.
        data = memoryview(text.encode("utf-8"))
        while data:
            written = buffer.write(data)
            if not written:
                raise OSError(errno.EIO, "could not write all output")
            data = data[written:]
    out.flush()


def _read(args):
    try:
        return arbolite.read_file(args.file, args.root)
    except (OSError, ValueError) as exc:
        raise _InputError(f"{args.file}: {exc}") from None


def _cmd_pretty(args):
    node = _read(args)
    if args.output is not None:
        try:
            arbolite.write_file(node, args.output, args.indent, args.declaration)
        except OSError as exc:
            raise _InputError(f"{args.output}: {exc}") from None
    else:
        _emit(arbolite.write_string(node, args.indent, args.declaration) + "\n")
    return 0


def _cmd_json(args):
    node = _read(args)
    _emit(json.dumps(node.to_dict(), ensure_ascii=False, indent=2) + "\n")
    return 0


def _cmd_find(args):
    node = _read(args)
    matches = node.search(_SEARCH_TYPES[args.by], args.value, args.depth)
    if not matches:
        _report("no match")
        return 1
    outlines = []
    for match in matches:
        outline = str(match)
        # An outline with children already ends in a line feed; others do not.
        outlines.append(outline if outline.endswith("\n") else outline + "\n")
    _emit("\n".join(outlines))
    return 0


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


def _run(argv):
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        code = exc.code
        if code is None:
            return 0
        return code if isinstance(code, int) else 2
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
            return 2
    try:
        return _COMMANDS[args.command](args)
    except _InputError as exc:
        _report(exc)
        return 1
    except BrokenPipeError:
        raise
    except OSError as exc:  # writing to standard output
        _report(f"standard output: {exc}")
        return 1
    except MemoryError:
        _report("out of memory")
        return 1
    except (OverflowError, TypeError) as exc:
        # Option values the library refuses.
        _report(exc)
        return 2


def main(argv=None) -> int:
    """Runs the command line argv (default: sys.argv[1:]); returns the exit status."""
    try:
        return _run(argv)
    except BrokenPipeError:
        # The reader went away (``arbolite ... | head``): stop quietly.
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
