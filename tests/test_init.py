"""Initialisation: the namespace it builds, its guards, and every import failure with its traceback entry."""
import builtins
import importlib
import os
import shutil
import sys


import nlsqlagent
from conftest import FAKESTACK, SOURCE, home, line_of, needs_real_stack, package_with_the_module, run_python


def test_namespace_after_import():
    ns = vars(nlsqlagent)
    assert nlsqlagent.__doc__ is None
    assert ns["__builtins__"] is builtins
    assert ns["__test__"] == {} and type(ns["__test__"]) is dict
    # Binding order, seen in a fresh interpreter (other tests here rebind names).
    result = run_python("import nlsqlagent; print(' '.join(vars(nlsqlagent)))")
    names = result.stdout.split()
    assert names[names.index("__builtins__"):][:9] == [
        "__builtins__", "create_sql_agent", "SQLDatabaseToolkit", "SQLDatabase", "OpenAI", "AgentExecutor",
        "AgentType", "ChatOpenAI", "create_engine"], result.stderr
    assert names[-4:] == ["pymysql", "DatabaseConnector", "AgentRunner", "__test__"]
    agents, llms = importlib.import_module(home(10)), importlib.import_module(home(11))
    for name in getattr(agents, "__all__", []):
        assert ns[name] is getattr(agents, name)
    assert nlsqlagent.OpenAI is llms.OpenAI
    assert nlsqlagent.os is os and nlsqlagent.pymysql is sys.modules["pymysql"]
    for cls, methods in ((nlsqlagent.DatabaseConnector, ["__init__", "connect", "getdbinstance"]),
                         (nlsqlagent.AgentRunner, ["__init__", "run"])):
        assert cls.__mro__ == (cls, object) and cls.__doc__ is None and cls.__module__ == "nlsqlagent"
        assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == methods


def test_namespace_is_the_reference_sources():
    # The names that the module's statements bind, in order, are those that the reference source binds.
    from conftest import REFERENCE
    code = "import runpy, sys; ns = %s; print(' '.join(k for k in ns if not k.startswith('__') or k == '__test__'))"
    native = run_python(code % "vars(__import__('nlsqlagent'))").stdout.split()
    plain = run_python(code % ("runpy.run_path(%r)" % REFERENCE)).stdout.split()
    assert native and native == plain[:plain.index("__test__") + 1]


@needs_real_stack
def test_real_stack_names():
    from langchain_community.utilities.sql_database import SQLDatabase
    assert nlsqlagent.SQLDatabase is SQLDatabase
    assert nlsqlagent.AgentType.ZERO_SHOT_REACT_DESCRIPTION.value == "zero-shot-react-description"
    assert callable(nlsqlagent.create_sql_agent) and callable(nlsqlagent.create_engine)
    assert nlsqlagent.SQLDatabaseToolkit.__name__ == "SQLDatabaseToolkit"
    assert nlsqlagent.ChatOpenAI.__name__ == "ChatOpenAI" and nlsqlagent.AgentExecutor.__name__ == "AgentExecutor"


def test_reimport_and_reload_run_nothing_again(monkeypatch):
    module = sys.modules["nlsqlagent"]
    marker = object()
    monkeypatch.setattr(nlsqlagent, "SQLDatabase", marker)
    monkeypatch.delitem(sys.modules, "nlsqlagent")
    again = importlib.import_module("nlsqlagent")
    assert again is module and again.SQLDatabase is marker
    assert importlib.reload(again) is module and module.SQLDatabase is marker


def test_cached_print_and_defaults_survive_rebinding(monkeypatch, capsys, create_agent):
    default = nlsqlagent.AgentRunner.__init__.__defaults__[1]
    monkeypatch.setattr(nlsqlagent, "AgentType", None)
    monkeypatch.setattr(builtins, "print", lambda *a: None)
    monkeypatch.setattr(nlsqlagent, "print", lambda *a: None, raising=False)
    create_agent.result = None
    runner = nlsqlagent.AgentRunner(1, 2)
    assert runner.agent_type is default
    assert create_agent.calls[-1][1]["agent_type"] is default
    assert capsys.readouterr().out == "Error occurred during initialization.\n"


def test_second_interpreter_refused():
    inner = "import sys\ntry:\n    import nlsqlagent\nexcept ImportError as e:\n    print('refused:', e)\n"
    result = run_python("import _testcapi, nlsqlagent\n_testcapi.run_in_subinterp(%r)" % inner)
    assert "refused: Interpreter change detected - this module can only be loaded into one interpreter per " \
           "process." in result.stdout, result.stderr


def test_imported_under_another_name(tmp_path):
    package_with_the_module(tmp_path)
    result = run_python("""
        import sys, pkg.nlsqlagent as m
        print(m.__name__, m.__package__, m.DatabaseConnector.__module__, sys.modules['nlsqlagent'] is m)
    """, str(tmp_path))
    assert result.stdout.split() == ["pkg.nlsqlagent", "pkg", "nlsqlagent", "True"], result.stderr


