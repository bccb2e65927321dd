"""Ask a question in natural language of a sample MySQL database, through nlsqlagent.

Loads a small shop database (customers and orders) into the local MariaDB/MySQL server, gives the agent a
user that can only read it, and goes the way a user of the module does: DatabaseConnector, getdbinstance,
SQLDatabaseToolkit, AgentRunner, run. With OPENAI_API_KEY set (and OPENAI_BASE_URL for any OpenAI-compatible
server) a real model answers; without one, a scripted offline stand-in answers the sample questions.
"""
import argparse
import os
import secrets
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

SAMPLE_DATABASE = "nlsqlagent_sample"
CUSTOMERS = [(1, "Ada", "London"), (2, "Grace", "New York"), (3, "Linus", "Helsinki"), (4, "Barbara", "Boston")]
ORDERS = [(1, 1, "10.50"), (2, 1, "20.00"), (3, 2, "7.25"), (4, 3, "99.00"), (5, 3, "1.00"), (6, 4, "42.00"),
          (7, 1, "5.75")]


class UserError(Exception):
    """A problem the user can fix: reported in one line, with a non-zero exit."""


def parse_arguments(argv):
    env = os.environ.get
    p = argparse.ArgumentParser(prog="./ask", description=__doc__.split("\n\n")[0])
    p.add_argument("question", nargs="?", default="How many orders did each customer place?")
    p.add_argument("--host", default=env("NLSA_MYSQL_HOST", "127.0.0.1"), help="server host (NLSA_MYSQL_HOST)")
    p.add_argument("--port", type=int, default=int(env("NLSA_MYSQL_PORT", "3306")),
                   help="server port (NLSA_MYSQL_PORT)")
    p.add_argument("--admin-user", default=env("NLSA_MYSQL_ADMIN_USER", "root"),
                   help="account that loads the sample database (NLSA_MYSQL_ADMIN_USER)")
    p.add_argument("--admin-password", default=env("NLSA_MYSQL_ADMIN_PASSWORD", ""),
                   help="its password (NLSA_MYSQL_ADMIN_PASSWORD)")
    p.add_argument("--model", default=env("NLSA_OPENAI_MODEL", "gpt-4o-mini"), help="model name for a real model")
    p.add_argument("--private-server", action="store_true",
                   help="always start a throwaway MariaDB server instead of using the one at --host/--port")
    p.add_argument("--list", action="store_true", help="list the questions the offline stand-in knows")
    return p.parse_args(argv)


def server_answers(host, port):
    try:
        with socket.create_connection((host, port), timeout=2):
            return True
    except OSError:
        return False


