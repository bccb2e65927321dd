"""Ask a question in natural language of a sample MySQL database, through nlsqlagent.

Loads a small shop database (customers and orders) into a MySQL/MariaDB server, gives the agent a user that
can only read it, and goes the way a user of the module does: DatabaseConnector, getdbinstance,
SQLDatabaseToolkit, AgentRunner, run. With OPENAI_API_KEY set a real model answers (OPENAI_BASE_URL names any
OpenAI-compatible server); without one, a scripted offline stand-in answers the sample questions.
"""
import argparse
import contextlib
import fcntl
import io
import json
import os
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

SAMPLE_DATABASE = "nlsqlagent_sample"
READER_PREFIX = "nlsqlagent_r_"  # + 10 hex digits: one read-only account per state folder (MySQL allows 32)
CUSTOMERS = [(1, "Ada", "London"), (2, "Grace", "New York"), (3, "Linus", "Helsinki"), (4, "Barbara", "Boston")]
ORDERS = [(1, 1, "10.50"), (2, 1, "20.00"), (3, 2, "7.25"), (4, 3, "99.00"), (5, 3, "1.00"), (6, 4, "42.00"),
          (7, 1, "5.75")]
DEFAULT_QUESTION = "How many orders did each customer place?"
DEFAULT_HOST, DEFAULT_PORT = "127.0.0.1", 3306
STATE = os.environ.get("NLSA_ASK_STATE") or os.path.join(ROOT, ".venv", "ask-state")
ITERATION_LIMIT_ANSWER = "Agent stopped due to iteration limit or time limit."
DEFAULT_DB_TIMEOUT = 15
QUESTION_ECHO = 200  # characters of the question that ./ask echoes back
SQL_LINE = 100  # characters of each query in the list under the answer

EXIT_CODES = """exit codes:
  0    the question was answered
  2    the question could not be asked: a bad option, an empty question, a host name that does not
       resolve, no database server at the host/port named, the sample database could not be loaded
  3    the model failed: its server did not answer (in time), answered an HTTP error or something that is
       not JSON, replied outside the agent's format, or never gave a final answer (iteration or time limit)
  4    the database failed during the question: a query waited longer than --db-timeout for a lock that
       another session holds, ran past the statement limit, or the server stopped answering; or a tool of
       the agent met a database error it does not hand to the model
  130  interrupted

An answer (exit 0) is followed by the SQL the agent ran, one line per query; when the last of them failed
(or none ran), a warning says that the answer does not rest on a query result."""

ENVIRONMENT = """environment:
  OPENAI_API_KEY             use a real model with this key (never printed)
  OPENAI_BASE_URL            an OpenAI-compatible server, e.g. http://127.0.0.1:8000/v1 (default: OpenAI's)
  NLSA_OPENAI_MODEL          model name (default gpt-4o-mini), as --model
  NLSA_OPENAI_TIMEOUT        the longest wait, in seconds, for each reply of the model server, all told
                             (default 60); ./ask does not retry a request. A question takes several replies.
  NLSA_MYSQL_HOST, NLSA_MYSQL_PORT                      as --host, --port
  NLSA_MYSQL_ADMIN_USER, NLSA_MYSQL_ADMIN_PASSWORD      as --admin-user, --admin-password
  NLSA_MYSQL_TIMEOUT         as --db-timeout
  NLSA_ASK_STATE             folder for the reader account and the run log (default .venv/ask-state)"""


class UserError(Exception):
    """The question could not be asked: one line, exit 2."""


class ModelError(Exception):
    """The model failed: one line, exit 3."""


class DatabaseFailure(BaseException):
    """The database failed during the question (a bounded wait ran out): one line, exit 4. A BaseException, so
    that raised from a callback it stops the agent at once, past the handlers that catch Exception."""


class ModelTimeout(BaseException):
    """A reply of the model took longer than NLSA_OPENAI_TIMEOUT (raised by the alarm, past the client's own
    handlers of Exception, which would turn it into a retry or a connection error)."""