def test_second_module_object_refused():
    # Before any exec step, two create steps make two module objects from the one definition.
    result = run_python("""
        import _imp, importlib.util, sys
        spec = importlib.util.find_spec("nlsqlagent")
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        assert sys.modules["nlsqlagent"] is first
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            print(e)
    """)
    assert result.stdout.strip() == \
        "Module 'nlsqlagent' has already been imported. Re-initialisation is not supported.", result.stderr


# ---- import failures, each against a variant of the stand-in tree ------------------------------------------

IMPORT_AND_REPORT = """
    import sys, traceback
    try:
        import nlsqlagent
    except BaseException as e:
        # the innermost entry of ours (the dependencies' own frames may follow it)
        last = [t for t in traceback.extract_tb(e.__traceback__) if t.filename == "nlsqlagent/base"][-1]
        print(type(e).__name__, "|", e, "|", last.name, last.filename, last.lineno)
        import nlsqlagent  # a failed import leaves nothing recorded: the next one runs from the start again
    """


def variant_tree(tmp_path, edit):
    root = tmp_path / "tree"
    shutil.copytree(FAKESTACK, root)
    edit(root)
    return str(root)


def report(tmp_path, edit):
    result = run_python(IMPORT_AND_REPORT, variant_tree(tmp_path, edit))
    return result.stdout.strip().splitlines()[0] if result.stdout.strip() else result.stderr


def test_missing_module(tmp_path):
    line = report(tmp_path, lambda root: os.remove(root / "langchain" / "chat_models.py"))
    assert line.startswith("ModuleNotFoundError | No module named 'langchain.chat_models' | init nlsqlagent "
                           "nlsqlagent/base %d" % line_of("import ChatOpenAI"))


def without_create_sql_agent(root):
    path = root / "langchain" / "agents" / "__init__.py"
    path.write_text(path.read_text().replace("def create_sql_agent", "def other_agent").replace(
        '"create_sql_agent", ', ""))


def test_missing_name(tmp_path):
    assert report(tmp_path, without_create_sql_agent) == "ImportError | cannot import name create_sql_agent | " \
                                                         "init nlsqlagent nlsqlagent/base %d" % \
                                                         line_of("import create_sql_agent")
    # the error names the module that lacks the name, and its file, as the interpreter's own from-import does
    result = run_python("""
        import runpy
        for run in (lambda: __import__("nlsqlagent"), lambda: runpy.run_path(%r)):
            try:
                run()
            except ImportError as e:
                print(e.name, e.path)
    """ % SOURCE, str(tmp_path / "tree"))
    module, plain = result.stdout.splitlines()
    assert module == plain == "langchain.agents %s" % (tmp_path / "tree" / "langchain" / "agents" / "__init__.py")


def test_failed_lookup_kept_as_context_of_import_error(tmp_path):
    def edit(root):
        path = root / "langchain" / "chat_models.py"
        path.write_text("def __getattr__(name):\n"
                        "    if name != 'ChatOpenAI':\n"
                        "        raise AttributeError(name)\n"
                        "    raise RuntimeError('lookup of ' + name + ' broke')\n")
    code = IMPORT_AND_REPORT.replace('print(type(e).__name__, "|", e,',
                                     'print(type(e).__name__, "|", e, "|", repr(e.__context__),')
    result = run_python(code, variant_tree(tmp_path, edit))
    assert result.stdout.splitlines()[0] == ("ImportError | cannot import name ChatOpenAI | "
                                             "RuntimeError('lookup of ChatOpenAI broke') | init nlsqlagent "
                                             "nlsqlagent/base %d" % line_of("import ChatOpenAI")), result.stderr


def test_all_names_a_missing_attribute(tmp_path):
    def edit(root):
        path = root / "langchain" / "agents" / "__init__.py"
        path.write_text(path.read_text().replace('__all__ = [', '__all__ = ["absent", '))
    line = report(tmp_path, edit)
    assert line.startswith("AttributeError |") and "absent" in line
    assert line.endswith("init nlsqlagent nlsqlagent/base %d" % line_of("import *"))


def test_a_failed_star_import_binds_the_names_before_the_failure(tmp_path):
    # Only a module kept from inside its failed import shows this: the star import binds each name as it
    # reads it, as plain Python does, so the names before the failing one are bound and the rest are not.
    def edit(root):
        path = root / "langchain" / "agents" / "__init__.py"
        path.write_text(path.read_text().replace(
            '__all__ = [', '__all__ = ["initialize_agent", "absent", "later", ') + (
            "later = 1\n"
            "def __getattr__(name):\n"
            "    import sys\n"
            "    kept.append(sys.modules['nlsqlagent'])\n"
            "    raise AttributeError(name)\n"
            "kept = []\n"))
    code = """
        import importlib.util, sys
        import langchain.agents
        if %s:  # the reference source, in the module's place
            spec = importlib.util.spec_from_file_location("nlsqlagent", %r)
            sys.modules["nlsqlagent"] = importlib.util.module_from_spec(spec)
            load = lambda: spec.loader.exec_module(sys.modules["nlsqlagent"])
        else:
            load = lambda: __import__("nlsqlagent")
        try:
            load()
        except AttributeError as e:
            print(e, [n for n in ("initialize_agent", "later") if n in vars(langchain.agents.kept[0])])
    """
    tree = variant_tree(tmp_path, edit)
    module, plain = (run_python(code % (reference, SOURCE), tree) for reference in (False, True))
    assert module.stdout == plain.stdout == "absent ['initialize_agent']\n", (module, plain)


