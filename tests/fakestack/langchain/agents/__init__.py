from langchain.agents.agent_types import AgentType

calls = []


class AgentExecutor:
    def __init__(self, answer="answer"):
        self.answer = answer
        self.queries = []

    def run(self, query):
        self.queries.append(query)
        return self.answer


def create_sql_agent(*args, **kwargs):
    calls.append((args, kwargs))
    return AgentExecutor()


def initialize_agent(*args, **kwargs):
    raise NotImplementedError


__all__ = ["AgentExecutor", "AgentType", "create_sql_agent", "initialize_agent"]
