"""The two LangChain lines: the statements' homes in each (one table names both), the choice made once per
import without importing anything the chosen statements would not, and what a failed import says."""
import re
import shutil

import pytest

from conftest import FAKESTACK, SOURCE, run_python, source_for_line, statement_homes


def test_the_03_column_is_the_source_text():
    # The table's first column is what the source's statements name, line for line; the 1.x column differs
    # only in the module path, so the two tables cannot drift apart.
    lines = open(SOURCE).read().splitlines()
    homes = statement_homes()
    assert sorted(homes) == list(range(1, 14))
    for number, (module, module_1x) in homes.items():
        match = re.match(r"(?:from|import) (\S+)", lines[number - 1])
        assert match and match.group(1) == module, (number, lines[number - 1])
        assert module_1x.startswith(("langchain_classic.", "langchain_community.")) or module_1x == module
    edited = source_for_line(True).splitlines()
    assert edited[13:] == lines[13:]
    assert [line.split(" import ")[-1] for line in edited[:13]] == [line.split(" import ")[-1] for line in lines[:13]]


def tree_1x(tmp_path, with_03=False):
    """The stand-in tree in the 1.x layout: langchain_classic with the agent and database names, ChatOpenAI in
    langchain_community.chat_models.openai; with_03 keeps the 0.3 layout beside it."""
    root = tmp_path / "tree1x"
    shutil.copytree(FAKESTACK, root)
    shutil.copytree(root / "langchain", root / "langchain_classic")
    for path in (root / "langchain_classic").rglob("*.py"):
        path.write_text(path.read_text().replace("langchain.", "langchain_classic."))
    (root / "langchain_classic" / "chat_models.py").unlink()
    chat = root / "langchain_community" / "chat_models"
    chat.mkdir(parents=True)
    (root / "langchain_community" / "__init__.py").write_text("")
    (chat / "__init__.py").write_text("")
    (chat / "openai.py").write_text("class ChatOpenAI:\n    pass\n")
    if not with_03:
        shutil.rmtree(root / "langchain")
    return str(root)


def not_installed(names):
    """Code that makes the packages `names` (and modules of those exact names) look not installed to the
    import system, so that what the interpreter's own environment holds (a real stack of either line) stays
    out of the picture."""
    return """
    import sys
    class NotInstalled:
        def __init__(self, finder):
            self.finder = finder
        def find_spec(self, name, path=None, target=None):
            if name in %r or name.split(".")[0] in %r:
                return None
            return self.finder.find_spec(name, path, target)
    sys.meta_path[:] = [NotInstalled(f) for f in sys.meta_path if hasattr(f, "find_spec")]
    """ % (names, names)


def compare(names, source):
    """Imports the module and the source, and prints for each what it bound (each name's defining module) and
    which LangChain packages the import loaded."""
    return not_installed(names) + """
    import runpy
    import nlsqlagent
    loaded = sorted(m.split(".")[0] for m in sys.modules if m.startswith("langchain") and sys.modules[m] is not None)
    plain = runpy.run_path(%r)
    def homes(namespace):
        return sorted((k, getattr(v, "__module__", None) or getattr(v, "__name__", None))
                      for k, v in namespace.items() if not k.startswith("_") and k not in (
                          "connection_uri", "masked", "quote", "re", "DatabaseConnector", "AgentRunner"))
    print(homes(vars(nlsqlagent)) == homes(plain), sorted(set(loaded)))
    print(nlsqlagent.ChatOpenAI.__module__, nlsqlagent.SQLDatabase.__module__, nlsqlagent.AgentType.__module__)
    """ % source


def test_1x_layout_binds_the_same_names_from_their_new_homes(tmp_path):
    source = tmp_path / "base_1x.py"
    source.write_text(source_for_line(True))
    result = run_python(compare(["langchain"], str(source)), tree_1x(tmp_path))
    assert result.stdout.splitlines() == [
        "True ['langchain_classic', 'langchain_community']",
        "langchain_community.chat_models.openai langchain_classic.sql_database langchain_classic.agents.agent_types",
    ], result.stderr


def test_1x_line_wins_when_both_layouts_are_there(tmp_path):
    # langchain_classic needs langchain-core 1.x, with which the 0.3 line does not work: a leftover 0.3 package
    # beside it is not imported at all.
    source = tmp_path / "base_1x.py"
    source.write_text(source_for_line(True))
    result = run_python(compare([], str(source)), tree_1x(tmp_path, with_03=True))
    assert result.stdout.splitlines()[0] == "True ['langchain_classic', 'langchain_community']", result.stderr


def test_03_layout_imports_nothing_of_the_1x_line():
    # Deciding looks for langchain_classic without importing it, nor importlib.util, which a plain import of
    # the 0.3 stand-in tree does not load either.
    code = compare(["langchain_classic"], SOURCE)
    code = code.replace("    import nlsqlagent\n", "    util = 'importlib.util' in sys.modules\n    import nlsqlagent\n"
                        "    util = util or 'importlib.util' not in sys.modules\n")
    result = run_python(code + "print(util)\n", FAKESTACK)
    assert result.stdout.splitlines() == [
        "True ['langchain']", "langchain.chat_models langchain.sql_database langchain.agents.agent_types", "True",
    ], result.stderr


def failed_import(names):
    return not_installed(names) + """
    try:
        import nlsqlagent
    except ModuleNotFoundError as e:
        print(e.name, "|", e, "|", e.args == (e.msg,), "|", e.__traceback__ is not None)
    """


@pytest.mark.parametrize("layout, blocked, missing", [
    ("03", ["langchain", "langchain_classic"], "langchain"),
    ("1x", ["langchain", "langchain_community"], "langchain_community"),
    ("1x", ["langchain", "mypy_extensions"], None),  # only the real star import needs it
])
def test_a_missing_langchain_package_says_what_to_install(tmp_path, layout, blocked, missing):
    import sys
    tree = FAKESTACK if layout == "03" else tree_1x(tmp_path)
    result = run_python(failed_import(blocked), tree)
    if missing is None:
        assert result.stdout == "" and result.returncode == 0, result.stderr
        return
    name, message, args_match, has_tb = result.stdout.strip().split(" | ")
    assert (name, args_match, has_tb) == (missing, "True", "True"), result.stderr
    assert message.startswith("No module named '%s': " % missing)
    version = "%d.%d" % sys.version_info[:2]
    if sys.version_info < (3, 9):
        assert "LangChain does not support CPython %s" % version in message
    elif sys.version_info >= (3, 14):
        assert "1.x line, the one that imports on CPython %s" % version in message
        assert "pip install \"langchain-classic>=1.0.7\" \"langchain-community>=0.4\" mypy_extensions" in message
    else:
        assert "pip install \"langchain>=0.3,<0.4\" \"langchain-community>=0.3,<0.4\"" in message
        assert ("langchain-classic" in message) == (sys.version_info >= (3, 10))


def test_a_missing_submodule_keeps_its_own_message(tmp_path):
    # Only a missing package of LangChain's is explained: a module missing inside one is LangChain's own
    # trouble, and the error stays as the import system made it.
    result = run_python(failed_import(["langchain.sql_database", "langchain_classic"]), FAKESTACK)
    assert result.stdout.strip().split(" | ")[:2] == [
        "langchain.sql_database", "No module named 'langchain.sql_database'"], result.stderr
