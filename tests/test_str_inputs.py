"""Strings that are not ordinary: keyword names of str subclasses, and, before 3.12, a str that is not yet
ready (made by the legacy API and filled afterwards)."""
import sys

import pytest

import nlsqlagent

DC = nlsqlagent.DatabaseConnector


class Odd(str):
    def __hash__(self):
        return 7

    def __eq__(self, other):
        return False


class EqualToAll(str):
    def __hash__(self):
        return 7

    def __eq__(self, other):
        return True


def python_twin(self, db_user=None, db_password=None, db_host=None, db_name=None):
    return db_user


@pytest.mark.parametrize("kwargs", [
    {"db_user": "A", Odd("db_user"): "B"},
    {Odd("db_user"): "B"},
    {EqualToAll("anything"): "B"},
    {"db_name": "A", EqualToAll("db_name"): "B"},
], ids=["exact and odd", "odd alone", "equal to all", "exact and equal to all"])
def test_str_subclass_keywords_bind_as_python_binds(kwargs):
    with pytest.raises(TypeError):
        python_twin(object(), **kwargs)
    with pytest.raises(TypeError) as info:
        DC.__init__(object(), **kwargs)
    assert "unexpected keyword argument" in str(info.value) or "multiple values" in str(info.value)


class Rehashed(str):
    """Equal to its text, with a hash of its own: a dict holds it beside the exact str of the same text."""

    def __eq__(self, other):
        return str.__eq__(self, other)

    def __hash__(self):
        return hash(str(self)) + 1


def test_two_keywords_of_one_text_are_multiple_values():
    kwargs = {"db_user": "A", Rehashed("db_user"): "B"}
    assert len(kwargs) == 2
    with pytest.raises(TypeError, match="multiple values"):
        python_twin(object(), **kwargs)
    with pytest.raises(TypeError) as info:
        DC.__init__(object(), **kwargs)
    assert str(info.value) == "__init__() got multiple values for keyword argument 'db_user'"


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="every str is ready from 3.12 on")
def test_a_str_not_yet_ready_is_read_by_its_characters(sqldb, create_agent, capsys):
    import ctypes
    import warnings

    api = ctypes.pythonapi
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.POINTER(ctypes.c_wchar)
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]

    def legacy(text):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            made = api.PyUnicode_FromUnicode(None, len(text))
            buffer = api.PyUnicode_AsUnicode(made)
        for i, c in enumerate(text):
            buffer[i] = c
        return made

    class Formats:  # f"{value}" calls __format__, which may hand back such a str
        def __init__(self, text):
            self.text = text

        def __format__(self, spec):
            return legacy(self.text)

    # credentials that are such strs themselves, and values that format to them
    assert DC(*[legacy(t) for t in ("us@r", "pw", "host:3306", "shop")]).connect()["message"] == "Connection successful"
    DC("us@r", Formats("pw"), Formats("host:3306"), Formats("shop")).connect()
    assert sqldb.uris == ["mysql+pymysql://us%40r:pw@host:3306/shop"] * 2

    class Agent:  # str() may hand back one too, before it is masked and printed
        def __str__(self):
            return legacy("agent(api_key='sk-1')")

    create_agent.result = Agent()
    nlsqlagent.AgentRunner(1, 2)
    assert capsys.readouterr().out == "Agent runner instance: agent(api_key='**********')\n"
