"""Checks what the wheels and the sdist carry (scripts/build-wheels): per wheel, the module for its
interpreter, the stubs beside it and as the stub package with its py.typed, the license, and the metadata
(requires-python, the dependencies, the openai extra, the description for users); the sdist, the sources a build needs.

    python scripts/wheel_contents.py dist/nlsqlagent-*.whl dist/nlsqlagent-*.tar.gz
"""
import email.parser
import re
import sys
import tarfile
import zipfile

ROOT_FILES = ["nlsqlagent.pyi", "nlsqlagent-stubs/__init__.pyi", "nlsqlagent-stubs/py.typed"]
REQUIRES = [
    "langchain<0.4,>=0.3; python_version >= \"3.9\" and python_version < \"3.11\"",
    "langchain-community<0.4,>=0.3; python_version >= \"3.9\" and python_version < \"3.11\"",
    "langchain-core<0.4,>=0.3; python_version >= \"3.9\" and python_version < \"3.11\"",
    "langchain-community<0.5,>=0.3; python_version >= \"3.11\" and python_version < \"3.14\"",
    "langchain-community<0.5,>=0.4; python_version >= \"3.14\"",
    "langchain-classic<2,>=1.0.7; python_version >= \"3.14\"",
    "mypy-extensions>=1.0; python_version >= \"3.11\"",
    "sqlalchemy<2.2,>=2.0",
    "pymysql[rsa]>=1.1",
    "openai>=1.0; extra == \"openai\"",
]
SDIST_FILES = ["LICENSE", "CMakeLists.txt", "pyproject.toml", "src/nlsqlagent.pyi", "src/nlsqlagent/exports.map",
               "src/nlsqlagent/base/statements.inc", "docs/PYPI.md", "scripts/portable/toolchain.cmake"]


def normal(requirement):
    """A requirement without spaces and case, its version bounds sorted, as the metadata writers differ."""
    text = requirement.replace(" ", "").replace("'", '"').lower()
    name, _, marker = text.partition(";")
    head = re.match(r"[a-z0-9_.\-\[\]]+", name).group(0)
    bounds = ",".join(sorted(name[len(head):].split(",")))
    return head.replace("_", "-") + bounds + (";" + marker if marker else "")


def check_wheel(path):
    problems = []
    tag = re.search(r"-cp(\d)(\d+)-", path)
    names = zipfile.ZipFile(path).namelist()
    suffix = "cpython-%s%s" % tag.groups()
    if not [n for n in names if re.fullmatch(r"nlsqlagent\.%sm?-x86_64-linux-gnu\.so" % suffix, n)]:
        problems.append("the module for %s" % suffix)
    problems += [n for n in ROOT_FILES if n not in names]
    if not [n for n in names if re.fullmatch(r"[^/]+\.dist-info/(licenses/)?LICENSE", n)]:
        problems.append("LICENSE in .dist-info")
    if [n for n in names if ".libs/" in n]:
        problems.append("no grafted libraries (auditwheel repair added some)")
    meta_name = next(n for n in names if n.endswith(".dist-info/METADATA"))
    meta = email.parser.Parser().parsestr(zipfile.ZipFile(path).read(meta_name).decode())
    if sorted(meta.get("Requires-Python", "").replace(" ", "").split(",")) != ["<3.16", ">=3.7"]:
        problems.append("Requires-Python <3.16,>=3.7 (it says %r)" % meta.get("Requires-Python"))
    # the description for package indexes is the one for users of the wheel, not the developers' README
    body = meta.get_payload() or meta.get("Description", "")
    if meta.get("Description-Content-Type") != "text/markdown" or not body.startswith("# nlsqlagent") or \
            "./run-tests" in body or "pip install nlsqlagent" not in body:
        problems.append("the long description of docs/PYPI.md")
    have = sorted(r for r in map(normal, meta.get_all("Requires-Dist", [])) if not r.endswith('extra=="test"'))
    if have != sorted(normal(r) for r in REQUIRES):
        problems.append("Requires-Dist as in pyproject.toml (it says %s)" % have)
    if "openai" not in meta.get_all("Provides-Extra", []):
        problems.append("Provides-Extra: openai")
    return problems


def check_sdist(path):
    members = tarfile.open(path).getnames()
    return ["sdist: " + n for n in SDIST_FILES if not any(m.endswith("/" + n) for m in members)]


def main(paths):
    failed = False
    for path in paths:
        problems = check_sdist(path) if path.endswith(".tar.gz") else check_wheel(path)
        print("%s: %s" % (path, "missing " + ", ".join(problems) if problems else "ok"))
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
