"""Caches whose check must cover what they rely on: attribute caches against class changes, and the defaults
attributes built on first read."""
import pytest

from conftest import crash_free, reference

import nlsqlagent


def descriptor_scenario(module, change):
    log = []

    class Descriptor:
        def __get__(self, obj, owner):
            return "descriptor"

    class Base(module.DatabaseConnector):
        pass

    class Sub(Base):
        db_host = Descriptor()

    Sub("u", "p", "h1", "n"), Sub("u", "p", "h2", "n")
    change(Descriptor, Base, Sub, log)
    s = Sub("u", "p", "h3", "n")
    def describe(value):
        return value if isinstance(value, str) else type(value).__name__

    return log, describe(s.db_host), describe(s.db_name), sorted(vars(s))


def record(log):
    return lambda self, obj, value: log.append(value)


CHANGES = {
    "descriptor gains __set__": lambda D, B, S, log: setattr(D, "__set__", record(log)),
    "descriptor loses __get__, gains __set__": lambda D, B, S, log: (delattr(D, "__get__"),
                                                                     setattr(D, "__set__", record(log))),
    "base gains a property": lambda D, B, S, log: setattr(B, "db_name", property(lambda o: "p",
                                                                                 lambda o, v: log.append(v))),
    "subclass drops the descriptor": lambda D, B, S, log: delattr(S, "db_host"),
}


@pytest.mark.parametrize("change", sorted(CHANGES))
def test_attribute_caches_follow_class_changes(change):
    assert descriptor_scenario(nlsqlagent, CHANGES[change]) == descriptor_scenario(reference, CHANGES[change])


def test_writing_one_defaults_attribute_keeps_the_other():
    out = crash_free("""
        import warnings, nlsqlagent
        warnings.simplefilter("ignore")
        f = nlsqlagent.AgentRunner.__init__
        f.__kwdefaults__ = None
        print(f.__defaults__ == (True, nlsqlagent.AgentType.ZERO_SHOT_REACT_DESCRIPTION))
        g = nlsqlagent.DatabaseConnector.__init__
        del g.__kwdefaults__
        print(g.__defaults__)
        import inspect
        print(inspect.signature(f))
    """)
    lines = out.splitlines()
    assert lines[:2] == ["True", "(None, None, None, None)"]
    assert "verbose=True" in lines[2] and "agent_type=" in lines[2]


def test_writing_defaults_before_any_read():
    # __defaults__ of AgentRunner.__init__ is built on its first read; a write that comes first must replace
    # what a read would have built, keep __kwdefaults__ as it would read, and leave the call's own defaults.
    out = crash_free("""
        import warnings, nlsqlagent
        warnings.simplefilter("ignore")
        f = nlsqlagent.AgentRunner.__init__
        f.__defaults__ = (1, 2)
        print(f.__defaults__, f.__kwdefaults__)
        nlsqlagent.create_sql_agent = lambda **kw: None
        runner = nlsqlagent.AgentRunner("m", "t")
        print(runner.verbose, runner.agent_type is nlsqlagent.AgentType.ZERO_SHOT_REACT_DESCRIPTION)
    """)
    assert out.splitlines()[0] == "(1, 2) None" and out.splitlines()[-1] == "True True", out


def method_scenario(module):
    """What AgentRunner.run answers while the agent's class, its bases and the agent itself change between
    calls; every change comes after the calls before it have filled any cache."""
    answers = []
    runner = module.AgentRunner.__new__(module.AgentRunner)

    def ask(agent):
        runner.agent_runner = agent
        try:
            answers.append(runner.run("q"))
        except Exception as e:
            answers.append("%s: %s" % (type(e).__name__, e))

    class Agent:
        def run(self, q):
            return "class " + q

    class Other:
        def run(self, q):
            return "other " + q

    class Sub(Agent):
        pass

    a, b = Agent(), Agent()
    ask(a), ask(a), ask(Other()), ask(a)
    a.run = lambda q: "instance " + q  # the instance's own attribute comes before the class's function
    ask(a), ask(b)
    del a.run  # the name stays in the class's shared keys, without a value in this instance
    ask(a)
    Agent.run = lambda self, q: "replaced " + q  # the function the cache found is freed here
    ask(a), ask(b), ask(Sub())
    Sub.run = staticmethod(lambda q: "static " + q)
    ask(Sub())
    Sub.__bases__ = (Other,)  # a new MRO
    del Sub.run
    ask(Sub())
    vars(b)["run"] = lambda q: "dict " + q  # a materialised instance dict
    ask(b), ask(a)
    del Agent.run
    ask(a), ask(b)

    class Hooked(Other):
        def __getattribute__(self, name):
            return lambda q: "hooked " + q if name == "run" else object.__getattribute__(self, name)

    ask(Hooked()), ask(Other())
    return answers


def test_the_method_call_follows_the_agent_and_its_class():
    assert method_scenario(nlsqlagent) == method_scenario(reference)
