#!/usr/bin/env python3
"""Write docs/api.md, the API reference, from the fenwix_control module itself.

    PYTHONPATH=build/python .venv/bin/python scripts/gen_api_docs.py           # (re)write docs/api.md
    PYTHONPATH=build/python .venv/bin/python scripts/gen_api_docs.py --check   # exit 1 (with a diff) if stale
    make docs                                                                  # build, then write

Everything in the reference comes from the imported module: the names in
``__all__`` (and the atexit hook), the text signatures CPython derives from
the docstrings, and the docstrings themselves, converted from their
reStructuredText-ish markup (``code``, ``::`` literal blocks) to Markdown.
So the reference cannot drift from the module: tests/test_docs.py runs the
``--check`` form.
"""

from __future__ import annotations

import argparse
import difflib
import importlib
import inspect
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUTPUT = ROOT / "docs" / "api.md"
MODULE = "fenwix_control"
# The dunder methods worth documenting; the rest are Python's own.
DOCUMENTED_DUNDERS = ("__aenter__", "__aexit__")

HEADER = """\
# fenwix_control API reference

Generated from the module's own docstrings and signatures by
`scripts/gen_api_docs.py` (`make docs`); do not edit it by hand. The test
suite fails when this file and the built module disagree. For how the pieces
fit together, see [the guide](guide.md); for the types of arguments and
results, the stub `control/fenwix_control.pyi`.

Every method that talks to the switch returns an `asyncio.Future` on the
running event loop, already started: await it for the result, or for the
`ControlError` it raises.
"""


def markdown(doc: str | None) -> str:
    """A docstring in Markdown: ``literal`` becomes `literal`, and a paragraph
    ending in "::" introduces the indented block after it as Python code."""
    if not doc:
        return ""
    lines = inspect.cleandoc(doc).splitlines()
    out: list[str] = []
    index = 0
    while index < len(lines):
        line = lines[index]
        if line.rstrip().endswith("::"):
            out.append(_inline(line.rstrip()[:-1]))  # "text::" reads "text:"
            index += 1
            while index < len(lines) and not lines[index].strip():
                index += 1
            block: list[str] = []
            while index < len(lines) and (not lines[index].strip() or lines[index].startswith(" ")):
                block.append(lines[index])
                index += 1
            while block and not block[-1].strip():
                block.pop()
            out += ["", "```python", *_dedent(block), "```", ""]
            continue
        out.append(_inline(line))
        index += 1
    return "\n".join(out).strip() + "\n"


def _inline(text: str) -> str:
    return re.sub(r"``(.+?)``", r"`\1`", text)


def _dedent(block: list[str]) -> list[str]:
    margin = min((len(line) - len(line.lstrip()) for line in block if line.strip()), default=0)
    return [line[margin:] for line in block]


def signature(name: str, obj: object) -> str | None:
    """``name(parameters)`` as CPython derives it from the docstring, without self."""
    try:
        sig = inspect.signature(obj)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return None
    parameters = [p for p in sig.parameters.values() if p.name not in ("self", "cls")]
    text = str(sig.replace(parameters=parameters))
    return f"{name}{text}".replace("=Ellipsis", "=...")


def members(cls: type) -> tuple[list[tuple[str, object]], list[tuple[str, object]]]:
    """The class's properties and its methods, each in the order the class declares them."""
    properties: list[tuple[str, object]] = []
    methods: list[tuple[str, object]] = []
    for name, value in vars(cls).items():
        if name.startswith("__") and name not in DOCUMENTED_DUNDERS:
            continue  # __weakref__, __new__ and the like are Python's own
        if inspect.isgetsetdescriptor(value) or isinstance(value, property):
            properties.append((name, value))
        elif callable(value):
            methods.append((name, value))
    return properties, methods


def render_class(name: str, cls: type) -> list[str]:
    bases = ", ".join(base.__name__ for base in cls.__bases__ if base is not object)
    out = [f"## {name}", ""]
    sig = signature(name, cls)
    out += ["```python", f"class {name}({bases})" if bases else (sig or f"class {name}"), "```", ""]
    if cls.__doc__:
        out += [markdown(cls.__doc__)]
    if not _constructible(cls):
        out += ["Instances are made by the module only; Python code cannot create them.", ""]
    properties, methods = members(cls)
    if properties:
        out += ["Read-only attributes:", ""]
        for prop_name, prop in properties:
            summary = " ".join(markdown(getattr(prop, "__doc__", None)).split())
            out.append(f"- `{prop_name}`: {summary}")
        out.append("")
    for method_name, method in methods:
        out += [f"### {name}.{method_name}", ""]
        sig = signature(method_name, method)
        if sig:
            out += ["```python", sig, "```", ""]
        body = markdown(getattr(method, "__doc__", None))
        if body:
            out += [body]
    return out


def _constructible(cls: type) -> bool:
    # An extension type without a constructor of its own cannot be instantiated.
    return "__new__" in vars(cls) or "__init__" in vars(cls) or issubclass(cls, BaseException)


def render(module: object) -> str:
    names = list(getattr(module, "__all__"))
    classes = [(n, getattr(module, n)) for n in names if inspect.isclass(getattr(module, n))]
    functions = [(n, getattr(module, n)) for n in names if not inspect.isclass(getattr(module, n))]
    hook = "_mark_interpreter_going_away"
    out = [HEADER, "Contents:", ""]
    out += [f"- [{n}](#{n.lower()})" for n, _ in classes]
    out += [f"- [Module functions](#module-functions): " + ", ".join(f"`{n}`" for n, _ in functions), ""]
    for name, cls in classes:
        out += render_class(name, cls)
    out += ["## Module functions", ""]
    for name, function in functions + [(hook, getattr(module, hook))]:
        out += [f"### {name}", "", "```python", signature(name, function) or f"{name}(...)", "```", ""]
        if name == hook:
            out += ["Not in `__all__`: registered with `atexit` when the module is imported.", ""]
        out += [markdown(function.__doc__)]
    text = "\n".join(out)
    return re.sub(r"\n{3,}", "\n\n", text).rstrip() + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Write docs/api.md from the built fenwix_control module.")
    parser.add_argument("--check", action="store_true", help="only compare; exit 1 with a diff when stale")
    parser.add_argument("--output", type=Path, default=OUTPUT, help="where the reference lives (default: docs/api.md)")
    options = parser.parse_args(argv)
    try:
        module = importlib.import_module(MODULE)
    except ImportError as exc:
        print(f"gen_api_docs: cannot import {MODULE} ({exc}); build it and put build/python on PYTHONPATH",
              file=sys.stderr)
        return 2
    text = render(module)
    current = options.output.read_text() if options.output.exists() else ""
    if options.check:
        if current == text:
            return 0
        diff = difflib.unified_diff(
            current.splitlines(keepends=True), text.splitlines(keepends=True), str(options.output), "generated"
        )
        sys.stdout.writelines(diff)
        print(f"\n{options.output} is out of date with the built module: run `make docs`", file=sys.stderr)
        return 1
    if current != text:
        options.output.parent.mkdir(parents=True, exist_ok=True)
        options.output.write_text(text)
        print(f"wrote {options.output}")
    else:
        print(f"{options.output} is up to date")
    return 0


if __name__ == "__main__":
    sys.exit(main())
