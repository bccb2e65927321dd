"""What ./ask watches while the agent runs, through LangChain callbacks: how long each reply of the model
takes."""
import signal
from typing import Any, Callable

from langchain_core.callbacks import BaseCallbackHandler


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