def parse_arguments(argv):
    env = os.environ.get
    p = argparse.ArgumentParser(
        prog="./ask", description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="default question: %s\n\nThe module's printed lines and LangChain's trace of the agent's steps go "
               "to\n%s (--verbose shows them here instead).\n\n%s\n\n%s" % (
                   DEFAULT_QUESTION, os.path.join(STATE, "last-run.log"), ENVIRONMENT, EXIT_CODES))
    p.add_argument("question", nargs="?", default=DEFAULT_QUESTION,
                   help="the question in natural language (default below); ./ask --list shows the ones the "
                        "offline stand-in knows")
    p.add_argument("--host", default=env("NLSA_MYSQL_HOST"),
                   help="MySQL/MariaDB server host (default %s; when no server answers there and none was named, "
                        "a throwaway MariaDB server is started)" % DEFAULT_HOST)
    p.add_argument("--port", type=int, default=int(env("NLSA_MYSQL_PORT")) if env("NLSA_MYSQL_PORT") else None,
                   help="server port (default %d)" % DEFAULT_PORT)
    p.add_argument("--admin-user", default=env("NLSA_MYSQL_ADMIN_USER", "root"),
                   help="account that loads the sample database (default root)")
    p.add_argument("--admin-password", default=env("NLSA_MYSQL_ADMIN_PASSWORD", ""), help="its password")
    p.add_argument("--db-timeout", type=positive_number, metavar="SECONDS",
                   default=env("NLSA_MYSQL_TIMEOUT") or str(DEFAULT_DB_TIMEOUT),
                   help="the longest a query of ./ask waits for a lock that another session holds (default %d); "
                        "a statement may run 2 x SECONDS in all, and a server silent for 2 x SECONDS + 5 is "
                        "given up (exit 4)" % DEFAULT_DB_TIMEOUT)
    p.add_argument("--model", default=env("NLSA_OPENAI_MODEL", "gpt-4o-mini"),
                   help="model name for a real model (default gpt-4o-mini)")
    p.add_argument("--private-server", action="store_true",
                   help="start a throwaway MariaDB server instead of using the one at --host/--port")
    p.add_argument("--verbose", action="store_true",
                   help="show the module's printed lines and the agent's trace (coloured on a terminal)")
    p.add_argument("--list", action="store_true", help="list the questions the offline stand-in knows")
    args = p.parse_args(argv)
    args.named_server = args.host is not None or args.port is not None
    args.host = args.host or DEFAULT_HOST
    args.port = args.port or DEFAULT_PORT
    if not args.list and not args.question.strip():
        p.error("the question is empty")
    return args


def positive_number(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number of seconds: %r" % text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more: %r" % text)
    return value


def shortened(text, limit):
    """`text` on one line, cut to `limit` characters with a note of the full length."""
    text = " ".join(text.split())
    if len(text) <= limit:
        return text
    return "%s... (%d characters)" % (text[:limit - 20].rstrip(), len(text))


def resolves(host):
    try:
        socket.getaddrinfo(host, None)
        return True
    except socket.gaierror:
        return False


def server_answers(host, port):
    try:
        with socket.create_connection((host, port), timeout=3):
            return True
    except OSError:
        return False


