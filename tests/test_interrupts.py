"""Ctrl-C during calls that block or run long without the interpreter lock.

Each case runs in an interpreter of its own, whose main thread makes the
call while a helper thread sends it SIGINT from inside: the main thread hands
the interpreter lock over only where it waits (a very long switch interval),
so the helper runs, and signals, only once the call has released the lock.
It signals again every so often until a handler has run, so that a signal
landing just before a blocking system call is not the only one. The call
must end with what the signal handler raised (KeyboardInterrupt by default)
and leave no descriptor open; a handler that returns lets the call go on and
finish with the right result. The calls that block wait on the other end of
a FIFO, which only the handler's side opens, and the long ones are far longer
than a poll interval, so no outcome depends on how fast the machine is. A
call that swallowed the signal runs into the timeout instead.
"""

import os
import subprocess
import sys
import textwrap

import pytest

from helpers import SANITIZED

TIMEOUT = 120 if SANITIZED else 30

PRELUDE = """
import os, signal, sys, threading
import arbolite
from arbolite import Node

FIFO = sys.argv[1]
MAIN = threading.main_thread().ident
# The main thread lets other threads run only where it waits: in the call.
sys.setswitchinterval(100)
calling = threading.Event()
handled = threading.Event()

def open_fds():
    return sorted(os.listdir("/proc/self/fd"))

# Each handler acts on the first signal only: later ones, sent before the
# sender saw the first handled, change nothing.
def interrupts(signum, frame):
    if not handled.is_set():
        handled.set()
        signal.default_int_handler(signum, frame)

def returns(signum, frame):
    handled.set()

def raises(signum, frame):
    if not handled.is_set():
        handled.set()
        raise ValueError("stopped by the handler")

def send_sigint():
    calling.wait()
    while True:
        signal.pthread_kill(MAIN, signal.SIGINT)
        if handled.wait(0.05):
            return

threading.Thread(target=send_sigint, daemon=True).start()

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
signal.signal(signal.SIGINT, {handler})
before = open_fds()
calling.set()
try:
    result = {call}
except (KeyboardInterrupt, ValueError) as e:
    print(type(e).__name__, str(e), open_fds() == before, handled.is_set())
else:
    print("finished", {check})
{after}
"""


def run_interrupted(tmp_path, setup, call, handler="interrupts", check="result", after=""):
    """Runs the call in a child that signals itself once the call is inside,
    and returns the child's stdout."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    code = PRELUDE + SCRIPT.format(setup=setup, handler=handler, call=call, check=check, after=after)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), str(fifo)], capture_output=True, text=True, timeout=TIMEOUT
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    return proc.stdout


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
    assert run_interrupted(tmp_path, setup, call) == "KeyboardInterrupt  True True\n"


RAISED = [case for case in STOPPED if case[0] in ("read_file, no writer", "write_file, huge output")]


@pytest.mark.parametrize("setup, call", [case[1:] for case in RAISED], ids=[case[0] for case in RAISED])
def test_a_raising_handler_ends_the_call_with_its_exception(tmp_path, setup, call):
    assert run_interrupted(tmp_path, setup, call, "raises") == "ValueError stopped by the handler True True\n"


def test_interrupted_write_leaves_what_was_written(tmp_path):
    # The part written before the signal reaches the reader as it is.
    after = """