class PrivateServer:
    """A throwaway MariaDB server with its own data directory and port, under a temporary folder."""

    def __init__(self):
        server = shutil.which("mariadbd") or "/usr/sbin/mariadbd"
        installer = shutil.which("mariadb-install-db") or "/usr/bin/mariadb-install-db"
        if not (os.path.exists(server) and os.path.exists(installer)):
            raise UserError("no MySQL server answers and the MariaDB server program is not installed "
                            "(apt-get install mariadb-server, or pass --host/--port)")
        self.folder = tempfile.mkdtemp(prefix="nlsqlagent-db-")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        data = os.path.join(self.folder, "data")
        user = ["--user=root"] if os.geteuid() == 0 else []
        subprocess.run([installer, "--no-defaults", "--datadir=" + data, "--auth-root-authentication-method=normal",
                        "--skip-test-db"] + user, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.process = subprocess.Popen(
            [server, "--no-defaults", "--datadir=" + data, "--port=%d" % self.port, "--bind-address=127.0.0.1",
             "--socket=" + os.path.join(self.folder, "mysqld.sock"), "--skip-log-error"] + user,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(120):
            if server_answers("127.0.0.1", self.port):
                return
            time.sleep(0.25)
        self.stop()
        raise UserError("the throwaway MariaDB server did not start")

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
        shutil.rmtree(self.folder, ignore_errors=True)


def load_sample(args, reader, password):
    """(Re)creates the sample database and a user that may only read it."""
    import pymysql
    try:
        conn = pymysql.connect(host=args.host, port=args.port, user=args.admin_user, password=args.admin_password,
                               autocommit=True, charset="latin1")
    except pymysql.err.OperationalError as exc:
        raise UserError("cannot load the sample database as %r: %s" % (args.admin_user, exc.args[-1]))
    with conn, conn.cursor() as cur:
        cur.execute("DROP DATABASE IF EXISTS `%s`" % SAMPLE_DATABASE)
        cur.execute("CREATE DATABASE `%s`" % SAMPLE_DATABASE)
        cur.execute("USE `%s`" % SAMPLE_DATABASE)
        cur.execute("CREATE TABLE customers (id INT PRIMARY KEY, name VARCHAR(40) NOT NULL, city VARCHAR(40))")
        cur.execute("CREATE TABLE orders (id INT PRIMARY KEY, customer_id INT NOT NULL, total DECIMAL(8,2),"
                    " FOREIGN KEY (customer_id) REFERENCES customers(id))")
        cur.executemany("INSERT INTO customers VALUES (%s, %s, %s)", CUSTOMERS)
        cur.executemany("INSERT INTO orders VALUES (%s, %s, %s)", ORDERS)
        cur.execute("DROP USER IF EXISTS %s@'%%'", (reader,))
        cur.execute("CREATE USER %s@'%%' IDENTIFIED BY %s", (reader, password))
        cur.execute("GRANT SELECT ON `%s`.* TO %%s@'%%%%'" % SAMPLE_DATABASE, (reader,))


def choose_model(args):
    import scripted_model
    if os.environ.get("OPENAI_API_KEY"):
        import nlsqlagent
        try:
            return nlsqlagent.ChatOpenAI(model=args.model, temperature=0,
                                         openai_api_base=os.environ.get("OPENAI_BASE_URL") or None), args.model
        except ImportError as exc:
            raise UserError("a real model needs the OpenAI client: pip install openai (%s)" % exc)
    if not scripted_model.knows(args.question):
        raise UserError("no language model is configured, and the offline stand-in only knows the sample questions "
                        "(./ask --list); set OPENAI_API_KEY (and OPENAI_BASE_URL for an OpenAI-compatible server) "
                        "to ask anything else")
    print("No OPENAI_API_KEY is set: a scripted offline stand-in plays the model. It knows a few sample questions;"
          " every figure in its answer comes from the real query result.\n")
    return scripted_model.ScriptedSQLModel(prompts=[]), "scripted stand-in"


def ask(args):
    import nlsqlagent
    model, model_name = choose_model(args)
    reader, password = "nlsqlagent_reader", "r@:/" + secrets.token_urlsafe(12)
    private = None
    if args.private_server or not server_answers(args.host, args.port):
        print("No MySQL server answers at %s:%d; starting a throwaway MariaDB server." % (args.host, args.port))
        private = PrivateServer()
        args.host, args.port, args.admin_user, args.admin_password = "127.0.0.1", private.port, "root", ""
    try:
        load_sample(args, reader, password)
        print("Sample database %r loaded at %s:%d; the agent connects as %r, which may only read it.\n"
              % (SAMPLE_DATABASE, args.host, args.port, reader))
        connector = nlsqlagent.DatabaseConnector(reader, password, "%s:%d" % (args.host, args.port), SAMPLE_DATABASE)
        db = connector.getdbinstance()
        if db is None or db is connector.connection_status:
            raise UserError("cannot open the sample database: %s" % connector.connection_status["message"])
        runner = nlsqlagent.AgentRunner(model, nlsqlagent.SQLDatabaseToolkit(db=db, llm=model))
        if runner.agent_runner is None:
            raise UserError("the agent could not be built: %s" % runner.error)
        print("\nQuestion (%s): %s" % (model_name, args.question))
        try:
            answer = runner.run(args.question)
        except Exception as exc:
            raise UserError("the agent failed: %s: %s" % (type(exc).__name__, exc))
        print("\nAnswer: %s" % answer)
    finally:
        if private:
            private.stop()


def main(argv=None):
    args = parse_arguments(argv)
    if args.list:
        import scripted_model
        print("\n".join(q.capitalize() + "?" for q in scripted_model.SAMPLE_QUESTIONS))
        return 0
    # LangChain installs its own filters for its notes about deprecated import paths, so silence the display.
    warnings.showwarning = lambda *args, **kwargs: None
    try:
        ask(args)
    except UserError as exc:
        print("ask: %s" % exc, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
