"""The README's layout section names every folder of the source tree, so a
newcomer finds any file in one guess (only in a source checkout)."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
# Folders listed one level deeper, under their parent's line.
NESTED = ("src/tarnfold", "tests")


def source_folders():
    tops = [p for p in ROOT.iterdir() if p.is_dir() and not p.name.startswith(".")
            and p.name not in ("build", "src") and not p.name.endswith(".egg-info")]
    folders = [".ci"] + [p.name for p in tops]
    folders += ["cpp/" + p.name for p in (ROOT / "cpp").iterdir() if p.is_dir()]
    folders += ["src/" + p.name for p in (ROOT / "src").iterdir()
                if p.is_dir() and not p.name.endswith(".egg-info")]
    for parent in NESTED:
        folders += [parent + "/" + p.name for p in (ROOT / parent).iterdir()
                    if p.is_dir() and p.name != "__pycache__"]
    return sorted(folders)


def layout_block():
    text = README.read_text(encoding="utf-8")
    section = text.split("\n## Layout\n", 1)[1].split("\n## ", 1)[0]
    return re.search(r"```\n(.*?)```", section, re.S).group(1)


@pytest.mark.skipif(not (README.exists() and (ROOT / "cpp").is_dir()),
                    reason="not a source checkout")
def test_readme_layout_names_every_folder():
    block = layout_block()
    missing = []
    for folder in source_folders():
        parent, _, name = folder.rpartition("/")
        if parent in NESTED:
            # "  name/" on an indented line, or "name/" for a folder of tests/
            found = re.search(r"(^|\s){}/".format(re.escape(name)), block, re.M)
        else:
            found = re.search(r"^{}/".format(re.escape(folder)), block, re.M)
        if not found:
            missing.append(folder)
    assert not missing, "README's layout section does not name: {}".format(missing)
