"""What ./ask watches while the agent runs, through LangChain callbacks: the SQL that the agent's tools run
(and which of it failed), and how long each reply of the model takes."""
import signal
from typing import Any, Callable, List, Optional, Tuple

from langchain_core.callbacks import BaseCallbackHandler

ERROR_PREFIX = "Error: "  # how LangChain's query tool hands a failed query to the agent


class SQLWatch(BaseCallbackHandler):
    """Attached to the agent's SQL tools: keeps each query of the query tool with its outcome, and hands every
    failure to `on_failure(text)`, which may raise to stop the agent (a bounded wait that ran out)."""

    def __init__(self, on_failure: Callable[[str], None]) -> None:
        self.on_failure = on_failure
        self.queries: List[Tuple[str, Optional[str]]] = []  # (SQL, None or the error text)
        self._started = {}  # run id -> (tool name, input)

    def on_tool_start(self, serialized: Any, input_str: str, *, run_id: Any = None, **kwargs: Any) -> None:
        self._started[run_id] = ((serialized or {}).get("name") or kwargs.get("name"), input_str)

    def on_tool_end(self, output: Any, *, run_id: Any = None, **kwargs: Any) -> None:
        name, sql = self._started.pop(run_id, (None, ""))
        text = output if isinstance(output, str) else str(getattr(output, "content", output))
        error = text[len(ERROR_PREFIX):] if text.startswith(ERROR_PREFIX) else None
        if name == "sql_db_query":
            self.queries.append((sql, error))
        if error is not None:
            self.on_failure(error)

    def on_tool_error(self, error: BaseException, *, run_id: Any = None, **kwargs: Any) -> None:
        name, sql = self._started.pop(run_id, (None, ""))
        if name == "sql_db_query":
            self.queries.append((sql, str(error)))
        self.on_failure(str(error))


def watch_sql(agent_executor: Any, on_failure: Callable[[str], None]) -> SQLWatch:
    """Puts a SQLWatch on every tool of the agent that talks to the database."""
    watch = SQLWatch(on_failure)
    for tool in agent_executor.tools:
        if tool.name.startswith("sql_db_") and tool.name != "sql_db_query_checker":
            tool.callbacks = list(tool.callbacks or []) + [watch]
    return watch


class ReplyDeadline(BaseCallbackHandler):
    """Attached to the model: an alarm for each reply, `seconds` from its start, that raises `exception` (in the
    main thread, wherever the client is waiting); the reply's end or failure cancels it."""

    def __init__(self, seconds: float, exception: Callable[[], BaseException]) -> None:
        self.seconds = seconds
        self.exception = exception

    def _ring(self, signum: int, frame: Any) -> None:
        raise self.exception()

    def _arm(self, *args: Any, **kwargs: Any) -> None:
        signal.signal(signal.SIGALRM, self._ring)
        signal.setitimer(signal.ITIMER_REAL, self.seconds)

    def _disarm(self, *args: Any, **kwargs: Any) -> None:
        signal.setitimer(signal.ITIMER_REAL, 0)

    on_llm_start = on_chat_model_start = _arm
    on_llm_end = on_llm_error = _disarm
