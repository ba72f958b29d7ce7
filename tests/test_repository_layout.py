"""The README's layout section names every folder of the source tree, so a
newcomer finds any file in one guess (only in a source checkout)."""

import ast
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
# Folders listed one level deeper, under their parent's line.
NESTED = ("src/tarnfold", "tests")


def source_folders():
    tops = [
        p
        for p in ROOT.iterdir()
        if p.is_dir()
        and not p.name.startswith(".")
        and p.name not in ("build", "src")
        and not p.name.endswith(".egg-info")
    ]
    folders = [".ci"] + [p.name for p in tops]
    folders += ["cpp/" + p.name for p in (ROOT / "cpp").iterdir() if p.is_dir()]
    folders += [
        "src/" + p.name
        for p in (ROOT / "src").iterdir()
        if p.is_dir() and not p.name.endswith(".egg-info")
    ]
    for parent in NESTED:
        folders += [
            parent + "/" + p.name
            for p in (ROOT / parent).iterdir()
            if p.is_dir() and p.name != "__pycache__"
        ]
    return sorted(folders)


def layout_block():
    text = README.read_text(encoding="utf-8")
    section = text.split("\n## Layout\n", 1)[1].split("\n## ", 1)[0]
    return re.search(r"```\n(.*?)```", section, re.S).group(1)


@pytest.mark.skipif(
    not (README.exists() and (ROOT / "cpp").is_dir()), reason="not a source checkout"
)
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


def module_imports(src):
    """Each module of ``src`` and the modules of ours it imports when it is
    loaded (imports inside functions run later and cannot form a cycle)."""
    paths = {}
    for path in src.rglob("*.py"):
        parts = list(path.relative_to(src).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        paths[".".join(parts)] = path
    graph = {}
    for name, path in paths.items():
        package = name.split(".") if path.name == "__init__.py" else name.split(".")[:-1]
        targets = set()
        for node in ast.parse(path.read_text(encoding="utf-8")).body:
            if isinstance(node, ast.Import):
                found = [a.name for a in node.names]
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    base = ".".join(
                        package[: len(package) - node.level + 1] + ([base] if base else [])
                    )
                found = [base] + ["{}.{}".format(base, a.name) for a in node.names]
            else:
                continue
            for target in found:
                parts = target.split(".")
                # importing a.b.c loads a and a.b first
                targets.update(".".join(parts[:k]) for k in range(1, len(parts) + 1))
        graph[name] = {
            t for t in targets if t in paths and t != name and not name.startswith(t + ".")
        }
    return graph


@pytest.mark.skipif(not (ROOT / "src" / "tarnfold").is_dir(), reason="not a source checkout")
def test_no_import_cycles_between_our_modules():
    graph = module_imports(ROOT / "src")
    state, cycles = {}, []

    def visit(start):
        stack = [(start, iter(sorted(graph[start])))]
        state[start], path = "open", [start]
        while stack:
            node, edges = stack[-1]
            for nxt in edges:
                if state.get(nxt) == "open":
                    cycles.append(path[path.index(nxt) :] + [nxt])
                elif nxt not in state:
                    state[nxt] = "open"
                    path.append(nxt)
                    stack.append((nxt, iter(sorted(graph[nxt]))))
                    break
            else:
                state[node] = "done"
                path.pop()
                stack.pop()

    for name in sorted(graph):
        if name not in state:
            visit(name)
    assert not cycles, "modules that import each other at load time: {}".format(
        [" -> ".join(c) for c in cycles]
    )
