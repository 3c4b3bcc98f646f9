"""The documentation matches the module: docs/api.md is what
scripts/gen_api_docs.py makes from the built module, the guide's test module
passes against the simulator, and every Python snippet in the guide is valid
Python."""

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
GUIDE = ROOT / "docs" / "guide.md"
TESTED_MARK = "<!-- tested: the test suite runs this block with pytest -->"


def python_blocks(text):
    """(preceding line, code) for every ```python block."""
    return [
        (match.group(1), match.group(2))
        for match in re.finditer(r"([^\n]*)\n```python\n(.*?)\n```", text, flags=re.S)
    ]


def test_api_reference_is_up_to_date():
    result = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "gen_api_docs.py"), "--check"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_api_reference_covers_every_public_name():
    import fenwix_control

    reference = (ROOT / "docs" / "api.md").read_text()
    for name in fenwix_control.__all__:
        assert f"## {name}" in reference or f"### {name}" in reference, name
    for cls in (fenwix_control.ControlClient, fenwix_control.ControlServer, fenwix_control.Call):
        for member in vars(cls):
            if not member.startswith("_"):
                assert f"{cls.__name__}.{member}" in reference or f"`{member}`" in reference, member


@pytest.mark.parametrize("index, code", list(enumerate(code for _, code in python_blocks(GUIDE.read_text()))))
def test_guide_snippets_are_python(index, code):
    compile(code, f"guide block {index}", "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)


def test_the_guides_test_module_passes(tmp_path):
    tested = [code for before, code in python_blocks(GUIDE.read_text()) if before.strip() == TESTED_MARK]
    assert len(tested) == 2
    (tmp_path / "test_guide_example.py").write_text("\n\n".join(tested) + "\n")
    (tmp_path / "pytest.ini").write_text("[pytest]\nasyncio_mode = auto\nasyncio_default_fixture_loop_scope = function\n")
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ),
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "4 passed" in result.stdout
