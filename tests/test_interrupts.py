"""Ctrl-C during calls that block or run long without the interpreter lock.

Each case runs in an interpreter of its own, which prints "ready" just before
the call; SIGINT is sent to it from here a moment later. The call must end
with what the signal handler raised (KeyboardInterrupt by default) and leave
no descriptor open; a handler that returns lets the call go on and finish
with the right result. A call that swallowed the signal runs into the
timeout instead.
"""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from helpers import SANITIZED

TIMEOUT = 120 if SANITIZED else 30

PRELUDE = """
import os, signal, sys, threading
import arbolite
from arbolite import Node

FIFO = sys.argv[1]
handled = threading.Event()

def open_fds():
    return sorted(os.listdir("/proc/self/fd"))

def returns(signum, frame):
    handled.set()

def raises(signum, frame):
    raise ValueError("stopped by the handler")

helpers = []
def after_signal(work):
    # Runs `work` on another thread once the handler has run.
    def run():
        handled.wait()
        work()
    helpers.append(threading.Thread(target=run))
    helpers[-1].start()

def settled(value):
    # `value` once the helper threads are done.
    for helper in helpers:
        helper.join()
    return value

def feed(data):
    def work():
        with open(FIFO, "w") as f:
            f.write(data)
    after_signal(work)

drained = []
def drain():
    def work():
        with open(FIFO) as f:
            drained.append(f.read())
    after_signal(work)

# Long documents: attribute-heavy tags outside the root, each parsed in full
# and dropped, so that the read takes a while in little memory.
def long_document(repeats, tail=""):
    return "<d>" + '<x a="1" b="2" c="3"/>' * repeats + tail + "</d>"

# A tree whose output is mostly indentation: a million elements, written
# with indent=10**6 about 10**12 bytes.
leaf = Node("b")
wide = Node("r", children=[Node("m", children=[leaf] * 1000)] * 1000)
"""

SCRIPT = """
{setup}
{handler}
before = open_fds()
print("ready", flush=True)
try:
    result = {call}
except (KeyboardInterrupt, ValueError) as e:
    print(type(e).__name__, str(e), open_fds() == before)
else:
    print("finished", {check})
{after}
"""


def run_interrupted(tmp_path, setup, call, handler="", check="result", after=""):
    """Runs the call in a child, sends SIGINT once it is inside, and returns
    the child's stdout after "ready"."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    code = PRELUDE + SCRIPT.format(setup=setup, handler=handler, call=call, check=check, after=after)
    command = [sys.executable, "-c", textwrap.dedent(code), str(fifo)]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline() == "ready\n", child.stderr.read()
            time.sleep(0.3)
            os.kill(child.pid, signal.SIGINT)
            out, err = child.communicate(timeout=TIMEOUT)
        finally:
            if child.poll() is None:
                child.kill()
    assert child.returncode == 0, err[-4000:]
    return out


BLOCKED_WRITE_SETUP = """
# A reader that never reads: the pipe fills and the write blocks.
reader = os.open(FIFO, os.O_RDONLY | os.O_NONBLOCK)
big = Node("r", text="x" * (1 << 20))
"""

# A signal ends each of these calls with KeyboardInterrupt; all descriptors
# that the call opened are closed again.
STOPPED = [
    ("read_file, no writer", "", 'arbolite.read_file(FIFO, "a")'),
    ("write_file, no reader", "", 'arbolite.write_file(Node("a"), FIFO)'),
    ("write_file, reader stopped", BLOCKED_WRITE_SETUP, "arbolite.write_file(big, FIFO)"),
    ("write_file, huge output", "", 'arbolite.write_file(wide, "/dev/null", indent=10**6)'),
    ("read_string, long document", "doc = long_document(5_000_000)", 'arbolite.read_string(doc, "r")'),
]


@pytest.mark.parametrize("setup, call", [case[1:] for case in STOPPED], ids=[case[0] for case in STOPPED])
def test_sigint_stops_the_call(tmp_path, setup, call):
    assert run_interrupted(tmp_path, setup, call) == "KeyboardInterrupt  True\n"


RAISED = [case for case in STOPPED if case[0] in ("read_file, no writer", "write_file, huge output")]


@pytest.mark.parametrize("setup, call", [case[1:] for case in RAISED], ids=[case[0] for case in RAISED])
def test_a_raising_handler_ends_the_call_with_its_exception(tmp_path, setup, call):
    handler = "signal.signal(signal.SIGINT, raises)"
    assert run_interrupted(tmp_path, setup, call, handler) == "ValueError stopped by the handler True\n"


def test_interrupted_write_leaves_what_was_written(tmp_path):
    # The part written before the signal reaches the reader as it is.
    after = """
data = os.read(reader, 1 << 20).decode()
expected = '<?xml version="1.0" encoding="utf-8"?>\\n<r>' + "x" * (1 << 20)
print(len(data) >= 4096, expected.startswith(data))
"""
    out = run_interrupted(tmp_path, BLOCKED_WRITE_SETUP, "arbolite.write_file(big, FIFO)", after=after)
    assert out == "KeyboardInterrupt  True\nTrue True\n"


# A handler that returns lets each call finish as if nothing had happened;
# the threads started by feed() and drain() open the other end of the FIFO
# only after the handler has run.
CONTINUED = [
    (
        "read_file, writer comes later",
        "feed('<a>fed</a>')",
        'arbolite.read_file(FIFO, "a")',
        "result.name, result.text, handled.is_set()",
        "finished a fed True\n",
    ),
    (
        "write_file, reader comes later",
        "drain()",
        'arbolite.write_file(Node("a", text="out"), FIFO, indent=2)',
        "result, settled(drained), handled.is_set()",
        "finished None ['<?xml version=\"1.0\" encoding=\"utf-8\"?>\\n<a>out</a>'] True\n",
    ),
    (
        "read_string, long document",
        "doc = long_document(2_500_000, '<r>found</r>')",
        'arbolite.read_string(doc, "r")',
        "result.name, result.text, handled.is_set()",
        "finished r found True\n",
    ),
]


@pytest.mark.parametrize(
    "setup, call, check, expected", [case[1:] for case in CONTINUED], ids=[case[0] for case in CONTINUED]
)
def test_a_returning_handler_lets_the_call_finish(tmp_path, setup, call, check, expected):
    handler = "signal.signal(signal.SIGINT, returns)"
    assert run_interrupted(tmp_path, setup, call, handler, check) == expected


def test_other_threads_retry_and_finish(tmp_path):
    # Signal handlers run only on the main thread: a read_file blocked on
    # another thread that a signal interrupts retries, and completes once a
    # writer comes (after the handler has run on the main thread).
    setup = """
results = []
def read():
    results.append(arbolite.read_file(FIFO, "a").text)
reader = threading.Thread(target=read)
reader.start()
def kick():
    handled.wait()
    signal.pthread_kill(reader.ident, signal.SIGINT)
    feed("<a>late</a>")
threading.Thread(target=kick).start()
"""
    handler = "signal.signal(signal.SIGINT, returns)"
    out = run_interrupted(tmp_path, setup, "reader.join()", handler, "settled(results)")
    assert out == "finished ['late']\n"
