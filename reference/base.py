from langchain.agents import create_sql_agent
from langchain.agents.agent_toolkits import SQLDatabaseToolkit
from langchain.sql_database import SQLDatabase
from langchain.llms.openai import OpenAI
from langchain.agents import AgentExecutor
from langchain.agents.agent_types import AgentType
from langchain.chat_models import ChatOpenAI
from sqlalchemy import create_engine
import os
from langchain.agents import *
from langchain.llms import OpenAI
from langchain.sql_database import SQLDatabase
import pymysql

class DatabaseConnector:
    def __init__(self, db_user=None, db_password=None, db_host=None, db_name=None):
        self.db_user = db_user
        self.db_password = db_password
        self.db_host = db_host
        self.db_name = db_name
        self.db = None
        self.connection_status = {"connected": False, "message": None}

    def connect(self):
        if None == self.db_user or None == self.db_password or None == self.db_host or None == self.db_name:
            self.connection_status["message"] = "All database credentials must be provided"
            return self.connection_status
        try:
            self.db = SQLDatabase.from_uri(connection_uri(self))
            self.connection_status["connected"] = True
            self.connection_status["message"] = "Connection successful"
        except Exception as e:
            self.connection_status["message"] = masked(str(e))
        return self.connection_status

    def getdbinstance(self):
        if None == self.db_user or None == self.db_password or None == self.db_host or None == self.db_name:
            self.connection_status["message"] = "All database credentials must be provided"
            return self.connection_status
        try:
            self.db = SQLDatabase.from_uri(connection_uri(self))
        except Exception as e:
            self.connection_status["message"] = masked(str(e))
        return self.db


class AgentRunner:
    def __init__(self, llm, toolkit, verbose=True, agent_type=AgentType.ZERO_SHOT_REACT_DESCRIPTION):
        self.llm = llm
        self.toolkit = toolkit
        self.verbose = verbose
        self.agent_type = agent_type
        self.agent_runner = None
        self.error = None
        try:
            self.agent_runner = create_sql_agent(llm=self.llm, toolkit=self.toolkit, verbose=self.verbose, agent_type=self.agent_type)
            if self.agent_runner is None:
                print("Error occurred during initialization.")
            else:
                print("Agent runner instance:", masked(str(self.agent_runner)))
        except Exception as e:
            self.error = e
            print("Error occurred:", masked(str(e)))

    def run(self, query):
        if self.agent_runner:
            return self.agent_runner.run(query)
        else:
            print("Agent runner is not initialized.")


__test__ = {}


# What the compiled module nlsqlagent does, as plain Python: statement by statement, each on the line that
# the module's traceback entries ("nlsqlagent/base") name. It is not installed. The tests use it as their
# oracle (the same calls must give the same results, printed lines, exceptions and traceback lines), and the
# benchmark as the plain-Python yardstick. Everything below line 72 is a helper of the statements above.

from urllib.parse import quote  # noqa: E402
import re  # noqa: E402


def connection_uri(self):
    """The connection URI, each credential read again; user and password percent-encoded (UTF-8)."""
    user = quote(f"{self.db_user}", safe="")
    password = quote(f"{self.db_password}", safe="")
    return f"mysql+pymysql://{user}:{password}@{self.db_host}/{self.db_name}"


def _any_case(word):
    return "".join("[%s%s]" % (c.upper(), c.lower()) for c in word)


_NAME = r"[A-Za-z0-9_.\- ]"  # the characters of a field's or a dict key's name
_WORD = r"(?:%s)" % "|".join(
    _any_case(w) for w in ("key", "token", "secret", "secrets", "password", "passwd", "credential", "credentials"))
_QUOTED = r"""'(?:[^'\\]|\\.)*(?:'|\\?\Z)|"(?:[^"\\]|\\.)*(?:"|\\?\Z)"""
_VALUE = r"SecretStr\((?:%s)\)|b?(?:%s)" % (_QUOTED, _QUOTED)
_SCHEME = r"(?:%s) +" % "|".join(_any_case(w) for w in ("bearer", "basic", "token"))
_DIGEST = _any_case("digest") + r" +"
_TOKEN = r"[A-Za-z0-9\-._~+/=]+"
_PARAM = r"[A-Za-z0-9_\-]+="
_SECRETS = re.compile(
    r"(?<!%s)%s*%s=(?P<field>%s)" % (_NAME, _NAME, _WORD, _VALUE)
    + r"""|(?P<q>['"])%s*%s(?P=q)[ \t]*:[ \t]*(?P<item>%s)""" % (_NAME, _WORD, _VALUE)
    + r"""|(?P<aq>['"])%s(?P<scheme>%s)(?=(?P=aq)|\Z)""" % (_SCHEME, _TOKEN)
    + r"""|'%s(?P<digest1>%s(?:[^'\\]|\\.)*\\?)""" % (_DIGEST, _PARAM)
    + r"""|"%s(?P<digest2>%s(?:[^"\\]|\\.)*\\?)""" % (_DIGEST, _PARAM)
    + r"|%s:[ \t]*(?:%s(?P<header>%s)|%s(?P<hdigest>%s[^\r\n]*))" % (
        _any_case("authorization"), _SCHEME, _TOKEN, _DIGEST, _PARAM)
    + r"""|[?&][A-Za-z0-9_.\-]*%s=(?P<query>[^&#\s'"<>]+)""" % _WORD
    + r"""|(?<=[A-Za-z0-9+.\-])://[^:@/\s'"?#<>]*:(?P<password>[^/\s'"?#<>]*)@""",
    re.S)
_MASKS = [("field", "'**********'"), ("item", "'**********'")] + [
    (group, "**********") for group in ("scheme", "digest1", "digest2", "header", "hdigest", "query", "password")]


def _mask(match):
    for group, mask in _MASKS:
        if match.start(group) >= 0:
            text = match.group(0)
            start, end = match.start(group) - match.start(), match.end(group) - match.start()
            return text[:start] + mask + text[end:]
    raise AssertionError("no group matched")


def masked(text):
    """`text` (from str()) with every secret masked: the value of a field or dict item whose name ends with key,
    token, secret(s), password, passwd or credential(s); the credentials after an authorization scheme (Bearer,
    Basic, Token, Digest) that opens a quoted value or follows "Authorization:"; the value of a query parameter
    whose name ends with one of those words; and the password of a scheme://user:password@ URI."""
    return _SECRETS.sub(_mask, str.__str__(text))
