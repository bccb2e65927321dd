"""An offline stand-in for a language model: it speaks the SQL agent's text protocol for a few known
questions. It looks at the tables and their schema through the agent's tools, sends its SQL through the
query tool, and builds every figure of its final answer from the query result that the agent put into its
prompt, so the answer comes from the database, not from this script."""
import ast
import re
from typing import Any, List, Optional

from langchain_core.language_models.llms import LLM


def normalise(question: str) -> str:
    return " ".join(re.sub(r"[^a-z0-9 ]", " ", question.lower()).split())


def rows_of(observation: str) -> list:
    """The rows that the query tool printed, e.g. "[('Ada', 2), ('Grace', Decimal('7.25'))]"."""
    text = re.sub(r"Decimal\('([^']*)'\)", r"'\1'", observation.strip())
    return list(ast.literal_eval(text)) if text else []


def per_customer(rows):
    return "; ".join("%s placed %s" % (name, count) for name, count in rows)


# question (normalised) -> (SQL, answer built from the rows)
SAMPLE_QUESTIONS = {
    "how many orders are there": (
        "SELECT COUNT(*) FROM orders",
        lambda rows: "There are %s orders." % rows[0][0]),
    "how many customers are there": (
        "SELECT COUNT(*) FROM customers",
        lambda rows: "There are %s customers." % rows[0][0]),
    "how many orders did each customer place": (
        "SELECT c.name, COUNT(o.id) FROM customers c LEFT JOIN orders o ON o.customer_id = c.id "
        "GROUP BY c.id, c.name ORDER BY c.name",
        lambda rows: "Orders per customer: %s." % per_customer(rows)),
    "which customer spent the most": (
        "SELECT c.name, SUM(o.total) AS spent FROM customers c JOIN orders o ON o.customer_id = c.id "
        "GROUP BY c.id, c.name ORDER BY spent DESC LIMIT 1",
        lambda rows: "%s spent the most: %s in all." % (rows[0][0], rows[0][1])),
}


def knows(question: str) -> bool:
    return normalise(question) in SAMPLE_QUESTIONS


def progress(prompt: str):
    """(the question, the observations so far) of an agent prompt."""
    # The format instructions also show a "Question:" line; the real question is the last one.
    head, _, tail = prompt.rpartition("\nQuestion: ")
    if not head:
        raise ValueError("the scripted model got a prompt without a question")
    question, _, scratchpad = tail.partition("\n")
    return question, re.findall(r"Observation: (.*?)(?=\nThought:|\Z)", scratchpad, re.S)


class ScriptedSQLModel(LLM):
    """Answers the sample questions in four steps: list tables, read the schema, query, answer."""

    prompts: List[str] = []

    @property
    def _llm_type(self) -> str:
        return "scripted-sql"

    def _call(self, prompt: str, stop: Optional[List[str]] = None, run_manager: Any = None, **kwargs: Any) -> str:
        self.prompts.append(prompt)
        question, observations = progress(prompt)
        entry = SAMPLE_QUESTIONS.get(normalise(question))
        if entry is None:
            raise ValueError("the scripted model has no script for %r; configure a real model" % question)
        sql, answer = entry
        step = len(observations)
        if step == 0:
            return ("I should look at the tables in the database.\n"
                    "Action: sql_db_list_tables\nAction Input: ")
        if step == 1:
            return ("I should read the schema of the tables.\n"
                    "Action: sql_db_schema\nAction Input: %s" % observations[0].strip())
        if step == 2:
            return "I can now query the database.\nAction: sql_db_query\nAction Input: %s" % sql
        result = observations[2].strip()
        if result.startswith("Error:"):
            return "The query failed.\nFinal Answer: I cannot answer: my query failed (%s)." % (
                result.splitlines()[0])
        return "I now know the final answer.\nFinal Answer: %s" % answer(rows_of(result))
