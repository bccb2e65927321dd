"""Ask a question in natural language of a MySQL database, through nlsqlagent: a sample one, or your own.

By default it loads a small shop database (customers and orders) into a MySQL/MariaDB server and gives the agent
a user that can only read it; with --database (and --user) it asks a database of yours, through your account.
It goes the way a user of the module does: DatabaseConnector, getdbinstance, SQLDatabaseToolkit, AgentRunner,
run. Every statement of the agent is parsed first and only read statements reach the server, each bounded in
time, rows and characters. With OPENAI_API_KEY set a real model answers (OPENAI_BASE_URL names any
OpenAI-compatible server); without one, a scripted offline stand-in answers the sample questions.
"""
import argparse
import contextlib
import fcntl
import getpass
import io
import json
import os
import re
import secrets
import shutil
import signal
import socket
import stat
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
READER_NAME = re.compile(r"nlsqlagent_r_[0-9a-f]{10}")
READER_PASSWORD = re.compile(r"[!-~]{12,64}")  # printable, no blanks
OWN_DATABASE = "nlsqlagent_ask"  # ./ask's own: the readers it made (a reader has no grant on it)
SETUP_LOCK = "nlsqlagent_sample_setup"
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
       resolve, no database server at the host/port named, the sample database could not be loaded, your
       database or account could not be opened (or no password was to be had), or the state folder or its
       reader-account file is not as ./ask leaves them (owned by you, not writable by others; the file
       written whole, naming an account that ./ask made)
  3    the model failed: its server did not answer (in time), answered an HTTP error or something that is
       not JSON, replied outside the agent's format, or never gave a final answer (iteration or time limit)
  4    the database failed during the question: a query waited longer than --db-timeout for a lock that
       another session holds, ran past the statement limit, or the server stopped answering; or a tool of
       the agent met a database error it does not hand to the model; or another session holds the lock
       under which ./ask loads the sample database (the line names it, and how to end it)
  130  interrupted (Ctrl-C); 143 terminated (SIGTERM). Either way, ./ask's sessions on the server end with it.