data = os.read(reader, 1 << 20).decode()
expected = '<?xml version="1.0" encoding="utf-8"?>\\n<r>' + "x" * (1 << 20)
print(len(data) >= 4096, expected.startswith(data))
"""
    out = run_interrupted(tmp_path, BLOCKED_WRITE_SETUP, "arbolite.write_file(big, FIFO)", after=after)
    assert out == "KeyboardInterrupt  True True\nTrue True\n"


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
    assert run_interrupted(tmp_path, setup, call, "returns", check) == expected


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
    out = run_interrupted(tmp_path, setup, "reader.join()", "returns", "settled(results)")
    assert out == "finished ['late']\n"


# ----------------------------------------------------------------------------
# Every long phase of a call reaches the handler: each document makes one
# phase nearly all of the call (a tag of millions of attributes, a text of
# hundreds of megabytes, millions of nodes), and the call, signalled from
# inside as above, must end with what the handler raised. The polls come by
# the amount of work done, not by time, so the outcome does not depend on how
# fast or busy the machine is. (The calls that keep the interpreter lock are
# in the table of endless calls below.)

PHASES = [
    ("read: node building", "doc = '<r>' + '<a/>' * 12_000_000 + '</r>'", "arbolite.read_string(doc, 'r')"),
    (
        "read: one start tag of many attributes",
        "doc = '<r ' + ' '.join(f'a{i}=\"&lt;\"' for i in range(3_000_000)) + '/>'",
        "arbolite.read_string(doc, 'r')",
    ),
    ("read: one text of references", "doc = '<r>' + 'a&amp;b ' * 60_000_000 + '</r>'", "arbolite.read_string(doc, 'r')"),
    ("read: one long text", "doc = '<r>' + 'abcdefg ' * 120_000_000 + '</r>'", "arbolite.read_string(doc, 'r')"),
    ("read: encoding the document", "doc = '<r>' + 'é中' * 150_000_000 + '</r>'", "arbolite.read_string(doc, 'r')"),
    ("write_file: one long text", "node = Node('r', text='a&<b ' * 100_000_000)", "arbolite.write_file(node, '/dev/null')"),
    ("write_string: one long text", "node = Node('r', text='é&<b ' * 60_000_000)", "arbolite.write_string(node)"),
    (
        "write_file: one element's attributes",
        "node = Node('r', {f'a{i}': 'v&\"' for i in range(4_000_000)})",
        "arbolite.write_file(node, '/dev/null')",
    ),
]


@pytest.mark.skipif(SANITIZED, reason="documents of gigabytes take too long under the sanitizers")
@pytest.mark.parametrize("setup, call", [case[1:] for case in PHASES], ids=[case[0] for case in PHASES])
def test_every_long_phase_ends_with_what_the_handler_raised(tmp_path, setup, call):
    assert run_interrupted(tmp_path, setup, call, "raises") == "ValueError stopped by the handler True True\n"


# Calls that never end by themselves: trees whose shared children make the
# walk exponentially long (one node of two children, forty levels deep), and
# an indentation run of 2**60 blanks. The calls that hold the interpreter
# lock run the handler of a timer; the others are signalled from inside as
# above. The child's memory is bounded (but under the sanitizers, which
# reserve more address space than that), so that a call that missed the
# signal fails in its own time.
SHARED = """
import resource
if not os.environ.get("ARBOLITE_SANITIZED"):
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
node = Node("leaf")
nested = {"name": "leaf", "attrs": {}, "children": [], "text": None}
for _ in range(40):
    node = Node("n", {"k": "v"}, [node, node], "t")
    nested = {"name": "n", "attrs": {}, "children": [nested, nested], "text": None}
# The timer's handler raises only once the call has begun: before, it asks
# again a little later.
def alarm(signum, frame):
    if not calling.is_set():
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        return
    raises(signum, frame)
signal.signal(signal.SIGALRM, alarm)
signal.setitimer(signal.ITIMER_REAL, 0.2)
"""

ENDLESS = [
    ("search", SHARED, 'node.search_by_name("none")'),
    ("str", SHARED, "str(node)"),
    ("to_dict", SHARED, "node.to_dict()"),
    ("from_dict", SHARED, "Node.from_dict(nested)"),
    ("write_file, indentation", "", 'arbolite.write_file(Node("a", None, [Node("b")]), "/dev/null", indent=2**60)'),
]


@pytest.mark.parametrize("setup, call", [case[1:] for case in ENDLESS], ids=[case[0] for case in ENDLESS])
def test_endless_calls_end_with_what_the_handler_raised(tmp_path, setup, call):
    assert run_interrupted(tmp_path, setup, call, "raises") == "ValueError stopped by the handler True True\n"