@contextlib.contextmanager
def locked(name):
    """An exclusive lock shared by every ./ask of this checkout, for set-up steps that share state."""
    os.makedirs(STATE, mode=0o700, exist_ok=True)
    with open(os.path.join(STATE, name + ".lock"), "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield


class PrivateServer:
    """A throwaway MariaDB server with its own data directory and port, under a temporary folder."""

    def __init__(self):
        server = shutil.which("mariadbd") or "/usr/sbin/mariadbd"
        installer = shutil.which("mariadb-install-db") or "/usr/bin/mariadb-install-db"
        if not (os.path.exists(server) and os.path.exists(installer)):
            raise UserError("the MariaDB server program is not installed (apt-get install mariadb-server), so no "
                            "throwaway server can start; name a server with --host/--port")
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


def reader_account(private):
    """The read-only account (user, password) of this state folder: made on the first run, kept in
    reader-account (mode 600) and never changed under a running question. Each state folder (each checkout)
    has an account of its own, so checkouts that share a server do not reset each other's password. A
    throwaway server gets an account that is not kept."""
    made = (READER_PREFIX + secrets.token_hex(5), "r@:/" + secrets.token_urlsafe(12))
    if private:
        return made
    path = os.path.join(STATE, "reader-account")
    try:
        with open(path) as f:
            user, password = f.read().split("\n")[:2]
        return user, password
    except FileNotFoundError:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write("%s\n%s\n" % made)
        return made


def session_limits(args, mariadb, lock_wait=None):
    """The statement that bounds a session's waits: for a lock another session holds (--db-timeout) and for a
    whole statement (twice that; MariaDB's max_statement_time in seconds, MySQL's max_execution_time in ms)."""
    lock_wait = lock_wait or args.db_timeout
    statement = ("max_statement_time=%d" % (2 * args.db_timeout) if mariadb
                 else "max_execution_time=%d" % (2000 * args.db_timeout))
    return "SET SESSION lock_wait_timeout=%d, innodb_lock_wait_timeout=%d, %s" % (lock_wait, lock_wait, statement)


def driver_options(args, mariadb):
    """PyMySQL's options for a bounded session: a driver read timeout past the server's own limits."""
    return dict(connect_timeout=10, read_timeout=2 * args.db_timeout + 5, init_command=session_limits(args, mariadb))


def database_with_limits(args, mariadb):
    """The database name with URI options that the module passes on to the driver: the same bounds as
    driver_options, for the agent's sessions."""
    return SAMPLE_DATABASE + "?" + urllib.parse.urlencode(driver_options(args, mariadb))


MYSQL_ERROR = re.compile(r"""\((\d{4}), ["'](.*?)["']\)""", re.S)


def mysql_error(text):
    """(code, message) of the MySQL error in an error text, e.g. "(1205, 'Lock wait timeout exceeded; ...')"."""
    match = MYSQL_ERROR.search(text)
    return (int(match.group(1)), match.group(2)) if match else None


def bounded_wait_ran_out(args, text):
    """What ran out, in words, when `text` carries an error of a bounded wait (else None)."""
    error = mysql_error(text)
    code = error[0] if error else None
    if code == 1205:
        return "waited %d s for a lock that another session holds (lock_wait_timeout)" % args.db_timeout
    if code in (1969, 3024):
        return "ran past the statement limit of %d s" % (2 * args.db_timeout)
    if code == 2013:
        return "lost the server, which said nothing for %d s or closed the connection" % (2 * args.db_timeout + 5)
    return None


def load_sample(args, user, password):
    """Makes the sample database and the read-only account, unless they are already there as they should be.
    Returns whether the server is MariaDB. A lock on the server (GET_LOCK) keeps ./ask runs of other checkouts
    from loading at the same time."""
    import pymysql
    admin = dict(host=args.host, port=args.port, user=args.admin_user, password=args.admin_password,
                 autocommit=True, charset="latin1")
    try:
        conn = pymysql.connect(connect_timeout=10, read_timeout=2 * args.db_timeout + 5, **admin)
    except pymysql.err.OperationalError as exc:
        raise UserError("cannot load the sample database as %r at %s:%d: %s"
                        % (args.admin_user, args.host, args.port, exc.args[-1]))
    try:
        with conn, conn.cursor() as cur:
            cur.execute("SELECT VERSION()")
            mariadb = "mariadb" in cur.fetchone()[0].lower()
            cur.execute("SELECT GET_LOCK('nlsqlagent_sample_setup', %s)", (args.db_timeout,))
            if cur.fetchone()[0] != 1:
                raise DatabaseFailure("the database did not answer in time: another ./ask has been loading the "
                                      "sample database for %d s; --db-timeout sets the bound" % args.db_timeout)
            fill_sample(args, cur, mariadb, user, password)
    except pymysql.err.MySQLError as exc:
        ran_out = bounded_wait_ran_out(args, str(exc))
        if ran_out:
            raise DatabaseFailure("the database did not answer in time: loading the sample database "
                                  "%s; --db-timeout sets the bound" % ran_out)
        raise UserError("cannot load the sample database as %r at %s:%d: %s"
                        % (args.admin_user, args.host, args.port, exc.args[-1]))
    # An account left by an older run of this state folder gets its password again, which then stays.
    try:
        pymysql.connect(user=user, password=password, database=SAMPLE_DATABASE, connect_timeout=10,
                        **{k: v for k, v in admin.items() if k not in ("user", "password")}).close()
    except pymysql.err.OperationalError:
        with pymysql.connect(connect_timeout=10, **admin) as conn, conn.cursor() as cur:
            cur.execute("ALTER USER %s@'%%' IDENTIFIED BY %s", (user, password))
    return mariadb


def fill_sample(args, cur, mariadb, user, password):
    import pymysql
    # A table that another session has locked is left as it is (it could not be reloaded anyway), after a
    # short wait; the agent's own bounded wait then meets the lock and says so.
    cur.execute(session_limits(args, mariadb, lock_wait=1))
    cur.execute("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = %s", (SAMPLE_DATABASE,))
    intact = cur.fetchone()[0] == 2
    if intact:
        try:
            cur.execute("SELECT (SELECT COUNT(*) FROM `%s`.customers), (SELECT COUNT(*) FROM `%s`.orders)"
                        % (SAMPLE_DATABASE, SAMPLE_DATABASE))
            intact = cur.fetchone() == (len(CUSTOMERS), len(ORDERS))
        except pymysql.err.OperationalError as exc:
            if exc.args[0] != 1205:
                raise
    cur.execute(session_limits(args, mariadb))
    if not intact:
        cur.execute("DROP DATABASE IF EXISTS `%s`" % SAMPLE_DATABASE)
        cur.execute("CREATE DATABASE `%s`" % SAMPLE_DATABASE)
        cur.execute("USE `%s`" % SAMPLE_DATABASE)
        cur.execute("CREATE TABLE customers (id INT PRIMARY KEY, name VARCHAR(40) NOT NULL, city VARCHAR(40))")
        cur.execute("CREATE TABLE orders (id INT PRIMARY KEY, customer_id INT NOT NULL, total DECIMAL(8,2),"
                    " FOREIGN KEY (customer_id) REFERENCES customers(id))")
        cur.executemany("INSERT INTO customers VALUES (%s, %s, %s)", CUSTOMERS)
        cur.executemany("INSERT INTO orders VALUES (%s, %s, %s)", ORDERS)
    cur.execute("CREATE USER IF NOT EXISTS %s@'%%' IDENTIFIED BY %s", (user, password))
    cur.execute("GRANT SELECT ON `%s`.* TO %%s@'%%%%'" % SAMPLE_DATABASE, (user,))


def model_server_url():
    return (os.environ.get("OPENAI_BASE_URL") or "https://api.openai.com/v1").rstrip("/")


def choose_model(args):
    import scripted_model
    if os.environ.get("OPENAI_API_KEY"):
        import nlsqlagent
        try:
            import openai  # noqa: F401
        except ImportError:
            raise UserError("a real model needs the OpenAI client, which ./ask installs into .venv/ask; "
                            "run ./ask itself, or pip install openai into %s" % sys.prefix)
        import watch
        text = os.environ.get("NLSA_OPENAI_TIMEOUT") or "60"
        try:
            args.model_timeout = float(text)
        except ValueError:
            args.model_timeout = 0
        if not args.model_timeout > 0:
            raise UserError("NLSA_OPENAI_TIMEOUT must be a number of seconds above 0, not %r" % text)
        with warnings.catch_warnings():  # LangChain's note that this class has a newer home
            warnings.simplefilter("ignore")
            model = nlsqlagent.ChatOpenAI(
                model=args.model, temperature=0, api_key=os.environ["OPENAI_API_KEY"],
                base_url=os.environ.get("OPENAI_BASE_URL") or None,
                # NLSA_OPENAI_TIMEOUT is the whole wait for one reply: no retry, and an alarm at that time
                # besides the client's own timeouts (which count each phase of the request on its own).
                max_retries=0, timeout=args.model_timeout,
                callbacks=[watch.ReplyDeadline(args.model_timeout, ModelTimeout)],
                # The agent asks for a stream; one whole reply works with every server, streaming or not.
                disable_streaming=True)
        return model, "%s at %s" % (args.model, model_server_url())
    if not scripted_model.knows(args.question):
        raise UserError("no language model is configured, and the offline stand-in only knows the sample questions "
                        "(./ask --list); set OPENAI_API_KEY (and OPENAI_BASE_URL for an OpenAI-compatible server) "
                        "to ask anything else")
    say(args, "No OPENAI_API_KEY is set: a scripted offline stand-in plays the model. It knows a few sample "
              "questions; every figure in its answer comes from the real query result.")
    return scripted_model.ScriptedSQLModel(prompts=[]), "scripted stand-in"


def explain_model_failure(args, exc):
    """One line for a failure of the model or its server, or None when `exc` is something else."""
    url = model_server_url()
    if isinstance(exc, ModelTimeout):
        return "the model server at %s did not reply within %g s (NLSA_OPENAI_TIMEOUT)" % (url, args.model_timeout)
    try:
        import openai
    except ImportError:
        openai = None
    if openai is not None:
        if isinstance(exc, openai.APITimeoutError):
            return "the model server at %s did not reply within %g s (NLSA_OPENAI_TIMEOUT)" % (
                url, args.model_timeout)
        if isinstance(exc, openai.APIConnectionError):
            host = urllib.parse.urlsplit(url).hostname
            if host and not resolves(host):
                return ("the host name %r of the model server at %s does not resolve: check its spelling in "
                        "OPENAI_BASE_URL, or give an IP address" % (host, url))
            return "the model server at %s does not answer (%s)" % (url, exc.__cause__ or exc)
        if isinstance(exc, openai.APIStatusError):
            body = exc.body if isinstance(exc.body, dict) else {}
            detail = body.get("error", body) if isinstance(body.get("error", body), dict) else {}
            message = detail.get("message") or exc.message
            return "the model server at %s answered HTTP %d: %s" % (url, exc.status_code, message)
        if isinstance(exc, openai.APIResponseValidationError):
            return "the model server at %s answered something that is not a chat completion" % url
    text = str(exc)
    marker = "Could not parse LLM output: `"
    if marker in text:
        reply = text.split(marker, 1)[1].split("`", 1)[0].strip().splitlines()
        return "the model's reply does not follow the agent's format (Thought/Action/Final Answer): %r" % (
            reply[0] if reply else "")
    # The OpenAI client hands a body that is not JSON on as text, which LangChain then fails to read; a body
    # that claims to be JSON and is not fails in the client's own decoding.
    if isinstance(exc, AttributeError) and text.startswith("'str' object has no attribute"):
        return "the model server at %s answered something that is not JSON" % url
    if isinstance(exc, json.JSONDecodeError):
        return "the model server at %s answered something that is not JSON (%r)" % (url, shortened(exc.doc, 60))
    return None


def say(args, text):
    print(text, file=args.out)


ANSI = re.compile(r"\x1b\[[0-9;]*m")


class Plain(io.TextIOBase):
    """A text stream that drops colour codes before writing to `target`."""

    def __init__(self, target):
        self.target = target

    def write(self, text):
        self.target.write(ANSI.sub("", text))
        return len(text)

    def flush(self):
        self.target.flush()


@contextlib.contextmanager
def module_output(args):
    """Where the module's printed lines and the agent's trace go while it runs: here with --verbose (colour only
    on a terminal), else the run log. LangChain's notes about its own deprecated methods, which the module
    calls as it must (Chain.run), are not shown."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with _module_output(args):
            yield


@contextlib.contextmanager
def _module_output(args):
    if args.verbose:
        target = sys.stdout if sys.stdout.isatty() else Plain(sys.stdout)
        with contextlib.redirect_stdout(target):
            yield
        return
    os.makedirs(STATE, mode=0o700, exist_ok=True)
    log_path = os.path.join(STATE, "last-run.log")
    partial = "%s.%d" % (log_path, os.getpid())
    # The log holds the schema, sample rows and query results: readable by its owner only.
    fd = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as log, contextlib.redirect_stdout(Plain(log)):
        try:
            yield
        finally:
            log.flush()
            os.replace(partial, log_path)


def check_named_server(args):
    if not resolves(args.host):
        raise UserError("the host name %r does not resolve: check its spelling, or give the server's IP address "
                        "(--host 127.0.0.1 for this machine)" % args.host)
    if not server_answers(args.host, args.port):
        raise UserError("No MySQL server answers at %s:%d" % (args.host, args.port))


def ask(args):
    import nlsqlagent
    private = None
    if args.private_server:
        say(args, "Starting a throwaway MariaDB server (--private-server).")
        private = PrivateServer()
    elif args.named_server:
        check_named_server(args)
    elif not server_answers(args.host, args.port):
        say(args, "No MySQL server answers at %s:%d and no server was named: starting a throwaway MariaDB server."
            % (args.host, args.port))
        private = PrivateServer()
    if private:
        args.host, args.port, args.admin_user, args.admin_password = "127.0.0.1", private.port, "root", ""
    try:
        model, model_name = choose_model(args)
        with locked("setup"):
            user, password = reader_account(private is not None)
            mariadb = load_sample(args, user, password)
        say(args, "Sample database %r at %s:%d; the agent connects as %r, which may only read it."
            % (SAMPLE_DATABASE, args.host, args.port, user))
        connector = nlsqlagent.DatabaseConnector(user, password, "%s:%d" % (args.host, args.port),
                                                 database_with_limits(args, mariadb))
        db = connector.getdbinstance()
        if not isinstance(db, nlsqlagent.SQLDatabase):  # None, or the status record
            raise UserError("cannot open the sample database: %s" % connector.connection_status["message"])
        say(args, "Question (%s): %s" % (model_name, shortened(args.question, QUESTION_ECHO)))
        answer, queries = run_agent(args, nlsqlagent, model, db)
        say(args, "Answer: %s" % answer)
        say(args, trust_notes(queries))
    finally:
        if private:
            private.stop()


def run_agent(args, nlsqlagent, model, db):
    """The agent's answer and the queries it ran ((SQL, None or the error) each)."""
    import watch

    def on_failure(error):
        ran_out = bounded_wait_ran_out(args, error)
        if ran_out:
            sql = re.search(r"\[SQL: (.*?)\]\n", error, re.S)
            which = " (%s)" % shortened(sql.group(1), SQL_LINE) if sql else ""
            raise DatabaseFailure("the database did not answer in time: a query of the agent%s %s; --db-timeout "
                                  "sets the bound" % (which, ran_out))

    with module_output(args):
        runner = nlsqlagent.AgentRunner(model, nlsqlagent.SQLDatabaseToolkit(db=db, llm=model))
        if runner.agent_runner is None:
            raise UserError("the agent could not be built: %s" % runner.error)
        sql = watch.watch_sql(runner.agent_runner, on_failure)
        try:
            answer = runner.run(args.question)
        except (Exception, ModelTimeout) as exc:
            signal.setitimer(signal.ITIMER_REAL, 0)
            explained = explain_model_failure(args, exc)
            if explained is not None:
                raise ModelError(explained)
            import sqlalchemy.exc
            if isinstance(exc, sqlalchemy.exc.DBAPIError):
                raise DatabaseFailure("the agent's tool failed: %s" % first_line(str(exc)))
            raise ModelError("the agent failed: %s: %s" % (type(exc).__name__, exc))
    if answer == ITERATION_LIMIT_ANSWER:
        raise ModelError("the model never gave a final answer: the agent stopped at its iteration or time limit")
    return answer, sql.queries


def first_line(text):
    return text.strip().split("\n", 1)[0]


def trust_notes(queries):
    """The lines under the answer: each query the agent ran (shortened, failures marked with the server's
    reason), and a warning when the answer cannot rest on a query result."""
    if not queries:
        return "Warning: the agent ran no SQL query, so the answer does not come from the database."
    failed = sum(1 for _, error in queries if error is not None)
    lines = ["SQL the agent ran (%d %s%s):" % (len(queries), "query" if len(queries) == 1 else "queries",
                                                ", %d failed" % failed if failed else "")]
    for sql, error in queries:
        if error is None:
            lines.append("  " + shortened(sql, SQL_LINE))
        else:
            reason = mysql_error(error)
            reason = "%d %s" % reason if reason else first_line(error)
            lines.append("  FAILED: %s  -- %s" % (shortened(sql, SQL_LINE), shortened(reason, SQL_LINE)))
    if queries[-1][1] is not None:
        lines.append("Warning: the answer rests on a query that failed (the last one above), not on data from "
                     "the database.")
    return "\n".join(lines)


def masked_key(text, key):
    """`text` with the API key masked. A key of 8 characters or more is masked wherever it appears; a shorter
    one (a stand-in such as "x" for a local server that ignores it) only where it stands as a word of its
    own, so that it does not mangle the words around it."""
    if not key:
        return text
    if len(key) >= 8:
        return text.replace(key, "**********")
    return re.sub(r"(?<![A-Za-z0-9_-])%s(?![A-Za-z0-9_-])" % re.escape(key), "**********", text)


def main(argv=None):
    args = parse_arguments(argv)
    args.out = sys.stdout
    if args.list:
        import scripted_model
        print("\n".join(q.capitalize() + "?" for q in scripted_model.SAMPLE_QUESTIONS))
        return 0
    try:
        ask(args)
    except (UserError, ModelError, DatabaseFailure) as exc:
        line = masked_key(first_line(str(exc)), os.environ.get("OPENAI_API_KEY"))
        print("ask: %s" % line, file=sys.stderr)
        return {UserError: 2, ModelError: 3, DatabaseFailure: 4}[type(exc)]
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
