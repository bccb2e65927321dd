"""Calls of the classes enter their own __init__ directly only while it is theirs: every way a class, a subclass
or an instance can say otherwise gives what the reference source gives, during and after the change. A change
to the module's own classes stays (an assigned __init__ or __new__ leaves the generic slot behind, a deleted
one comes back last in the class dict), so those scenarios run in a child of their own."""
import sys

import pytest

from conftest import crash_free, reference

import nlsqlagent

CREDENTIALS = ("u", "p", "h", "n")


def outcome(call):
    """What a call gives: the instance's class name and attributes, or the exception's type and text."""
    try:
        obj = call()
    except Exception as e:  # noqa: BLE001  (compared, not handled)
        return type(e).__name__, str(e)
    return type(obj).__name__, sorted(vars(obj).items()) if hasattr(obj, "__dict__") else obj


def calls(cls):
    """The class called every way the interpreter and C callers reach it, warm and after the change."""
    return [outcome(lambda: cls()), outcome(lambda: cls(*CREDENTIALS)),
            outcome(lambda: cls(db_name="n", db_user="u")), outcome(lambda: type.__call__(cls, "u", db_host="h"))]


def patched(module, name, value, then):
    """`then()` with DatabaseConnector.<name> set to `value` (deleted when value is None), undone after."""
    cls = module.DatabaseConnector
    had = name in vars(cls)
    old = vars(cls).get(name)
    try:
        if value is None:
            delattr(cls, name)
        else:
            setattr(cls, name, value)
        return then()
    finally:
        if had:
            setattr(cls, name, old)
        elif name in vars(cls):
            delattr(cls, name)


def init_logged(self, *args, **kwargs):
    self.args = (args, sorted(kwargs.items()))


SCENARIOS = {
    "__init__ replaced": lambda m: patched(m, "__init__", init_logged, lambda: calls(m.DatabaseConnector)),
    "__init__ returns a value": lambda m: patched(m, "__init__", lambda self, *a, **k: 1,
                                                  lambda: calls(m.DatabaseConnector)),
    "__init__ deleted": lambda m: patched(m, "__init__", None, lambda: calls(m.DatabaseConnector)),
    "abstract": lambda m: patched(m, "__abstractmethods__", frozenset({"ask"}), lambda: calls(m.DatabaseConnector)),
    "unrelated class attribute": lambda m: patched(m, "extra", 1, lambda: calls(m.DatabaseConnector)),
    "data descriptor for a stored name": lambda m: patched(
        m, "db_host", property(lambda o: "read", lambda o, v: o.__dict__.__setitem__("seen", v)),
        lambda: calls(m.DatabaseConnector)),
}


def same_in_child(expression):
    """Whether `expression` (in terms of `t`, this file, and `m`, a module) is the same for the module and the
    reference source, evaluated in a fresh interpreter for each."""
    out = crash_free("""
        import contextlib, io
        from conftest import reference
        import nlsqlagent, test_class_call as t
        def run(m):
            with contextlib.redirect_stdout(io.StringIO()):
                return %s
        print(run(nlsqlagent) == run(reference))
    """ % expression)
    return out.split() == ["True"]


def changed_and_back(module, name):
    before = calls(module.DatabaseConnector)
    return before, SCENARIOS[name](module), calls(module.DatabaseConnector)


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_class_changes_take_the_generic_path_and_back(name):
    assert same_in_child("t.changed_and_back(m, %r)" % name)


# A class keeps the generic __new__ slot once __new__ was assigned, even after it is deleted again (the
# interpreter's own rule).
NEW_SCENARIOS = {
    "returns another object": "lambda cls, *a, **k: 42",
    "makes the instance itself": "lambda cls, *a, **k: object.__new__(cls)",
    "object's own": "object.__new__",
}


def new_outcomes(module, new):
    cls = module.DatabaseConnector
    warm = calls(cls)
    cls.__new__ = staticmethod(new) if new is not object.__new__ else new
    during = calls(cls)
    del cls.__new__
    return warm, during, calls(cls)


@pytest.mark.parametrize("name", sorted(NEW_SCENARIOS))
def test_new_assigned_on_the_class(name):
    assert same_in_child("t.new_outcomes(m, %s)" % NEW_SCENARIOS[name])


def subclass_outcomes(module):
    base = module.DatabaseConnector
    stores = []

    class OwnInit(base):
        def __init__(self, x):
            self.x = x

    class CallsSuper(base):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.extra = True

    class Logged(base):
        def __setattr__(self, name, value):
            stores.append(name)
            object.__setattr__(self, name, value)

    class Slotted(base):
        __slots__ = ("db_user",)

    class Plain(base):
        pass

    results = [calls(cls) for cls in (CallsSuper, Logged, Slotted, Plain)]
    results.append([outcome(lambda: OwnInit(1)), outcome(lambda: OwnInit(*CREDENTIALS))])
    Plain.__init__ = init_logged  # replaced on the subclass only
    results.append([calls(Plain), calls(base)])
    return results, stores


def test_subclasses_behave_as_the_reference():
    assert subclass_outcomes(nlsqlagent) == subclass_outcomes(reference)


def removing_init_while_it_runs(module):
    cls = module.AgentRunner
    init = cls.__init__
    agent = type("Agent", (), {"__str__": lambda self: "agent"})()

    def create_sql_agent(llm, toolkit, verbose, agent_type):
        del cls.__init__  # the running __init__ must stay alive until it returns
        return agent

    saved = module.create_sql_agent
    module.create_sql_agent = create_sql_agent
    try:
        first = outcome(lambda: cls(1, 2))
        second = outcome(lambda: cls(1, 2))  # object's own __init__ now
    finally:
        cls.__init__ = init
        module.create_sql_agent = saved
    return first[0], sorted(name for name, _ in first[1]), second


