"""Runs every Python example of the README and the guide, so that neither can fall out of date.

Each ```python block is executed on its own, in a fresh namespace, as a reader would paste it;
blocks of any other language (```sh, ```text) are not run. The code is compiled under the
document's name with the block's own line numbers, so a failure's traceback points at the
line of the document.
"""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", ROOT / "docs" / "guide.md"]

FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*([\w+-]*)")


def code_blocks(path):
    """(first line number, language, code) of each fenced block of a Markdown file."""
    blocks = []
    lines = path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, language = m.groups()
        start = i + 1
        i = start
        while i < len(lines) and not lines[i].strip().startswith(fence):
            i += 1
        if i == len(lines):
            raise AssertionError(f"{path.name}:{start}: code block never closed")
        body = [line[len(indent):] if line.startswith(indent) else line for line in lines[start:i]]
        blocks.append((start + 1, language.lower(), "\n".join(body) + "\n"))
        i += 1
    return blocks


def python_blocks():
    for path in DOCUMENTS:
        for line, language, code in code_blocks(path):
            if language == "python":
                yield pytest.param(path, line, code, id=f"{path.name}:{line}")


@pytest.mark.parametrize("path, line, code", python_blocks())
def test_example_runs(path, line, code):
    # Padding with blank lines puts every statement at its line number in the document.
    compiled = compile("\n" * (line - 1) + code, str(path.relative_to(ROOT)), "exec")
    try:
        exec(compiled, {"__name__": "__example__"})
    except BaseException as e:
        raise AssertionError(
            f"the example at {path.relative_to(ROOT)}:{line} failed: {type(e).__name__}: {e}"
        ) from e


def test_every_document_has_examples_and_the_readme_links_the_guide():
    # A fence the parser stopped recognising would silently turn the tests above into none.
    counts = {path.name: sum(lang == "python" for _, lang, _ in code_blocks(path))
              for path in DOCUMENTS}
    assert counts["README.md"] >= 1 and counts["guide.md"] >= 10, counts
    assert "(docs/guide.md)" in (ROOT / "README.md").read_text(encoding="utf-8")


@pytest.mark.parametrize("text, expected", [
    ("a\n```python\nx = 1\n```\n```text\nno\n```\n", [(3, "python", "x = 1\n"), (6, "text", "no\n")]),
    ("- item\n\n  ```python\n  y = 2\n  ```\n", [(4, "python", "y = 2\n")]),
    ("````python\n```\n````\n", [(2, "python", "```\n")]),
])
def test_code_blocks_reads_fences(tmp_path, text, expected):
    doc = tmp_path / "doc.md"
    doc.write_text(text, encoding="utf-8")
    assert code_blocks(doc) == expected
