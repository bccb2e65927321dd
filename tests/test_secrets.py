"""Secrets never reach what the module prints or keeps as a message: the masking rule, held to its regular-
expression twin in the reference source, on the shapes that model clients, HTTP headers, URLs and drivers show."""
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import nlsqlagent
from conftest import needs_real_stack, reference, run_python

DC, AR = nlsqlagent.DatabaseConnector, nlsqlagent.AgentRunner
M = "**********"

# (text, what the printed line shows), the second written out by hand
MASKED = [
    # fields and dict items whose name ends with a secret word
    ("ChatOpenAI(model_name='m', openai_api_key='sk-abc', max_tokens=5)",
     "ChatOpenAI(model_name='m', openai_api_key='%s', max_tokens=5)" % M),
    ('X(api_key="a\\"b", token=SecretStr(\'**********\'), Password=\'p\', db_passwd=\'w\')',
     "X(api_key='%s', token='%s', Password='%s', db_passwd='%s')" % (M, M, M, M)),
    ("{'client_secret': 'c', 'keys': 'k', 'access_token': \"t\", 'app_secrets': 's', 'credential': 'c'}",
     "{'client_secret': '%s', 'keys': 'k', 'access_token': '%s', 'app_secrets': '%s', 'credential': '%s'}"
     % (M, M, M, M)),
    ("credentials='unterminated \\", "credentials='%s'" % M),
    ("keyword='kept' notakey_x='kept' monkey='é'", "keyword='kept' notakey_x='kept' monkey='%s'" % M),
    # names with "-", "." and blanks: HTTP headers, dotted settings
    ("default_headers={'api-key': 'k1', 'x-api-key': 'k2', 'X-Auth-Token': 'k3', 'Ocp-Apim-Subscription-Key': 'k4'}",
     "default_headers={'api-key': '%s', 'x-api-key': '%s', 'X-Auth-Token': '%s', 'Ocp-Apim-Subscription-Key': '%s'}"
     % (M, M, M, M)),
    ("{'openai.api_key': 'k', \"my secret\": 's'} x-api-key='h'",
     "{'openai.api_key': '%s', \"my secret\": '%s'} x-api-key='%s'" % (M, M, M)),
    # blanks and tabs around a dict item's colon, or none (compact JSON, as API error bodies show it)
    ('{"api_key":"sk-abc","error":{"token":b"t"}} '
     "{'password' :  'p', \"secret\":\t's', 'key'\t:SecretStr('x')}",
     '{"api_key":\'%s\',"error":{"token":\'%s\'}} ' % (M, M)
     + "{'password' :  '%s', \"secret\":\t'%s', 'key'\t:'%s'}" % (M, M, M)),
    ('{"token\':"x", "secret" :"s"}', '{"token\':"x", "secret" :\'%s\'}' % M),
    # a quoted text of the other quote inside a value that no field takes: the item ends at its own quote
    ("key=SecretStr('{\"token\": \"abc\"}' x) 'k' \"api_key\":'{\"x\"}'",
     "key=SecretStr('{\"token\": '%s'}' x) 'k' \"api_key\":'%s'" % (M, M)),
    # authorization schemes
    ("headers={'Authorization': 'Bearer sk-abc.def'}, auth='basic dXNlcjpwYXNz==', t=\"Token 9f/+_~-\"",
     "headers={'Authorization': 'Bearer %s'}, auth='basic %s', t=\"Token %s\"" % (M, M, M)),
    ("GET / HTTP/1.1\r\nAuthorization: Basic dXNlcjpwYXNz\r\nProxy-authorization:Bearer x1\r\n"
     "Authorization:\tToken t\n",
     "GET / HTTP/1.1\r\nAuthorization: Basic %s\r\nProxy-authorization:Bearer %s\r\nAuthorization:\tToken %s\n"
     % (M, M, M)),
    ("Connection(password=b'pw', ssl_key=b\"k\\\"x\")", "Connection(password='%s', ssl_key='%s')" % (M, M)),
    ("'Digest username=\"u\", response=\"r\"' then\nAuthorization: Digest nonce=\"n\", response=\"r\"\nnext",
     "'Digest %s' then\nAuthorization: Digest %s\nnext" % (M, M)),
    # query parameters and URI passwords
    ("https://h/v1?password=p1&x=1 https://h/?api_key=k&access_token=t#frag",
     "https://h/v1?password=%s&x=1 https://h/?api_key=%s&access_token=%s#frag" % (M, M, M)),
    ("engine mysql+pymysql://reader:s%40cr@t@db:3306/shop?x=1 and http://host/a:b@c",
     "engine mysql+pymysql://reader:%s@db:3306/shop?x=1 and http://host/a:b@c" % M),
]

# Shapes the rule leaves as they are, as the README says: unquoted field values, prose that only mentions a
# scheme word, a value escaped one repr level deeper, a URI that is not one (a "?" in its password), a line
# break beside a dict item's colon.
KEPT = [
    "nothing secret here: token count=3, key=value, password = 'spaced'",
    "Token limit exceeded; 'Token limit exceeded'; 'Bearer of news'; x: 'Digest of changes'",
    "ValueError(\"{\\'api_key\\': \\'sk-abc\\'}\")",
    "mysql://u:p?x@h/db",
    "{'token'\n: 'x', 'secret':\n's'}",
]