def test_init_removed_while_it_runs():
    assert same_in_child("t.removing_init_while_it_runs(m)")


def swapped_init(module):
    """An __init__ of the module's other class is a function of the module too, but not this class's own."""
    cls = module.DatabaseConnector
    init = cls.__init__
    cls.__init__ = module.AgentRunner.run
    try:
        # the binding texts are the module's own (test_binding.py); the kinds of failure are the same
        return outcome(lambda: cls("q")), [kind for kind, _ in calls(cls)]
    finally:
        cls.__init__ = init


def test_swapped_init_of_the_other_class():
    assert same_in_child("t.swapped_init(m)")


def release_scenario(module):
    """What making and releasing instances shows: the class's reference count as before, values released with
    the instance, a weak reference called back, instances made by object.__new__ and released after their class
    changed to a subclass and back."""
    import gc
    import weakref

    cls, seen = module.DatabaseConnector, []

    class Value:
        pass

    class Sub(cls):
        pass

    def released_value(make):
        value = Value()
        ref = weakref.ref(value)
        obj = make(value)
        del value
        alive = ref() is not None
        del obj
        return alive, ref() is None

    def changed(value, start, end):
        obj = start(value, "p", "h", "n")
        obj.__class__ = end
        return obj

    before = sys.getrefcount(cls)
    for _ in range(500):
        cls(*CREDENTIALS)
        object.__new__(cls)
    seen.append(sys.getrefcount(cls) - before)
    seen.append(released_value(lambda v: cls(v, "p", "h", "n")))
    seen.append(released_value(lambda v: changed(v, cls, Sub)))
    seen.append(released_value(lambda v: changed(v, Sub, cls)))
    obj = object.__new__(cls)
    ref = weakref.ref(obj, lambda r: seen.append(("called back", r() is None)))
    obj.__init__(*CREDENTIALS)
    del obj
    seen.append(ref() is None)
    gc.collect()
    return seen


def test_instances_are_made_and_released_as_the_class_says():
    assert release_scenario(nlsqlagent) == release_scenario(reference)


KEPT_SPECS = []  # a class made from a spec keeps pointers into it


def traced_per_instance_of_a_class_made_from_c(module):
    """Memory traced per instance of a class made from C (PyType_FromSpecWithBases) on DatabaseConnector, two
    pointers larger and with no allocation slot of its own: it takes the base's."""
    import ctypes
    import tracemalloc

    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]

    class Spec(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                    ("flags", ctypes.c_uint), ("slots", ctypes.POINTER(Slot))]

    base = module.DatabaseConnector
    slots = (Slot * 1)()
    spec = Spec(b"test_class_call.FromC", base.__basicsize__ + 2 * ctypes.sizeof(ctypes.c_void_p), 0, 1 << 18, slots)
    KEPT_SPECS.append((spec, slots))
    make = ctypes.pythonapi.PyType_FromSpecWithBases
    make.restype = ctypes.py_object
    make.argtypes = [ctypes.POINTER(Spec), ctypes.py_object]
    cls = make(ctypes.byref(spec), (base,))
    tracemalloc.start()
    try:
        kept = [object.__new__(cls) for _ in range(1000)]  # and whatever a first batch makes once
        before = tracemalloc.get_traced_memory()[0]
        kept += [object.__new__(cls) for _ in range(1000)]
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return len(kept), round((after - before) / 1000)


def test_a_class_made_from_c_gets_instances_of_its_own_size():
    traced_per_instance_of_a_class_made_from_c(reference)  # what the first measurement in a process makes once
    assert traced_per_instance_of_a_class_made_from_c(nlsqlagent) == \
        traced_per_instance_of_a_class_made_from_c(reference)


def youngest_generation(module):
    """What the collector's youngest generation shows while instances of DatabaseConnector are allocated (by
    object.__new__, kept alive): how much 400 of them add to its count under a threshold they do not reach, and
    how many collections 400 more start under a threshold of 9 (each allocation that counts past it starts one)."""
    import gc

    cls, kept, starts = module.DatabaseConnector, [], []

    def callback(phase, info):
        if phase == "start":
            starts.append(info["generation"])

    threshold = gc.get_threshold()
    gc.collect()
    gc.set_threshold(100000)
    try:
        before = gc.get_count()[0]
        for _ in range(400):
            kept.append(object.__new__(cls))
        added = gc.get_count()[0] - before
        gc.callbacks.append(callback)
        gc.set_threshold(9)
        for _ in range(400):
            kept.append(object.__new__(cls))
    finally:
        gc.set_threshold(*threshold)
        if callback in gc.callbacks:
            gc.callbacks.remove(callback)
    return added, len(starts)


def test_instances_count_in_the_youngest_generation_as_the_class_statement_makes_them():
    assert youngest_generation(nlsqlagent) == youngest_generation(reference)


def test_the_module_imports_with_the_gc_module_functions_replaced():
    """The allocation's check at initialisation asks the gc module's own functions: functions put in their place
    (one that raises, one that reports other figures) leave the module importable and its instances counted and
    collected as the reference's are."""
    out = crash_free("""
        import gc
        real = gc.get_count, gc.get_threshold
        gc.get_count, gc.get_threshold = (lambda: 1 / 0), (lambda: (3, 2, 1))
        import nlsqlagent
        gc.get_count, gc.get_threshold = real
        from conftest import reference
        import test_class_call as t
        print(t.youngest_generation(nlsqlagent) == t.youngest_generation(reference))
    """)
    assert out.split() == ["True"]