def test_agent_type_without_member(tmp_path):
    def edit(root):
        path = root / "langchain" / "agents" / "agent_types.py"
        path.write_text(path.read_text().replace("ZERO_SHOT_REACT_DESCRIPTION", "OTHER"))
    line = report(tmp_path, edit)
    assert line.startswith("AttributeError |")
    assert line.endswith("init nlsqlagent nlsqlagent/base %d" % line_of("def __init__(self, llm"))


def test_submodule_found_through_sys_modules(tmp_path):
    # A package without the attribute: the import system loads the submodule, which the from-import finds.
    def edit(root):
        (root / "langchain" / "llms" / "OpenAI.py").write_text("")
        (root / "langchain" / "llms" / "__init__.py").write_text("")
    result = run_python("import nlsqlagent, sys; print(nlsqlagent.OpenAI is sys.modules['langchain.llms.OpenAI'])",
                        variant_tree(tmp_path, edit))
    assert result.stdout.strip() == "True", result.stderr


def test_star_import_without_all_skips_private_names(tmp_path):
    def edit(root):
        path = root / "langchain" / "agents" / "__init__.py"
        path.write_text(path.read_text().split("__all__")[0] + "_private = 1\n")
    result = run_python("import nlsqlagent; print(hasattr(nlsqlagent, '_private'), nlsqlagent.initialize_agent)",
                        variant_tree(tmp_path, edit))
    assert result.stdout.split()[0] == "False" and "initialize_agent" in result.stdout, result.stderr


def test_print_missing_from_builtins():
    result = run_python("""
        import builtins, traceback
        del builtins.print
        try:
            import nlsqlagent
        except NameError as e:
            last = traceback.extract_tb(e.__traceback__)[-1]
            import sys
            sys.stdout.write("%s|%s|%s\\n" % (e, last.name, e.__suppress_context__ or e.__context__))
    """)
    assert result.stdout.strip() == "name 'print' is not defined|init nlsqlagent|None", result.stderr


# ---- warnings during the import ------------------------------------------------------------------------------

@needs_real_stack
def test_plain_import_is_quiet_and_leaves_langchains_filters():
    quiet = run_python("import nlsqlagent, warnings; print(warnings.filters)", env_extra={"PYTHONWARNINGS": ""})
    assert quiet.returncode == 0 and quiet.stderr == "", quiet.stderr[-2000:]
    # the same statements in plain Python leave the same filters (LangChain's import sets its own)
    from conftest import REFERENCE
    plain = run_python("import warnings, runpy; runpy.run_path(%r); print(warnings.filters)" % REFERENCE,
                       env_extra={"PYTHONWARNINGS": ""})
    assert plain.stdout == quiet.stdout and "LangChainDeprecationWarning" in plain.stderr


def test_only_langchains_deprecation_notes_are_dropped(tmp_path):
    def edit(root):
        (root / "langchain_core").mkdir()
        (root / "langchain_core" / "__init__.py").write_text(
            "class LangChainDeprecationWarning(DeprecationWarning):\n    pass\n")
        path = root / "langchain" / "chat_models.py"
        path.write_text("import warnings\nfrom langchain_core import LangChainDeprecationWarning\n"
                        "warnings.warn('Importing ChatOpenAI from langchain is deprecated.', "
                        "LangChainDeprecationWarning)\n"
                        "warnings.warn('a note of its own', UserWarning)\n"
                        "warnings.warn('another package', DeprecationWarning)\n" + path.read_text())
    result = run_python("import warnings; warnings.simplefilter('always'); import nlsqlagent",
                        variant_tree(tmp_path, edit), env_extra={"PYTHONWARNINGS": ""})
    assert result.returncode == 0, result.stderr
    assert "Importing ChatOpenAI" not in result.stderr
    assert "UserWarning: a note of its own" in result.stderr and "DeprecationWarning: another package" in result.stderr
    strict = run_python("import nlsqlagent", variant_tree(tmp_path / "strict", edit),
                        env_extra={"PYTHONWARNINGS": "error::UserWarning"})
    assert "UserWarning: a note of its own" in strict.stderr and strict.returncode != 0


def test_a_showwarning_set_during_the_import_stays(tmp_path):
    def edit(root):
        path = root / "langchain" / "chat_models.py"
        path.write_text("import warnings\ndef mine(*args, **kwargs):\n    print('mine:', args[0])\n"
                        "warnings.showwarning = mine\n" + path.read_text())
    result = run_python("import warnings, nlsqlagent\nwarnings.warn('after', UserWarning)",
                        variant_tree(tmp_path, edit), env_extra={"PYTHONWARNINGS": ""})
    assert result.stdout == "mine: after\n", result.stderr
