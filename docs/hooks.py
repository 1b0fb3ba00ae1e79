"""Build hooks of the documentation site.

Pages that are written separately and may not exist yet in a checkout
(OPTIONAL_PAGES) are replaced by a short generated page, so that the
navigation and the links to them stay valid until they arrive.
"""

from mkdocs.structure.files import File

OPTIONAL_PAGES = {
    "threads.md": "Threads and processes",
    "distributed.md": "Distributed work",
}


def on_files(files, config):
    for path, title in OPTIONAL_PAGES.items():
        if files.get_file_from_path(path) is None:
            content = f"# {title}\n\nThis page is not part of this checkout yet.\n"
            files.append(File.generated(config, path, content=content))
    return files
