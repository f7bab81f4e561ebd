import os
import re
import subprocess
import sys
from pathlib import Path

PACKAGE_DIR = Path(__file__).resolve().parents[1]


def test_first_readme_example_runs_as_written() -> None:
    readme = (PACKAGE_DIR / "README.md").read_text(encoding="utf-8")
    example = re.search(r"```python\n(.*?)```", readme, re.S)
    assert example, "no python example in README.md"
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_DIR))
    run = subprocess.run(
        [sys.executable, "-c", example.group(1)],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout == "7 '*IDN?\\r\\n'\n"
