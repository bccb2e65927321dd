"""Test doubles shared by the suite, the sweeps (tests/sweep.py) and the fuzzing: what the module calls
(SQLDatabase.from_uri, create_sql_agent, the agent) and where it prints."""


class Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


class Database:
    pass


DATABASE = Database()


class GoodSQLDatabase:
    @classmethod
    def from_uri(cls, uri):
        return DATABASE


class FailingSQLDatabase:
    @classmethod
    def from_uri(cls, uri):
        raise ValueError("server refused the connection")


class InterruptedSQLDatabase:
    @classmethod
    def from_uri(cls, uri):
        raise KeyboardInterrupt


class Agent:
    def run(self, query):
        return ("answer", query)

    def __str__(self):
        return "agent"


class FailingAgent:
    def run(self, query):
        raise LookupError("model down")


class UnprintableAgent:
    def __str__(self):
        raise ValueError("no text")


AGENT = Agent()


def create_ok(**kw):
    return AGENT


def create_none(**kw):
    return None


def create_fails(**kw):
    raise ValueError("bad toolkit")


def create_interrupted(**kw):
    raise KeyboardInterrupt


def create_unprintable(**kw):
    return UnprintableAgent()



class RecordingSQLDatabase:
    """A from_uri that records each URI and returns a new object, or raises what it is told to."""

    def __init__(self):
        self.uris = []
        self.raise_next = None

    def from_uri(self, uri):
        self.uris.append(uri)
        if self.raise_next is not None:
            exc, self.raise_next = self.raise_next, None
            raise exc
        return object()


class RecordingAgent:
    def __init__(self, answer=None):
        self.answer = answer if answer is not None else object()
        self.calls = []

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.answer


class RecordingCreateSqlAgent:
    def __init__(self):
        self.calls = []
        self.result = RecordingAgent()
        self.raise_next = None

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.raise_next is not None:
            raise self.raise_next
        return self.result
