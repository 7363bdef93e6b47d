"""The README's Python examples run as written, in order, in one namespace."""
import os
import re

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def python_blocks(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


def test_readme_python_blocks_run():
    blocks = python_blocks(os.path.join(REPO, "README.md"))
    assert blocks, "the README has no python block"
    namespace = {"__name__": "readme"}
    for k, code in enumerate(blocks):
        exec(compile(code, f"README.md python block {k + 1}", "exec"), namespace)
