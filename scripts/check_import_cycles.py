#!/usr/bin/env python3
"""Fails when the layers of the Python package bend back on themselves:

- an import cycle between modules of python/molvane (imports inside
  functions count: they hide a cycle, they do not remove it);
- a private name (one leading underscore) of one package module used from
  another, imported or read as an attribute; the native module's private
  names are the binding's interface to the package and are allowed;
- native code that imports the package (the binding sits below it).

    python scripts/check_import_cycles.py [ROOT]   # exit status 1 on a fault

ROOT is the repository to check (default: the one holding this script).
"""

from __future__ import annotations

import ast
import re
import sys
from pathlib import Path

ROOT = Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "molvane"
NATIVE = "molvane._molvane"


def module_name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def is_private(name: str) -> bool:
    return name.startswith("_") and not name.startswith("__")


def scan(path: Path, modules: set[str]) -> tuple[set[str], list[str]]:
    """The package modules that `path` imports, and its uses of private names
    of other package modules."""
    here = module_name(path)
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    imported: set[str] = set()
    faults: list[str] = []
    aliases: dict[str, str] = {}  # local name -> package module

    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name in modules:
                    imported.add(alias.name)
                    if alias.asname:
                        aliases[alias.asname] = alias.name
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            if not node.module.startswith("molvane"):
                continue
            for alias in node.names:
                full = f"{node.module}.{alias.name}"
                if full in modules:  # from molvane import trajectory
                    imported.add(full)
                    aliases[alias.asname or alias.name] = full
                    continue
                if node.module in modules:
                    imported.add(node.module)
                    if is_private(alias.name) and node.module not in (NATIVE, here):
                        faults.append(f"{path.relative_to(ROOT)}:{node.lineno}: imports {alias.name} "
                                      f"from {node.module}")
    for node in ast.walk(tree):
        if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id in aliases
                and is_private(node.attr) and aliases[node.value.id] not in (NATIVE, here)):
            faults.append(f"{path.relative_to(ROOT)}:{node.lineno}: uses {node.value.id}.{node.attr}")
    # A module imports its parent package on the way; that edge is not a cycle.
    imported.discard("molvane")
    imported.discard(here)
    return imported, faults


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected components of more than one module (Tarjan)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []

    def visit(v: str) -> None:
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


def native_imports() -> list[str]:
    """Lines of native sources that import a module of the package."""
    pattern = re.compile(r'PyImport_\w*\(\s*"molvane[."]')
    faults = []
    for path in sorted((ROOT / "src").rglob("*.[ch]pp")):
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), start=1):
            if pattern.search(line):
                faults.append(f"{path.relative_to(ROOT)}:{number}: the binding imports the package")
    return faults


def main() -> int:
    paths = sorted(PACKAGE.glob("*.py"))
    modules = {module_name(p) for p in paths} | {NATIVE}
    graph: dict[str, set[str]] = {}
    faults: list[str] = []
    for path in paths:
        graph[module_name(path)], found = scan(path, modules)
        faults += found
    for component in cycles(graph):
        faults.append("import cycle between " + ", ".join(component))
    faults += native_imports()
    for fault in faults:
        print(fault, file=sys.stderr)
    if not faults:
        print(f"{len(paths)} modules: no import cycle, no private name used across modules")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
