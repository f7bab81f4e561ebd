"""Build backend of the kavrel package (PEP 517 and PEP 660), standard
library only.

Offline, pip cannot fetch a build backend into its isolated build
environment, so this one needs nothing: ``pip install ./python`` works on a
machine with no package index.  It packs the pure-Python package as it
stands; the project's metadata comes from pyproject.toml.
"""

from __future__ import annotations

import ast
import base64
import hashlib
import io
import os
import tarfile
import time
import zipfile
from pathlib import Path

try:
    import tomllib
except ImportError:  # Python < 3.11, where no TOML reader comes with Python
    tomllib = None  # type: ignore[assignment]

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "kavrel"
TAG = "py3-none-any"


def _without_comment(line: str) -> str:
    quoted = escaped = False
    for i, c in enumerate(line):
        if escaped:
            escaped = False
        elif quoted and c == "\\":
            escaped = True
        elif c == '"':
            quoted = not quoted
        elif c == "#" and not quoted:
            return line[:i]
    return line


def _read_project(text: str) -> dict:
    """The [project] table, for Pythons without tomllib: its values are
    basic strings and arrays of them, which read as Python literals."""
    project: dict = {}
    section = key = ""
    value = ""
    for raw in text.splitlines():
        line = _without_comment(raw).strip()
        if key:  # an array that goes on over several lines
            value += " " + line
        elif not line:
            continue
        elif line.startswith("["):
            section = line.strip("[] ")
            continue
        elif section != "project":
            continue
        else:
            key, sep, value = (part.strip() for part in line.partition("="))
            if not sep:
                raise ValueError(f"pyproject.toml: cannot read {raw!r}")
        if value.startswith("[") and value.count("[") > value.count("]"):
            continue
        try:
            project[key] = ast.literal_eval(value)
        except (SyntaxError, ValueError):
            raise ValueError(f"pyproject.toml: cannot read the value of {key!r}") from None
        key = ""
    return project


def _project() -> dict:
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    if tomllib is None:
        return _read_project(text)
    return tomllib.loads(text)["project"]


def _names() -> tuple[str, str]:
    p = _project()
    return p["name"], p["version"]


def _metadata() -> str:
    p = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {p['name']}",
        f"Version: {p['version']}",
        f"Summary: {p.get('description', '')}",
    ]
    if "requires-python" in p:
        lines.append(f"Requires-Python: {p['requires-python']}")
    lines += [f"Classifier: {c}" for c in p.get("classifiers", [])]
    readme = p.get("readme")
    body = ""
    if readme:
        lines.append("Description-Content-Type: text/markdown")
        body = (ROOT / readme).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n\n" + body


def _package_files() -> list[Path]:
    files = []
    for path in sorted((ROOT / PACKAGE).rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
            files.append(path)
    return files


def _hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode()


def _write_wheel(directory: str, entries: list[tuple[str, bytes]]) -> str:
    name, version = _names()
    dist_info = f"{name}-{version}.dist-info"
    entries = entries + [
        (f"{dist_info}/METADATA", _metadata().encode()),
        (
            f"{dist_info}/WHEEL",
            "Wheel-Version: 1.0\nGenerator: kavrel_build\nRoot-Is-Purelib: true\n"
            f"Tag: {TAG}\n".encode(),
        ),
    ]
    record = [f"{arc},{_hash(data)},{len(data)}" for arc, data in entries]
    record.append(f"{dist_info}/RECORD,,")
    entries.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    filename = f"{name}-{version}-{TAG}.whl"
    stamp = time.gmtime(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")))[:6]
    with zipfile.ZipFile(Path(directory) / filename, "w", zipfile.ZIP_DEFLATED) as whl:
        for arc, data in entries:
            info = zipfile.ZipInfo(arc, date_time=stamp)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(info, data)
    return filename


def get_requires_for_build_wheel(config_settings: dict | None = None) -> list[str]:
    return []


def get_requires_for_build_sdist(config_settings: dict | None = None) -> list[str]:
    return []


def get_requires_for_build_editable(config_settings: dict | None = None) -> list[str]:
    return []


def build_wheel(
    wheel_directory: str,
    config_settings: dict | None = None,
    metadata_directory: str | None = None,
) -> str:
    entries = [(p.relative_to(ROOT).as_posix(), p.read_bytes()) for p in _package_files()]
    return _write_wheel(wheel_directory, entries)


def build_editable(
    wheel_directory: str,
    config_settings: dict | None = None,
    metadata_directory: str | None = None,
) -> str:
    # A .pth file naming this directory: the package is used where it is.
    return _write_wheel(wheel_directory, [(f"_{PACKAGE}_editable.pth", f"{ROOT}\n".encode())])


def build_sdist(sdist_directory: str, config_settings: dict | None = None) -> str:
    name, version = _names()
    base = f"{name}-{version}"
    filename = f"{base}.tar.gz"
    members = [ROOT / "pyproject.toml", ROOT / "README.md", Path(__file__).resolve()]
    members += _package_files()
    with tarfile.open(Path(sdist_directory) / filename, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for path in members:
            tar.add(path, arcname=f"{base}/{path.relative_to(ROOT).as_posix()}", recursive=False)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return filename
