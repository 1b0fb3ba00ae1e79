"""Draws the benchmark charts of the documentation from a results file.

    python docs/charts.py [RESULTS] [--out DIR] [--page PAGE]

RESULTS is the JSON that `bench/run.py --json FILE` writes (default:
docs/bench-results.json beside this script):

    {"meta": {"python": str, "machine": str, "date": str},
     "sections": [{"id": str, "title": str, "unit": str, "higher_is_better": bool,
                   "columns": [str, ...],
                   "rows": [{"label": str, "values": {column: number, ...}}, ...]}, ...]}

Each section becomes one grouped bar chart, DIR/bench-<id>.png (default DIR:
docs/img): a group of bars per row, a bar per column, each library in the
same colour on every chart. A value that a row lacks (or null) leaves a gap.
Charts of sections that are no longer in the results are removed, and the
part of PAGE (default docs/performance.md) between the lines
"<!-- charts:start -->" and "<!-- charts:end -->" is rewritten to show the
charts and the machine they were measured on.
"""

import argparse
import json
import math
import pathlib
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
START, END = "<!-- charts:start -->", "<!-- charts:end -->"
ID_PATTERN = re.compile(r"^[A-Za-z0-9_-]+$")

# Colour of each library, in order of first appearance over all sections.
PALETTE = ["#2f6f4f", "#d08c2c", "#4c72b0", "#a0525a", "#7f7f7f", "#8172b2", "#64b5cd"]


class SchemaError(ValueError):
    """The results file does not have the expected shape."""


def _require(condition, where, what):
    if not condition:
        raise SchemaError(f"{where}: {what}")


def load_results(path):
    """The parsed results file, checked against the schema above."""
    try:
        data = json.loads(pathlib.Path(path).read_text(encoding="utf-8"))
    except json.JSONDecodeError as e:
        raise SchemaError(f"{path}: not JSON ({e})") from None
    _require(isinstance(data, dict), "results", "must be an object")
    meta = data.get("meta")
    _require(isinstance(meta, dict), "meta", "must be an object")
    for key in ("python", "machine", "date"):
        _require(isinstance(meta.get(key), str), f"meta.{key}", "must be a string")
    sections = data.get("sections")
    _require(isinstance(sections, list) and sections, "sections", "must be a non-empty list")
    seen = set()
    for i, section in enumerate(sections):
        where = f"sections[{i}]"
        _require(isinstance(section, dict), where, "must be an object")
        sid = section.get("id")
        _require(isinstance(sid, str) and ID_PATTERN.match(sid), f"{where}.id", "must be letters, digits, - or _")
        _require(sid not in seen, f"{where}.id", f"{sid!r} is used twice")
        seen.add(sid)
        for key in ("title", "unit"):
            _require(isinstance(section.get(key), str), f"{where}.{key}", "must be a string")
        _require(isinstance(section.get("higher_is_better"), bool), f"{where}.higher_is_better", "must be true or false")
        columns = section.get("columns")
        _require(
            isinstance(columns, list) and columns and all(isinstance(c, str) for c in columns),
            f"{where}.columns",
            "must be a non-empty list of strings",
        )
        rows = section.get("rows")
        _require(isinstance(rows, list) and rows, f"{where}.rows", "must be a non-empty list")
        for j, row in enumerate(rows):
            rwhere = f"{where}.rows[{j}]"
            _require(isinstance(row, dict) and isinstance(row.get("label"), str), rwhere, "needs a string label")
            values = row.get("values")
            _require(isinstance(values, dict), f"{rwhere}.values", "must be an object")
            for column, value in values.items():
                _require(column in columns, f"{rwhere}.values", f"{column!r} is not one of the columns")
                ok = value is None or (
                    isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value) and value >= 0
                )
                _require(ok, f"{rwhere}.values.{column}", "must be a number of 0 or more, or null")
    return data