def printed_agent(create_agent, capsys, text):
    class Agent:
        def __str__(self):
            return text

    create_agent.result = Agent()
    AR(1, 2)
    create_agent.raise_next = ValueError(text)
    runner = AR(1, 2)
    out = capsys.readouterr().out
    assert str(runner.error) == text  # the exception itself is left as it is
    return out


@pytest.mark.parametrize("text,expected", MASKED + [(text, text) for text in KEPT])
def test_printed_lines_mask_secrets(create_agent, capsys, text, expected):
    out = printed_agent(create_agent, capsys, text)
    assert out == "Agent runner instance: %s\nError occurred: %s\n" % (expected, expected)
    assert reference.masked(text) == expected


def test_status_message_masks_secrets(sqldb):
    for text, expected in MASKED:
        sqldb.raise_next = ValueError(text)
        assert DC("u", "Zq7Wx", "host", "db").connect()["message"] == expected


PIECES = ["api_key='", 'Token="', "x_key=SecretStr('", "'password': '", "{'credentials': \"", "mysql://u:", "db://",
          "ab", "=", "'", '"', "\\", ": ", ")", "@", "/", " ", "é", "\U0001F600", ":", "'Bearer ", '"Digest ',
          "Authorization: ", "authorization:", "basic ", "token ", "x-y.z", "?", "&", "#", "\n", "\r", "passwd=",
          "&access_token=", "my secret", "'X-Auth-Token': ", "b'", "\t", '{"token":"', ' : ', ':\t ', '"key"']


@settings(max_examples=int(os.environ.get("NLSA_FUZZ_EXAMPLES", "300")), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.sampled_from(PIECES), min_size=1, max_size=14).map("".join))
def test_masking_matches_the_reference(capsys, text):
    class Agent:
        def __str__(self):
            return text

    nlsqlagent.create_sql_agent, saved = (lambda **kw: Agent()), nlsqlagent.create_sql_agent
    try:
        AR(1, 2)
    finally:
        nlsqlagent.create_sql_agent = saved
    out = capsys.readouterr().out
    assert out == "Agent runner instance: %s\n" % reference.masked(text)


# Long texts built to make a scan go back over what it read: fields pointing into one long unterminated
# SecretStr text, scheme words and query names without a value. One pass over each must finish at once; a
# scan that reads the text again from every such place takes hours on a few megabytes.
LINEAR = """
import sys, time, nlsqlagent
class Agent:
    def __init__(self, text): self.text = text
    def __str__(self): return self.text
units = ["key=SecretStr('", "'key': SecretStr(\\"", "'key' \\t:\\t", "'Bearer ", "Authorization:  Digest", "?key&",
         "a://b:c"]
out = open("/dev/null", "w")
sys.stdout, real = out, sys.stdout
for unit in units:
    text = unit * (%d // len(unit))
    nlsqlagent.create_sql_agent = lambda **kw: Agent(text)
    nlsqlagent.AgentRunner(1, 2)
sys.stdout = real
print("done")
"""


def test_masking_reads_long_texts_once():
    result = run_python(LINEAR % (4 << 20))
    assert result.stdout.strip() == "done", result.stderr[-2000:]


@needs_real_stack
def test_real_model_key_never_printed(sandbox, capfd):
    pytest.importorskip("openai")
    key = "sk-test-Q7w9Z2x4C6v8B1n3M5k7P0o9I8u7"
    password = "Zq7@Wx:Vy/Kp%Rs?Tn#Mb"
    user = sandbox.add_user(password)
    db = DC(user, password, sandbox.host(), sandbox.database).getdbinstance()
    headers = {"api-key": key, "Authorization": "Bearer " + key}
    llm = nlsqlagent.ChatOpenAI(api_key=key, model="gpt-4o-mini", base_url="http://127.0.0.1:9/v1?api_key=" + key,
                                default_headers=headers)
    runner = AR(llm, nlsqlagent.SQLDatabaseToolkit(db=db, llm=llm))
    assert runner.error is None

    def create_fails(**kw):
        raise RuntimeError("model rejected: %r" % (kw["llm"],))

    nlsqlagent.create_sql_agent, saved = create_fails, nlsqlagent.create_sql_agent
    try:
        failed = AR(llm, None)
    finally:
        nlsqlagent.create_sql_agent = saved
    assert key in str(failed.error)  # the test double did show the key: the printed line must not
    out, err = capfd.readouterr()
    assert out.startswith("Agent runner instance: ") and "\nError occurred: model rejected: ChatOpenAI(" in out
    assert out.count("openai_api_key='**********'") >= 2 and "'Authorization': 'Bearer **********'" in out
    for secret in (key, password):
        fragments = {secret[i:i + 8] for i in range(len(secret) - 7)}
        assert not [f for f in fragments if f in out or f in err]
