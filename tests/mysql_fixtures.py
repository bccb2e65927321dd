"""A throwaway database and users on the local MariaDB/MySQL server, made and dropped by the tests."""
import os
import uuid

import pytest

HOST = os.environ.get("NLSA_TEST_MYSQL_HOST", "127.0.0.1")
PORT = int(os.environ.get("NLSA_TEST_MYSQL_PORT", "3306"))
ROOT_USER = os.environ.get("NLSA_TEST_MYSQL_USER", "root")
ROOT_PASSWORD = os.environ.get("NLSA_TEST_MYSQL_PASSWORD", "")


def admin(charset="utf8mb4", database=None):
    import pymysql
    return pymysql.connect(host=HOST, port=PORT, user=ROOT_USER, password=ROOT_PASSWORD, charset=charset,
                           database=database, autocommit=True)


class Sandbox:
    """One database with customers and orders, and users made on request; everything dropped at the end."""

    def __init__(self):
        self.tag = uuid.uuid4().hex[:8]
        self.database = "nlsa_" + self.tag
        self.users = []
        with admin() as conn, conn.cursor() as cur:
            cur.execute("CREATE DATABASE `%s`" % self.database)
            cur.execute("USE `%s`" % self.database)
            cur.execute("CREATE TABLE customers (id INT PRIMARY KEY, name VARCHAR(40) NOT NULL, city VARCHAR(40))")
            cur.execute("CREATE TABLE orders (id INT PRIMARY KEY, customer_id INT NOT NULL, total DECIMAL(8,2),"
                        " FOREIGN KEY (customer_id) REFERENCES customers(id))")
            cur.executemany("INSERT INTO customers VALUES (%s, %s, %s)",
                            [(1, "Ada", "London"), (2, "Grace", "New York"), (3, "Linus", "Helsinki")])
            cur.executemany("INSERT INTO orders VALUES (%s, %s, %s)",
                            [(1, 1, 10.5), (2, 1, 20), (3, 2, 7.25), (4, 3, 99), (5, 3, 1)])

    def host(self):
        return "%s:%d" % (HOST, PORT)

    def add_user(self, password, grant="SELECT", charset="latin1"):
        """A user of this database only. The password is sent over a `charset` connection, which is the
        encoding PyMySQL later uses for it (Latin-1)."""
        name = "nlsa_%s_%d" % (self.tag, len(self.users))
        with admin(charset=charset) as conn, conn.cursor() as cur:
            cur.execute("CREATE USER %s@'%%' IDENTIFIED BY %s", (name, password))
            if grant:
                cur.execute("GRANT %s ON `%s`.* TO %%s@'%%%%'" % (grant, self.database), (name,))
        self.users.append(name)
        return name

    def query(self, sql, args=None):
        with admin(database=self.database) as conn, conn.cursor() as cur:
            cur.execute(sql, args)
            return cur.fetchall()

    def drop(self):
        with admin() as conn, conn.cursor() as cur:
            for name in self.users:
                cur.execute("DROP USER IF EXISTS %s@'%%'", (name,))
            cur.execute("DROP DATABASE IF EXISTS `%s`" % self.database)


@pytest.fixture
def sandbox():
    try:
        box = Sandbox()
    except Exception as exc:  # the suite needs the server; say so plainly rather than skip silently
        pytest.fail("the MariaDB/MySQL server at %s:%d is needed for this test: %s" % (HOST, PORT, exc))
    yield box
    box.drop()
