"""Reads the sample catalogue, renders, searches and converts it, and writes it back."""

import json
import pathlib

import arbolite
from arbolite import Node, SearchType

SAMPLE = pathlib.Path(__file__).with_name("catalog.xml")


def main() -> None:
    catalog = arbolite.read_file(str(SAMPLE), "catalog")
    print("read", SAMPLE.name, "->", repr(catalog), "with", len(catalog.children), "children")

    first = catalog.children[0]
    print("\noutline of the first child:")
    print(first)

    titles = catalog.search_by_name("title")
    print("\ntitles:", [t.text for t in titles])
    with_id = catalog.search(SearchType.Attr, "id")
    print("elements with an id:", len(with_id))

    as_dict = catalog.to_dict()
    print("\ndict form of the first child:", json.dumps(as_dict["children"][0], ensure_ascii=False)[:160], "...")
    copy = Node.from_dict(as_dict)
    assert copy.to_dict() == as_dict and copy is not catalog

    note = Node("note", {"lang": "en"}, [Node("br")], text="built in Python & written back")
    extended = Node(catalog.name, catalog.attrs, catalog.children + [note], catalog.text)
    xml = arbolite.write_string(extended, indent=2)
    print("\nwritten back:", len(xml), "characters; last lines:")
    print("\n".join(xml.splitlines()[-5:]))
    again = arbolite.read_string(xml, "catalog")
    assert again.search_by_name("note")[-1].text == note.text


if __name__ == "__main__":
    main()
