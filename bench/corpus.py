"""Deterministic benchmark documents: five shapes of 5-20 MB each.

Each generator takes a random.Random and a target size in bytes and returns
(document, root tag). The same seed always gives the same documents.
"""

import random

WORDS = (
    "lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor incididunt ut labore "
    "et dolore magna aliqua enim ad minim veniam quis nostrud exercitation ullamco laboris nisi aliquip"
).split()
NON_ASCII = (
    "café naïve façade über straße smörgåsbord żółw пример текста ελληνικά 日本語の文章 中文文本 "
    "한국어 문장 emoji 🌍🚀 ünïcödé θάλασσα"
).split()


def words(rng, n, pool=WORDS):
    return " ".join(rng.choice(pool) for _ in range(n))


def attribute_rows(rng, size):
    """<row .../> lines full of quoted attributes: picks the quote-aware index builder."""
    out = ["<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rows>\n"]
    total, i = 0, 0
    while total < size:
        line = (
            f'<row id="{i}" name="{rng.choice(WORDS)}" price="{rng.randint(1, 9999) / 100}" '
            f'qty="{rng.randint(0, 500)}" code="C{rng.randint(0, 10**6):06d}" flag="{rng.choice("yn")}"/>\n'
        )
        out.append(line)
        total += len(line)
        i += 1
    out.append("</rows>\n")
    return "".join(out), "rows"


def catalog(rng, size):
    """Catalogue-like mixed content: nesting, attributes, entities, CDATA and comments."""
    out = ["<?xml version=\"1.0\"?>\n<!DOCTYPE catalog>\n<catalog version=\"2\">\n"]
    total, i = 0, 0
    while total < size:
        parts = [
            f'  <book id="bk{i}" lang="{rng.choice(["en", "de", "fr"])}">\n',
            f"    <title>{words(rng, 4).title()} &amp; {rng.choice(WORDS)}</title>\n",
            f"    <author>{rng.choice(WORDS).title()} {rng.choice(WORDS).title()}</author>\n",
            f"    <price currency='EUR'>{rng.randint(1, 200)}.{rng.randint(0, 99):02d}</price>\n",
            f"    <description>{words(rng, 20)} &lt;b&gt;{rng.choice(WORDS)}&lt;/b&gt;</description>\n",
        ]
        if i % 3 == 0:
            parts.append(f"    <!-- reviewed {rng.randint(2000, 2025)} -->\n")
        if i % 4 == 0:
            parts.append(f"    <notes><![CDATA[{words(rng, 8)} <raw> & unescaped]]></notes>\n")
        parts.append(f'    <tags><tag>{rng.choice(WORDS)}</tag><tag>{rng.choice(WORDS)}</tag></tags>\n  </book>\n')
        chunk = "".join(parts)
        out.append(chunk)
        total += len(chunk)
        i += 1
    out.append("</catalog>\n")
    return "".join(out), "catalog"


def prose(rng, size):
    """Long paragraphs of non-ASCII text with a little markup."""
    out = ["<book>\n"]
    total = 0
    while total < size:
        para = f"<p>{words(rng, 120, NON_ASCII + WORDS)} <em>{words(rng, 3, NON_ASCII)}</em> {words(rng, 60, NON_ASCII)}</p>\n"
        out.append(para)
        total += len(para.encode())
    out.append("</book>\n")
    return "".join(out), "book"


def deep(rng, size, depth=200):
    """Blocks of sections nested 200 deep (under the usual 256-level parser limits)."""
    out = ["<doc>\n"]
    total = 0
    while total < size:
        opening = "".join(f'<section level="{d}">' for d in range(depth))
        body = f"<leaf>{words(rng, 3)}</leaf>"
        closing = "</section>" * depth
        block = opening + body + closing + "\n"
        out.append(block)
        total += len(block)
    out.append("</doc>\n")
    return "".join(out), "doc"


def wide(rng, size):
    """One flat list of small elements."""
    out = ["<list>\n"]
    total = 0
    while total < size:
        item = f"<item>{rng.choice(WORDS)}{rng.randint(0, 999)}</item>\n"
        out.append(item)
        total += len(item)
    out.append("</list>\n")
    return "".join(out), "list"


SHAPES = {
    "attrs": attribute_rows,
    "catalog": catalog,
    "prose": prose,
    "deep": deep,
    "wide": wide,
}


def generate(name, size=8 * 1024 * 1024, seed=20261207):
    rng = random.Random(f"{seed}-{name}")
    return SHAPES[name](rng, size)
