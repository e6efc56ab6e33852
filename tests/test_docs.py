"""The manual's and the README's Python examples still run against the installed package.

Each page's ```python blocks run in order in one namespace, as a reader pasting them would;
a block written as a ``>>>`` session is checked by doctest against the output it shows.
"""

import doctest
import re
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]
# A fence may be indented, inside a list item; its code is then indented alike.
PYTHON_BLOCK = re.compile(r"^( *)```python\n(.*?)^\1```", re.S | re.M)


def python_blocks(page: Path) -> list[str]:
    return [textwrap.dedent(code) for _, code in PYTHON_BLOCK.findall(page.read_text(encoding="utf-8"))]


def run_page(page: Path) -> int:
    """Runs every block of the page; returns how many doctest examples were checked."""
    blocks = python_blocks(page)
    assert len(blocks) == page.read_text(encoding="utf-8").count("```python"), "a python fence was not read"
    namespace: dict = {"__name__": "__docs__"}
    parser, checked = doctest.DocTestParser(), 0
    for i, block in enumerate(blocks):
        name = f"{page.name}, block {i + 1}"
        if block.lstrip().startswith(">>>"):
            test = parser.get_doctest(block, namespace, name, str(page), 0)
            runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
            runner.run(test, out=lambda text: pytest.fail(text, pytrace=False))
            checked += len(test.examples)
            namespace.update(test.globs)
        else:
            exec(compile(block, name, "exec"), namespace)
    return checked


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_examples_run(page, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)  # an example that writes a file writes it here
    run_page(page)


def test_every_guide_page_is_in_a_toctree():
    index = (ROOT / "docs" / "index.md").read_text(encoding="utf-8")
    listed = set(re.findall(r"^([a-z][a-z0-9-]*)$", index, re.M))
    pages = {p.stem for p in PAGES if p.parent == ROOT / "docs"} - {"index"}
    assert pages - listed == set()


def test_a_wrong_doctest_output_fails(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("```python\n>>> import stelvane\n>>> stelvane.great_circle_nm(0, 0, 0, 1)\n61.0\n```\n")
    with pytest.raises(pytest.fail.Exception, match=r"Expected:\s+61\.0\s+Got:\s+60\.0"):
        run_page(page)


def test_doctest_blocks_are_checked():
    assert run_page(ROOT / "docs" / "camera-frame.md") == 6
