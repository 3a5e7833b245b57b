"""The manual's front page is the README (one text for both, its links into
docs/ made relative to the site), and the API reference reads the stubs laid
out under the names they are installed as (build/docs-api), so the reference
says corvina.lumen.utils.ferrule, not src/ferrule."""
import re
import shutil
from pathlib import Path

from mkdocs.structure.files import File

ROOT = Path(__file__).resolve().parents[1]
STUBS = ROOT / "build" / "docs-api"
INSTALLED = {"ferrule": "corvina/lumen/utils", "pylon": "corvina/lumen/sdk", "satchel": "corvina/lumen/sdk"}


def on_config(config):
    shutil.rmtree(STUBS, ignore_errors=True)
    for module, folder in INSTALLED.items():
        (STUBS / folder).mkdir(parents=True, exist_ok=True)
        shutil.copyfile(ROOT / "src" / module / f"{module}.pyi", STUBS / folder / f"{module}.pyi")
    return config


def on_files(files, config):
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    text = re.sub(r"\]\(docs/", "](", text)
    files.append(File.generated(config, "index.md", content=text))
    return files
