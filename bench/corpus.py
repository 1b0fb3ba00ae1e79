"""Deterministic benchmark documents in seven shapes, of any size.

Each generator takes a random.Random and a target size in bytes and returns
(document, root tag); it adds whole records until the size is reached, so a
document is at least one record long. The same seed always gives the same
documents.
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
    opening = "".join(f'<section level="{d}">' for d in range(depth))
    return deep_blocks(rng, size, depth, opening, "</section>", nested=True)


def deep_blocks(rng, size, depth, opening, closing, nested=False):
    """Blocks of `depth` nested elements around a leaf; `opening` is either
    one start tag (repeated) or, with `nested`, the whole run of them."""
    out = ["<doc>\n"]
    total = 0
    opening = opening if nested else opening * depth
    while total < size:
        block = opening + f"<leaf>{words(rng, 3)}</leaf>" + closing * depth + "\n"
        out.append(block)
        total += len(block)
    out.append("</doc>\n")
    return "".join(out), "doc"


CITIES = ["Zürich", "São Paulo", "Kraków", "Malmö", "Nice", "Leeds", "Osaka", "Ålesund", "Dublin", "Porto"]
PEOPLE = ["José Müller", "Ana Øvergaard", "Chloé Dubois", "Li Wei", "Sam Park", "Jörg Nyström", "Iñaki Pérez"]


def mixed(rng, size):
    """An order feed as services exchange it: namespaced attributes, records
    nested three to five levels with a varying number of children, short
    texts with entities and some non-ASCII, inline markup, comments, CDATA,
    empty elements and indentation."""
    out = ['<?xml version="1.0" encoding="UTF-8"?>\n'
           '<feed xmlns="urn:example:orders" xmlns:geo="urn:example:geo" version="3">\n'
           f"  <meta><title>Orders &amp; returns</title><updated>2025-0{rng.randint(1, 9)}-1{rng.randint(0, 9)}T08:00:00Z</updated></meta>\n"]
    total, i = len(out[0]), 0
    while total < size:
        parts = [
            f'  <order id="o{i}" status="{rng.choice(["open", "paid", "shipped", "returned"])}" '
            f'created="2025-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}">\n',
            f'    <customer ref="c{rng.randint(1, 99999)}">\n      <name>{rng.choice(PEOPLE)}</name>\n'
            f'      <email>{rng.choice(WORDS)}.{rng.choice(WORDS)}@example.org</email>\n',
            f'      <address geo:lat="{rng.uniform(-90, 90):.4f}" geo:lon="{rng.uniform(-180, 180):.4f}">'
            f"<street>{rng.randint(1, 200)} {rng.choice(WORDS).title()} Street</street>"
            f'<city>{rng.choice(CITIES)}</city><country code="{rng.choice(["CH", "BR", "PL", "SE", "FR", "GB", "JP"])}"/>'
            "</address>\n    </customer>\n    <lines>\n",
        ]
        for n in range(rng.randint(1, 5)):
            parts.append(
                f'      <line n="{n + 1}" sku="SKU-{rng.randint(0, 10**5):05d}" qty="{rng.randint(1, 9)}">'
                f"<product>{words(rng, 3).title()}</product><price currency=\"EUR\">{rng.randint(1, 500)}.{rng.randint(0, 99):02d}</price>"
                + ("<gift/>" if rng.random() < 0.2 else "") + "</line>\n")
        parts.append("    </lines>\n")
        if rng.random() < 0.5:
            parts.append(f"    <note>{words(rng, 12)} &lt;{rng.choice(WORDS)}&gt; <b>{rng.choice(WORDS)}</b> "
                         f"{words(rng, 6, NON_ASCII)}</note>\n")
        if i % 5 == 0:
            parts.append(f"    <!-- imported from batch {rng.randint(1, 999)} -->\n")
        if i % 7 == 0:
            parts.append(f"    <raw><![CDATA[{{\"ref\": {i}, \"tags\": [\"{rng.choice(WORDS)}\"]}} & <x>]]></raw>\n")
        parts.append("  </order>\n")
        chunk = "".join(parts)
        out.append(chunk)
        total += len(chunk.encode())
        i += 1
    out.append("</feed>\n")
    return "".join(out), "feed"


def chain(rng, size, depth=1000):
    """Chains of elements nested 1,000 deep, one after another."""
    return deep_blocks(rng, size, depth, "<node>", "</node>")


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
    "mixed": mixed,
    "chain": chain,
}


def generate(name, size=8 * 1024 * 1024, seed=20261207):
    # The 8 MiB documents keep the seeds they have always had.
    key = f"{seed}-{name}" if size == 8 * 1024 * 1024 else f"{seed}-{name}-{size}"
    rng = random.Random(key)
    return SHAPES[name](rng, size)
