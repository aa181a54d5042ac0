"""The README's Python examples run, in order and in one namespace, on files made for them.

Every WD1 or WD2 file name an example quotes is generated first (a glob pattern as two files),
so an example added to the README is run with the rest. An example whose first line is a
``# sketch:`` comment stands for the reader's own code and is left out.
"""

import re
from pathlib import Path

from sample_files import write_wd1, write_wd2

README = Path(__file__).resolve().parents[1] / "README.md"
EXAMPLE = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
SKETCH = "# sketch:"
FILE_NAME = re.compile(r"""["']([\w./*-]+\.wd([12]))["']""")


def examples():
    """(line in the README, code) of each example that runs."""
    text = README.read_text(encoding="utf-8")
    found = []
    for match in EXAMPLE.finditer(text):
        if not match.group(1).startswith(SKETCH):
            found.append((text.count("\n", 0, match.start(1)), match.group(1)))
    return found


def test_the_readme_examples_run_in_order(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    runnable = examples()
    assert runnable, "the README's examples were not found"
    names = {match for _, code in runnable for match in FILE_NAME.findall(code)}
    for name, kind in sorted(names):
        for path in [name.replace("*", part) for part in ("a", "b")] if "*" in name else [name]:
            Path(path).parent.mkdir(parents=True, exist_ok=True)
            (write_wd1 if kind == "1" else write_wd2)(path)
    namespace = {"__name__": "__readme__"}
    for line, code in runnable:
        # Padded to its line, so that a traceback points into the README.
        exec(compile("\n" * line + code, str(README), "exec"), namespace)