def colours(sections):
    """Library name to colour, the same on every chart."""
    names = []
    for section in sections:
        names += [c for c in section["columns"] if c not in names]
    return {name: PALETTE[i % len(PALETTE)] for i, name in enumerate(names)}


def _format(value):
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2g}" if value < 1 else f"{value:.1f}"


def draw_section(section, meta, colour_of, out_path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns, rows = section["columns"], section["rows"]
    width = 0.8 / len(columns)
    fig, ax = plt.subplots(figsize=(8, 4.2), dpi=100)
    for k, column in enumerate(columns):
        xs, heights = [], []
        for i, row in enumerate(rows):
            value = row["values"].get(column)
            if value is not None:
                xs.append(i - 0.4 + width * (k + 0.5))
                heights.append(value)
        bars = ax.bar(xs, heights, width, label=column, color=colour_of[column])
        ax.bar_label(bars, labels=[_format(h) for h in heights], fontsize=7, padding=2)
    better = "higher" if section["higher_is_better"] else "lower"
    title = section["title"]
    if "is better)" not in title:
        title += f" ({better} is better)"
    ax.set_title(title, pad=22)
    ax.set_ylabel(section["unit"])
    ax.set_xticks(range(len(rows)), [row["label"] for row in rows], rotation=30, ha="right", fontsize=8)
    ax.margins(y=0.12)
    ax.spines[["top", "right"]].set_visible(False)
    # Above the plot, where no bar can hide it.
    ax.legend(frameon=False, fontsize=8, ncols=len(columns), loc="lower left", bbox_to_anchor=(0, 1))
    fig.text(0.01, 0.01, f"{meta['python']}; {meta['machine']}; {meta['date']}", fontsize=6, color="#555555")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(out_path, metadata={"Software": None})
    plt.close(fig)


def page_block(data, out_dir, page):
    """The Markdown that shows the charts, with paths relative to the page."""
    meta = data["meta"]
    lines = [
        START,
        f"Measured with {meta['python']} on {meta['machine']}, {meta['date']}.",
        "",
    ]
    for section in data["sections"]:
        image = pathlib.Path(out_dir, f"bench-{section['id']}.png").resolve()
        relative = image.relative_to(page.resolve().parent).as_posix()
        lines += [f"![{section['title']}]({relative})", ""]
    lines.append(END)
    return "\n".join(lines)


def update_page(page, block):
    text = page.read_text(encoding="utf-8")
    start, end = text.find(START), text.find(END)
    if start < 0 or end < start:
        raise SchemaError(f"{page}: needs the lines {START} and {END}")
    page.write_text(text[:start] + block + text[end + len(END):], encoding="utf-8")


def draw_all(results, out_dir, page=None):
    """Draws every chart of `results` into `out_dir`; returns their paths."""
    data = load_results(results)
    out_dir = pathlib.Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    colour_of = colours(data["sections"])
    written = []
    for section in data["sections"]:
        path = out_dir / f"bench-{section['id']}.png"
        draw_section(section, data["meta"], colour_of, path)
        written.append(path)
    for stale in out_dir.glob("bench-*.png"):
        if stale not in written:
            stale.unlink()
    if page is not None:
        update_page(pathlib.Path(page), page_block(data, out_dir, pathlib.Path(page)))
    return written


def main(argv=None):
    parser = argparse.ArgumentParser(description="Draw the benchmark charts of the documentation.")
    parser.add_argument("results", nargs="?", default=HERE / "bench-results.json", help="results JSON")
    parser.add_argument("--out", default=HERE / "img", help="directory for the PNG files")
    parser.add_argument("--page", default=HERE / "performance.md", help="page whose chart block to rewrite")
    args = parser.parse_args(argv)
    try:
        written = draw_all(args.results, args.out, args.page)
    except (OSError, SchemaError) as e:
        print(f"charts: error: {e}", file=sys.stderr)
        return 1
    for path in written:
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
