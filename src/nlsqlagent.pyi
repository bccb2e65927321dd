# Type information for the nlsqlagent extension module.
import os as os
from typing import Any, Dict, Optional, Union

import pymysql as pymysql
from langchain.agents import *
from langchain.agents import AgentExecutor as AgentExecutor
from langchain.agents.agent_types import AgentType as AgentType

# LangChain 0.3 serves these through its deprecated import paths; they are the objects below.
from langchain_community.agent_toolkits.sql.base import create_sql_agent as create_sql_agent
from langchain_community.agent_toolkits.sql.toolkit import SQLDatabaseToolkit as SQLDatabaseToolkit
from langchain_community.chat_models import ChatOpenAI as ChatOpenAI
from langchain_community.llms import OpenAI as OpenAI
from langchain_community.utilities import SQLDatabase as SQLDatabase
from sqlalchemy import create_engine as create_engine
from typing_extensions import TypedDict

__test__: Dict[str, Any]

class _ConnectionStatus(TypedDict):
    """The status record: whether a connection was made, and the last outcome's message."""

    connected: bool
    message: Optional[str]

class DatabaseConnector:
    """Keeps MySQL credentials and opens LangChain's SQLDatabase with them."""

    db_user: Any
    db_password: Any
    db_host: Any
    db_name: Any
    db: Any
    """The SQLDatabase of the last successful connect() or getdbinstance(), else None."""
    connection_status: _ConnectionStatus
    def __init__(
        self,
        db_user: Optional[object] = None,
        db_password: Optional[object] = None,
        db_host: Optional[object] = None,
        db_name: Optional[object] = None,
    ) -> None: ...
    def connect(self) -> _ConnectionStatus:
        """Opens the database; never raises for a missing credential or a failed connection."""
    def getdbinstance(self) -> Union[SQLDatabase, _ConnectionStatus, None]:
        """The SQLDatabase; the status record when a credential is missing (is None); the earlier `db` (None
        at first) when the connection fails, with the reason in connection_status["message"]."""

class AgentRunner:
    """Builds a LangChain SQL agent and puts questions to it."""

    llm: Any
    toolkit: Any
    verbose: Any
    agent_type: Any
    agent_runner: Any
    """The agent that create_sql_agent built, or None."""
    error: Optional[Exception]
    def __init__(
        self, llm: Any, toolkit: Any, verbose: bool = True, agent_type: AgentType = ...
    ) -> None: ...
    def run(self, query: Any) -> Any:
        """The agent's answer; None (after printing a notice) when there is no agent."""
