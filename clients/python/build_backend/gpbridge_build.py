"""A build backend of our own, standard library only, so that
`pip install --no-build-isolation ./clients/python` works offline with any
Python 3.11 or newer that has pip: no setuptools or wheel package needed.
It builds a pure-Python wheel of the `gpbridge` package and an sdist.

Run as a program it builds the wheel without pip (the project's build does
this):

    python3 clients/python/build_backend/gpbridge_build.py OUTPUT-FOLDER
"""

import base64
import hashlib
import io
import os
import tarfile
import tomllib
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "gpbridge"


def _project():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]


def _metadata():
    p = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {p['name']}", f"Version: {p['version']}",
             f"Summary: {p.get('description', '')}",
             f"Requires-Python: {p.get('requires-python', '')}"]
    lines += [f"Classifier: {c}" for c in p.get("classifiers", [])]
    readme = os.path.join(ROOT, p.get("readme", "README.md"))
    body = ""
    if os.path.exists(readme):
        lines.append("Description-Content-Type: text/markdown")
        with open(readme, encoding="utf-8") as f:
            body = "\n" + f.read()
    return ("\n".join(lines) + "\n" + body).encode()


def _package_files():
    """(path inside the archive, path on disk) for the package's files."""
    base = os.path.join(ROOT, PACKAGE)
    for name in sorted(os.listdir(base)):
        if name.endswith(".py") or name == "py.typed":
            yield f"{PACKAGE}/{name}", os.path.join(base, name)


def _dist_name():
    p = _project()
    return p["name"].replace("-", "_"), p["version"]


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def _write_wheel(wheel_directory, contents):
    name, version = _dist_name()
    info = f"{name}-{version}.dist-info"
    files = list(contents) + [
        (f"{info}/METADATA", _metadata()),
        (f"{info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: gpbridge_build\n"
                          b"Root-Is-Purelib: true\nTag: py3-none-any\n"),
    ]
    record = [_record_line(path, data) for path, data in files] + [f"{info}/RECORD,,"]
    filename = f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w",
                         zipfile.ZIP_DEFLATED) as whl:
        for path, data in files:
            whl.writestr(path, data)
        whl.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    return filename


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    contents = []
    for arcname, disk in _package_files():
        with open(disk, "rb") as f:
            contents.append((arcname, f.read()))
    return _write_wheel(wheel_directory, contents)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A .pth file puts the source folder on the path.
    return _write_wheel(wheel_directory, [(f"{PACKAGE}_editable.pth", (ROOT + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    name, version = _dist_name()
    top = f"{name}-{version}"
    filename = f"{top}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz") as tar:
        for rel in ["pyproject.toml", "README.md", "build_backend/gpbridge_build.py"]:
            tar.add(os.path.join(ROOT, rel), f"{top}/{rel}")
        for arcname, disk in _package_files():
            tar.add(disk, f"{top}/{arcname}")
        data = _metadata()
        member = tarfile.TarInfo(f"{top}/PKG-INFO")
        member.size = len(data)
        tar.addfile(member, io.BytesIO(data))
    return filename


if __name__ == "__main__":
    import sys

    if len(sys.argv) != 2:
        sys.exit("usage: gpbridge_build.py OUTPUT-FOLDER")
    os.makedirs(sys.argv[1], exist_ok=True)
    print(os.path.join(sys.argv[1], build_wheel(sys.argv[1])))
