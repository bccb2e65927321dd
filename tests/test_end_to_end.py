"""The whole road of a question: real MariaDB, real LangChain agent and tools, a scripted model."""

import pytest

import nlsqlagent
from conftest import load_demo, needs_real_stack

pytestmark = needs_real_stack

PASSWORD = "r3ad@only:pw"


@pytest.fixture
def runner_and_box(sandbox, capsys):
    ScriptedSQLModel = load_demo("scripted_model").ScriptedSQLModel
    user = sandbox.add_user(PASSWORD)
    db = nlsqlagent.DatabaseConnector(user, PASSWORD, sandbox.host(), sandbox.database).getdbinstance()
    model = ScriptedSQLModel(prompts=[])
    toolkit = nlsqlagent.SQLDatabaseToolkit(db=db, llm=model)
    runner = nlsqlagent.AgentRunner(model, toolkit)
    assert runner.error is None and type(runner.agent_runner).__name__ == "AgentExecutor"
    assert capsys.readouterr().out.startswith("Agent runner instance: ")
    return runner, model, sandbox


def test_answer_comes_from_the_database(runner_and_box):
    runner, model, box = runner_and_box
    count = box.query("SELECT COUNT(*) FROM orders")[0][0]
    assert runner.run("How many orders are there?") == "There are %d orders." % count
    # The agent went through the tools: the table list and the schema reached the model's prompt.
    assert "customers, orders" in model.prompts[-1] and "CREATE TABLE" in model.prompts[-1]
    box.query("INSERT INTO orders VALUES (6, 2, 3.5), (7, 2, 4)")
    assert runner.run("How many orders are there?") == "There are %d orders." % (count + 2)


def test_grouped_answer(runner_and_box):
    runner, _, box = runner_and_box
    rows = box.query("SELECT c.name, COUNT(o.id) FROM customers c LEFT JOIN orders o ON o.customer_id = c.id "
                     "GROUP BY c.name ORDER BY c.name")
    answer = runner.run("How many orders did each customer place?")
    assert answer == "Orders per customer: %s." % "; ".join("%s placed %d" % r for r in rows)


def test_model_failure_reaches_the_caller(runner_and_box):
    runner, _, _ = runner_and_box
    with pytest.raises(ValueError, match="has no script for 'What is the weather'"):
        runner.run("What is the weather")


def test_rejected_toolkit_is_reported(capsys):
    ScriptedSQLModel = load_demo("scripted_model").ScriptedSQLModel
    runner = nlsqlagent.AgentRunner(ScriptedSQLModel(prompts=[]), None)
    assert runner.agent_runner is None and isinstance(runner.error, ValueError)
    assert capsys.readouterr().out == "Error occurred: %s\n" % runner.error
    assert runner.run("How many orders are there?") is None
    assert capsys.readouterr().out == "Agent runner is not initialized.\n"