An answer (exit 0) is followed by the SQL the agent ran, one line per query; when the last of them failed or
was refused (or none ran), a warning says that the answer does not rest on a query result."""

ENVIRONMENT = """environment:
  OPENAI_API_KEY             use a real model with this key (never printed)
  OPENAI_BASE_URL            an OpenAI-compatible server, e.g. http://127.0.0.1:8000/v1 (default: OpenAI's)
  NLSA_OPENAI_MODEL          model name (default gpt-4o-mini), as --model
  NLSA_OPENAI_TIMEOUT        the longest wait, in seconds, for each reply of the model server, all told
                             (default 60); ./ask does not retry a request. A question takes several replies.
  NLSA_MYSQL_HOST, NLSA_MYSQL_PORT                      as --host, --port
  NLSA_MYSQL_DATABASE, NLSA_MYSQL_USER, NLSA_MYSQL_TABLES as --database, --user, --tables
  NLSA_MYSQL_PASSWORD        the password of --user (else the option file's, else a prompt on a terminal)
  NLSA_MYSQL_OPTION_FILE     the MySQL option file to read it from (default ~/.my.cnf, group [client])
  NLSA_MYSQL_ADMIN_USER      as --admin-user
  NLSA_MYSQL_ADMIN_PASSWORD  its password (default empty). No password is taken on the command line.
  NLSA_MYSQL_TIMEOUT         as --db-timeout
  NLSA_ASK_STATE             folder for the reader account and the run log (default .venv/ask-state)"""


class UserError(Exception):
    """The question could not be asked: one line, exit 2."""


class ModelError(Exception):
    """The model failed: one line, exit 3."""


class DatabaseFailure(BaseException):
    """The database failed during the question (a bounded wait ran out): one line, exit 4. A BaseException, so
    that raised from a callback it stops the agent at once, past the handlers that catch Exception."""


class Terminated(BaseException):
    """SIGTERM: ends the run as Ctrl-C does, through every cleanup on the way out."""


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
    p.add_argument("--database", default=env("NLSA_MYSQL_DATABASE"),
                   help="ask this database of yours instead of the sample (with --user)")
    p.add_argument("--user", default=env("NLSA_MYSQL_USER"),
                   help="the account the agent connects as to --database (default: the option file's user); "
                        "its password comes from NLSA_MYSQL_PASSWORD, the option file or a prompt")
    p.add_argument("--tables", type=table_list, default=env("NLSA_MYSQL_TABLES"), metavar="T1,T2",
                   help="the only tables of --database that the agent may see and query")
    p.add_argument("--admin-user", default=env("NLSA_MYSQL_ADMIN_USER", "root"),
                   help="account that loads the sample database (default root; its password from "
                        "NLSA_MYSQL_ADMIN_PASSWORD)")
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
    argv = sys.argv[1:] if argv is None else list(argv)
    for word in argv:
        if word.split("=", 1)[0] in ("--admin-password", "--password"):
            p.error("passwords are not taken on the command line, where other users see them (ps): set "
                    "NLSA_MYSQL_ADMIN_PASSWORD or NLSA_MYSQL_PASSWORD, or use the option file")
    args = p.parse_args(argv)
    if isinstance(args.tables, str):
        args.tables = table_list(args.tables)
    args.admin_password = env("NLSA_MYSQL_ADMIN_PASSWORD", "")
    if args.tables and not args.database:
        p.error("--tables limits the tables of --database, which names your database")
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


def table_list(text):
    tables = [t.strip() for t in text.split(",") if t.strip()]
    if not tables:
        raise argparse.ArgumentTypeError("no table named: %r" % text)
    return tables


CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def visible(text, newlines=False):
    """`text` with every control character written out (ESC as \\x1b), so that text from the model or the
    database cannot move the cursor, retitle the window, write the clipboard or hide what follows. With
    `newlines`, newlines stay (for ./ask's own lines)."""
    def written(match):
        c = match.group()
        if newlines and c == "\n":
            return c
        return "\\x%02x" % ord(c) if ord(c) < 0x100 else "\\u%04x" % ord(c)
    return CONTROL.sub(written, text)


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


def state_folder():
    """The state folder, made if missing (owner only), after checking that it is the user's own and that no
    one else may write it: whoever can write it could name the account ./ask sets up."""
    os.makedirs(STATE, mode=0o700, exist_ok=True)
    info = os.stat(STATE)
    if info.st_uid != os.geteuid():
        raise UserError("the state folder %s belongs to another user (uid %d); use a folder of your own "
                        "(NLSA_ASK_STATE)" % (STATE, info.st_uid))
    if info.st_mode & 0o022:
        raise UserError("the state folder %s may be written by others (mode %o): chmod go-w it, or use a folder "
                        "of your own (NLSA_ASK_STATE)" % (STATE, stat.S_IMODE(info.st_mode)))
    return STATE


def reader_account(private):
    """The read-only account (user, password) of this state folder: made on the first run, kept in
    reader-account (mode 600, written whole: a temporary file renamed into place) and never changed under a
    running question. Each state folder (each checkout) has an account of its own, so checkouts that share a
    server do not reset each other's password. A throwaway server gets an account that is not kept."""
    made = (READER_PREFIX + secrets.token_hex(5), "r@:/" + secrets.token_urlsafe(12))
    if private:
        return made
    path = os.path.join(state_folder(), "reader-account")
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    except FileNotFoundError:
        partial = "%s.%d" % (path, os.getpid())
        fd = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write("%s\n%s\n" % made)
            f.flush()
            os.fsync(f.fileno())
        os.replace(partial, path)
        return made
    except OSError as exc:  # a symbolic link (ELOOP), say
        raise UserError("the reader-account file %s cannot be read safely (%s): delete it and run again"
                        % (path, exc.strerror))
    with os.fdopen(fd) as f:
        info = os.fstat(f.fileno())
        text = f.read(4096)
    unsafe = ("is not a regular file" if not stat.S_ISREG(info.st_mode)
              else "belongs to another user" if info.st_uid != os.geteuid()
              else "may be read or written by others (mode %o)" % stat.S_IMODE(info.st_mode)
              if info.st_mode & 0o077 else None)
    if unsafe:
        raise UserError("the reader-account file %s %s; ./ask leaves it mode 600: delete it and run again"
                        % (path, unsafe))
    lines = text.split("\n")
    bad = ("is empty" if not text
           else "does not hold two lines, the account and its password" if len(lines) != 3 or lines[2]
           else "names %r, not an account of ./ask (%s and 10 hex digits)" % (lines[0], READER_PREFIX)
           if not READER_NAME.fullmatch(lines[0])
           else "holds a password that ./ask would not have made" if not READER_PASSWORD.fullmatch(lines[1])
           else None)
    if bad:
        raise UserError("the reader-account file %s %s; ./ask writes it whole, so this one is not its own: delete "
                        "it and run again" % (path, visible(bad)))
    return lines[0], lines[1]


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
    return args.database_name + "?" + urllib.parse.urlencode(driver_options(args, mariadb))


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
    if code in (1969, 3024):  # the server's statement limit, or ./ask's watchdog (guarded.py)
        return "ran past the statement limit of %d s" % (2 * args.db_timeout)
    if code == 2013:
        return "lost the server, which said nothing for %d s or closed the connection" % (2 * args.db_timeout + 5)
    return None


def load_sample(args, user, password):
    """Makes the sample database and the read-only account, unless they are already there as they should be.
    Returns whether the server is MariaDB. A lock on the server (GET_LOCK) keeps ./ask runs of other checkouts
    from loading at the same time; the agent cannot take it, since the gate refuses every locking function."""
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
            cur.execute("SELECT GET_LOCK(%s, %s)", (SETUP_LOCK, args.db_timeout))
            if cur.fetchone()[0] != 1:
                raise DatabaseFailure(lock_holder(cur, args))
            fill_sample(args, cur, mariadb, user, password)
            own_reader(args, cur, user, password)
    except pymysql.err.MySQLError as exc:
        ran_out = bounded_wait_ran_out(args, str(exc))
        if ran_out:
            raise DatabaseFailure("the database did not answer in time: loading the sample database "
                                  "%s; --db-timeout sets the bound" % ran_out)
        raise UserError("cannot load the sample database as %r at %s:%d: %s"
                        % (args.admin_user, args.host, args.port, exc.args[-1]))
    return mariadb


def lock_holder(cur, args):
    """The line for a setup lock that another session has held past --db-timeout: who holds it, and how to end
    it when no ./ask is loading."""
    cur.execute("SELECT IS_USED_LOCK(%s)", (SETUP_LOCK,))
    holder = cur.fetchone()[0]
    if holder is None:
        return ("the database did not answer in time: the lock under which ./ask loads the sample database "
                "(%s) was busy for %d s; --db-timeout sets the bound" % (SETUP_LOCK, args.db_timeout))
    cur.execute("SELECT USER, TIME, LEFT(INFO, 60) FROM information_schema.PROCESSLIST WHERE ID = %s", (holder,))
    row = cur.fetchone()
    who = " (account %r, busy for %s s%s)" % (row[0], row[1], ": %s" % shortened(row[2], 60) if row[2] else "") \
        if row else ""
    return ("the database did not answer in time: connection %d%s has held the lock under which ./ask loads the "
            "sample database (%s) for more than %d s; if no ./ask is loading it, end that session with KILL %d "
            "(as an account that may), then run again" % (holder, visible(who), SETUP_LOCK, args.db_timeout, holder))


def own_reader(args, cur, user, password):
    """Makes the reader account of this state folder, or checks that the account the file names is one that
    ./ask made (a row in its own database), before it grants it anything or sets its password. An account of
    that name that ./ask did not make is left alone, unless the file's password opens it (a reader made before
    ./ask kept this record), which it then records."""
    import pymysql
    cur.execute("CREATE DATABASE IF NOT EXISTS `%s`" % OWN_DATABASE)
    cur.execute("CREATE TABLE IF NOT EXISTS `%s`.readers (user VARCHAR(64) PRIMARY KEY, state VARCHAR(1024) NOT "
                "NULL, made TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP)" % OWN_DATABASE)
    state = os.path.realpath(STATE)
    cur.execute("SELECT state FROM `%s`.readers WHERE user = %%s" % OWN_DATABASE, (user,))
    row = cur.fetchone()
    if row is None:
        try:
            cur.execute("CREATE USER %s@'%%' IDENTIFIED BY %s", (user, password))
        except pymysql.err.OperationalError as exc:
            if exc.args[0] != 1396:  # the account exists
                raise
            if not opens(args, user, password):
                raise UserError("the reader-account file in %s names %r, an account that ./ask did not make; "
                                "./ask changes only its own: delete the file and run again" % (STATE, user))
        cur.execute("INSERT INTO `%s`.readers (user, state) VALUES (%%s, %%s)" % OWN_DATABASE, (user, state))
    elif row[0] == state and not opens(args, user, password):
        # A reader of this state folder whose password is not the file's (set by hand, say) gets it again.
        cur.execute("ALTER USER %s@'%%' IDENTIFIED BY %s", (user, password))
    cur.execute("GRANT SELECT ON `%s`.* TO %%s@'%%%%'" % SAMPLE_DATABASE, (user,))


def opens(args, user, password):
    import pymysql
    try:
        pymysql.connect(host=args.host, port=args.port, user=user, password=password, connect_timeout=10).close()
        return True
    except pymysql.err.OperationalError:
        return False


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
    """One of ./ask's own lines (several, where it writes newlines), with every other control character
    written out: the lines carry text from the model and the database."""
    print(visible(text, newlines=True), file=args.out)


COLOUR = re.compile(r"\x1b\[(?:0|1|1;3|3[0-7](?:;1)?)m")  # the colours of LangChain's trace, nothing else


class Plain(io.TextIOBase):
    """A text stream for the module's printed lines and the agent's trace: LangChain's colour codes are dropped
    (or kept, with `colour`, on a terminal) and every other control character but the newline is written out,
    escape sequences of the model or the data among them."""

    def __init__(self, target, colour=False):
        self.target = target
        self.colour = colour

    def write(self, text):
        pieces = COLOUR.split(text)
        codes = COLOUR.findall(text) if self.colour else [""] * (len(pieces) - 1)
        out = [visible(pieces[0], newlines=True)]
        for code, piece in zip(codes, pieces[1:]):
            out += [code, visible(piece, newlines=True)]
        self.target.write("".join(out))
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
        with contextlib.redirect_stdout(Plain(sys.stdout, colour=sys.stdout.isatty())):
            yield
        return
    log_path = os.path.join(state_folder(), "last-run.log")
    partial = "%s.%d" % (log_path, os.getpid())
    # The log holds the schema, sample rows and query results: readable by its owner only.
    fd = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
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
    state_folder()
    private = None
    if args.database is not None:
        if args.private_server:
            raise UserError("--private-server starts a throwaway server for the sample database; it does not go "
                            "with --database")
        check_named_server(args)
    elif args.private_server:
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
        if args.database is not None:
            args.database_name = args.database
            user, password = own_account(args)
            mariadb = open_own_database(args, user, password)
        else:
            args.database_name = SAMPLE_DATABASE
            with locked("setup"):
                user, password = reader_account(private is not None)
                mariadb = load_sample(args, user, password)
            say(args, "Sample database %r at %s:%d; the agent connects as %r, which may only read it."
                % (SAMPLE_DATABASE, args.host, args.port, user))
        connector = nlsqlagent.DatabaseConnector(user, password, "%s:%d" % (args.host, args.port),
                                                 database_with_limits(args, mariadb))
        db = connector.getdbinstance()
        if not isinstance(db, nlsqlagent.SQLDatabase):  # None, or the status record
            raise UserError("cannot open the database %r: %s" % (args.database_name,
                                                                 connector.connection_status["message"]))
        say(args, "Question (%s): %s" % (model_name, shortened(args.question, QUESTION_ECHO)))
        guarded_db, watchdog = guard(args, db, user, password)
        try:
            answer, queries = run_agent(args, nlsqlagent, model, guarded_db)
        finally:
            # Every session of the agent ends here, busy or not (Ctrl-C, a bound that ran out, an error).
            guarded_db._engine.dispose()
            watchdog.stop(guarded_db.sessions)
        say(args, "Answer: %s" % "\n        ".join(visible(line) for line in answer.split("\n")))
        say(args, trust_notes(queries))
    finally:
        if private:
            private.stop()


def guard(args, db, user, password):
    """The database that the agent's tools get: the module's SQLDatabase with the gate, the watchdog and the
    bounded fetch of guarded.py, on the same engine (its sessions carry --db-timeout's bounds too)."""
    import guarded
    import pymysql
    db._engine.dispose()  # the session that the module opened is closed; every later one is recorded
    try:
        watchdog = guarded.Watchdog(lambda: pymysql.connect(
            host=args.host, port=args.port, user=user, password=password, connect_timeout=10, read_timeout=10,
            autocommit=True))
    except pymysql.err.MySQLError as exc:
        raise UserError("cannot open a second session as %r for the watchdog at %s:%d: %s"
                        % (user, args.host, args.port, exc.args[-1]))
    try:
        return guarded.GuardedDatabase(db._engine, watchdog=watchdog, statement_seconds=2 * args.db_timeout,
                                       database=args.database_name, tables=args.tables), watchdog
    except ValueError as exc:  # --tables names a table that is not there, or not visible to the account
        watchdog.stop()
        raise UserError("--tables: %s (in %r, as %r sees it)" % (exc, args.database_name, user))
    except BaseException:
        watchdog.stop()
        raise


def option_file():
    """The [client] group of the MySQL option file that the client tools read (NLSA_MYSQL_OPTION_FILE or
    ~/.my.cnf), as a dict; nothing when it is missing or, as the client tools have it, writable by others."""
    from pymysql.optionfile import Parser
    path = os.environ.get("NLSA_MYSQL_OPTION_FILE") or os.path.expanduser("~/.my.cnf")
    try:
        if os.stat(path).st_mode & 0o002:
            return {}
    except OSError:
        return {}
    parser = Parser(strict=False)
    try:
        parser.read(path)
    except Exception as exc:  # configparser's errors have no common base but Exception
        raise UserError("cannot read the option file %s: %s" % (path, first_line(str(exc))))
    if not parser.has_section("client"):
        return {}
    return {key: parser.get("client", key) for key in ("user", "password") if parser.has_option("client", key)}


def own_account(args):
    """(user, password) for --database: the account of --user (or the option file's), with the password of
    NLSA_MYSQL_PASSWORD, else the option file's (when the file is for that account), else a prompt on a
    terminal. Never from the command line."""
    options = option_file()
    user = args.user or options.get("user")
    if not user:
        raise UserError("--database needs the account that the agent connects as: --user NAME (or user= in the "
                        "[client] group of ~/.my.cnf)")
    if "NLSA_MYSQL_PASSWORD" in os.environ:
        return user, os.environ["NLSA_MYSQL_PASSWORD"]
    if "password" in options and options.get("user", user) == user:
        return user, options["password"]
    if sys.stdin.isatty() and sys.stderr.isatty():
        try:
            return user, getpass.getpass("Password of %s at %s:%d: " % (user, args.host, args.port))
        except EOFError:
            pass
    raise UserError("no password for %r: set NLSA_MYSQL_PASSWORD, put password= in the [client] group of "
                    "~/.my.cnf, or run ./ask on a terminal to be asked for it" % user)


READ_PRIVILEGES = {"USAGE", "SELECT", "SHOW VIEW", "SHOW DATABASES", "PROCESS", "REPLICATION CLIENT",
                   "BINLOG MONITOR", "SLAVE MONITOR", "REPLICA MONITOR"}


def open_own_database(args, user, password):
    """Checks that `user` opens --database; says (on stderr) when the account may change data. Returns whether
    the server is MariaDB."""
    import pymysql
    try:
        conn = pymysql.connect(host=args.host, port=args.port, user=user, password=password,
                               database=args.database, connect_timeout=10, read_timeout=2 * args.db_timeout + 5)
    except pymysql.err.MySQLError as exc:
        raise UserError("cannot open the database %r as %r at %s:%d: %s"
                        % (args.database, user, args.host, args.port, exc.args[-1]))
    with conn, conn.cursor() as cur:
        cur.execute("SELECT VERSION()")
        mariadb = "mariadb" in cur.fetchone()[0].lower()
        cur.execute("SHOW GRANTS")
        grants = [row[0] for row in cur.fetchall()]
    writes = set()
    for grant in grants:
        match = re.match(r"GRANT (.+?) ON ", grant)
        if match and not grant.startswith("GRANT PROXY ON"):
            writes |= {p.split("(")[0].strip().upper() for p in match.group(1).split(",")} - READ_PRIVILEGES
    say(args, "Database %r at %s:%d; the agent connects as %r%s." % (
        args.database, args.host, args.port, user,
        ", on the tables %s only" % ", ".join(args.tables) if args.tables else ""))
    if writes:
        print(visible("ask: note: the account %r may change data (%s); ./ask lets only read statements through, "
                      "but an account that may only read (GRANT SELECT) is the safer one to give it"
                      % (user, ", ".join(sorted(writes)))), file=sys.stderr)
    return mariadb


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
    reason, refusals with the gate's), and a warning when the answer cannot rest on a query result."""
    import guarded
    if not queries:
        return "Warning: the agent ran no SQL query, so the answer does not come from the database."
    refused = sum(1 for _, error in queries if error is not None and error.startswith(guarded.REFUSED_PREFIX))
    failed = sum(1 for _, error in queries if error is not None) - refused
    lines = ["SQL the agent ran (%d %s%s%s):" % (len(queries), "query" if len(queries) == 1 else "queries",
                                                  ", %d failed" % failed if failed else "",
                                                  ", %d refused" % refused if refused else "")]
    for sql, error in queries:
        sql = visible(shortened(sql, SQL_LINE))
        if error is None:
            lines.append("  " + sql)
        elif error.startswith(guarded.REFUSED_PREFIX):
            lines.append("  REFUSED: %s  -- %s" % (sql, visible(shortened(error[len(guarded.REFUSED_PREFIX):],
                                                                           SQL_LINE))))
        else:
            reason = mysql_error(error)
            reason = "%d %s" % reason if reason else first_line(error)
            lines.append("  FAILED: %s  -- %s" % (sql, visible(shortened(reason, SQL_LINE))))
    last = queries[-1][1]
    if last is not None:
        lines.append("Warning: the answer rests on a query that %s (the last one above), not on data from the "
                     "database." % ("./ask refused" if last.startswith(guarded.REFUSED_PREFIX) else "failed"))
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

    def terminated(signum, frame):
        raise Terminated()

    signal.signal(signal.SIGTERM, terminated)
    if args.list:
        import scripted_model
        print("\n".join(q.capitalize() + "?" for q in scripted_model.SAMPLE_QUESTIONS))
        return 0
    try:
        ask(args)
    except (UserError, ModelError, DatabaseFailure) as exc:
        line = masked_key(first_line(str(exc)), os.environ.get("OPENAI_API_KEY"))
        print("ask: %s" % visible(line), file=sys.stderr)
        return {UserError: 2, ModelError: 3, DatabaseFailure: 4}[type(exc)]
    except KeyboardInterrupt:
        return 130
    except Terminated:
        return 143
    return 0


if __name__ == "__main__":
    sys.exit(main())
