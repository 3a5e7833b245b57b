"""The manual's ```python blocks run as written: each page's blocks in order,
in one child interpreter of their own (a simulated day and the recorder leave
module state behind), in an empty folder."""
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def blocks(page):
    return BLOCK.findall(page.read_text(encoding="utf-8"))


def test_the_quick_start_and_the_recording_have_examples():
    assert blocks(ROOT / "README.md") and len(blocks(ROOT / "docs" / "recording.md")) >= 2


@pytest.mark.parametrize("page", [p for p in PAGES if blocks(p)], ids=lambda p: p.relative_to(ROOT).as_posix())
def test_the_examples_run(page, tmp_path):
    source = "\n\n".join(blocks(page))
    r = subprocess.run([sys.executable, "-c", source], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, f"{page.name}:\n{r.stdout[-2000:]}\n{r.stderr[-4000:]}"


def test_no_passage_is_on_two_pages():
    """Every fact has one page and the others link to it: no run of ten words
    (code included) appears on two of the front page and the manual's pages."""
    seen, twice = {}, set()
    for page in PAGES:
        words = re.findall(r"[\w.`'/-]+", page.read_text(encoding="utf-8").lower())
        for run in {" ".join(words[i:i + 10]) for i in range(len(words) - 9)}:
            if seen.setdefault(run, page.name) != page.name:
                twice.add((seen[run], page.name, run))
    assert not twice
