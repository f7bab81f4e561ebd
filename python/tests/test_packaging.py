import base64
import hashlib
import subprocess
import sys
import zipfile
from pathlib import Path

PACKAGE_DIR = Path(__file__).resolve().parents[1]


def test_wheel_carries_the_whole_package(tmp_path: Path) -> None:
    sys.path.insert(0, str(PACKAGE_DIR / "_build"))
    try:
        import kavrel_build
    finally:
        sys.path.pop(0)
    assert kavrel_build.get_requires_for_build_wheel() == []  # nothing to fetch
    name = kavrel_build.build_wheel(str(tmp_path))
    assert name == "kavrel-1.1.0-py3-none-any.whl"
    with zipfile.ZipFile(tmp_path / name) as whl:
        names = set(whl.namelist())
        expected = {
            f"kavrel/{p.name}" for p in (PACKAGE_DIR / "kavrel").iterdir() if p.is_file()
        }
        assert expected <= names and "kavrel/py.typed" in names
        record = whl.read("kavrel-1.1.0.dist-info/RECORD").decode().splitlines()
        for line in record:
            arc, digest, size = line.rsplit(",", 2)
            if arc.endswith("RECORD"):
                continue
            data = whl.read(arc)
            want = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert digest == "sha256=" + want.decode() and int(size) == len(data), arc
        assert "Name: kavrel" in whl.read("kavrel-1.1.0.dist-info/METADATA").decode()


def test_backend_builds_without_a_toml_reader(tmp_path: Path) -> None:
    # Before Python 3.11 no TOML reader comes with Python, and pip's build
    # environment has nothing else: the backend must read its project alone.
    code = (
        "import sys; sys.modules['tomllib'] = sys.modules['tomli'] = None\n"
        f"sys.path.insert(0, {str(PACKAGE_DIR / '_build')!r})\n"
        "import kavrel_build\n"
        f"print(kavrel_build.build_wheel({str(tmp_path)!r}))\n"
        "print(kavrel_build._metadata(), end='')\n"
    )
    run = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    assert run.returncode == 0, run.stderr
    name, metadata = run.stdout.split("\n", 1)
    assert name == "kavrel-1.1.0-py3-none-any.whl"
    sys.path.insert(0, str(PACKAGE_DIR / "_build"))
    try:
        import kavrel_build
    finally:
        sys.path.pop(0)
    assert metadata == kavrel_build._metadata()  # what tomllib reads
