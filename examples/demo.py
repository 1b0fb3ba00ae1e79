"""Builds a small catalogue, renders it, searches it and converts it to and from dicts."""

import json

from arbolite import Node, SearchType


def build_catalog() -> Node:
    books = [
        Node("book", {"id": "b1", "lang": "en"}, [Node("title", text="Tom & Jerry")], text=None),
        Node("book", {"id": "b2"}, [Node("title", text="Der Zauberberg")]),
        Node("magazine", {"issue": "12"}, text="quarterly"),
    ]
    return Node("catalog", {"owner": "library"}, books)


def main() -> None:
    catalog = build_catalog()
    print("repr:", repr(catalog))
    print("outline:")
    print(catalog)
    print()

    titles = catalog.search_by_name("title")
    print("titles:", [t.text for t in titles])
    with_id = catalog.search(SearchType.Attr, "id")
    print("nodes with an id:", [n.attrs["id"] for n in with_id])
    print("top level only:", catalog.search_by_name("book", depth=0))

    as_dict = catalog.to_dict()
    print("dict form:", json.dumps(as_dict, sort_keys=True)[:120] + " ...")
    copy = Node.from_dict(as_dict)
    assert copy.to_dict() == as_dict and copy is not catalog
    print("round trip through the dict form: equal content, new nodes")


if __name__ == "__main__":
    main()
