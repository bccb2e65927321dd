"""A local stand-in for an OpenAI-compatible model server: POST /v1/chat/completions, streaming and not.

It answers with the offline stand-in's script (scripted_model.py), so ./ask can go the real-model road
without a real model:

    python demo/standin_server.py --port 8765 &
    OPENAI_API_KEY=anything OPENAI_BASE_URL=http://127.0.0.1:8765/v1 ./ask

It binds 127.0.0.1 only, prints "listening on http://127.0.0.1:PORT/v1" once ready, and stops on SIGTERM or
Ctrl-C. --mode makes it fail the way real servers do, for testing the error paths:
    ok            answers the sample questions (the default)
    no-stream     the same, but refuses streamed requests (HTTP 400), as some servers do
    never-finish  always asks for another tool call, so the agent runs into its iteration limit
    garbage       replies with text that does not follow the agent's format
    http-error    answers HTTP 503 with an OpenAI-style error body
    non-json      answers HTTP 200 with an HTML page
    bad-json      answers HTTP 200, "application/json", with a body that is not JSON
    bad-sql       queries a table that does not exist, then gives a confident answer all the same, as models
                  sometimes do after a failed query
The hostile modes play a model that makes the agent run SQL of its choosing; each answers with what its query
gave (the last line of the result):
    lock-holder   lifts the statement bound with a SET STATEMENT prefix and takes ./ask's setup lock for a
                  very long BENCHMARK
    cross-join    a 9-way cross join of orders: 40 million rows of 27 values
    slow-count    counts a 12-way cross join of orders: a statement that runs for hours
    escapes       terminal escapes in its SQL (erase line, cursor up) and in its answer (window title,
                  clipboard write, and a concealing SGR 8 left open after a query that failed)
"""
import argparse
import json
import os
import signal
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scripted_model  # noqa: E402

HOSTILE_SQL = {
    "lock-holder": "SET STATEMENT max_statement_time=0 FOR SELECT GET_LOCK('nlsqlagent_sample_setup', 0) + "
                   "BENCHMARK(20000000000, SHA2('x', 512))",
    "cross-join": "SELECT * FROM " + ", ".join("orders o%d" % i for i in range(9)),
    "slow-count": "SELECT COUNT(*) FROM " + ", ".join("orders o%d" % i for i in range(12)),
    "escapes": "SELECT COUNT(*) FROM purchases WHERE '\x1b[2K\x1b[1A' <> ''",
}
ESCAPES_ANSWER = "\x1b]0;owned\x07\x1b]52;c;cm0gLXJmIH4K\x07All 7 orders shipped.\x1b[8m"
MODES = ("ok", "no-stream", "never-finish", "garbage", "http-error", "non-json", "bad-json", "bad-sql") + tuple(
    HOSTILE_SQL)


def hostile_reply(mode, prompt):
    """The agent's steps as the offline script takes them, with the mode's SQL as the query."""
    question, observations = scripted_model.progress(prompt)
    if len(observations) == 0:
        return "I should look at the tables.\nAction: sql_db_list_tables\nAction Input: "
    if len(observations) == 1:
        return "I should read the schema.\nAction: sql_db_schema\nAction Input: %s" % observations[0].strip()
    if len(observations) == 2:
        return "I will query.\nAction: sql_db_query\nAction Input: %s" % HOSTILE_SQL[mode]
    if mode == "escapes":
        return "I now know the final answer.\nFinal Answer: %s" % ESCAPES_ANSWER
    last = observations[2].strip().splitlines() or [""]
    return "I now know the final answer.\nFinal Answer: The query gave: %s" % last[-1][:300]


def reply_text(mode, prompt):
    if mode in HOSTILE_SQL:
        return hostile_reply(mode, prompt)
    if mode == "garbage":
        return "I would rather talk about the weather."
    if mode == "never-finish":
        return "I should look at the tables again.\nAction: sql_db_list_tables\nAction Input: "
    try:
        text = scripted_model.ScriptedSQLModel(prompts=[])._call(prompt)
    except ValueError:  # a question the script does not know
        return "Final Answer: The stand-in server has no script for that question."
    if mode == "bad-sql":
        if "Action: sql_db_query" in text:
            return text.replace("orders", "purchases")
        if "Final Answer: I cannot answer" in text:
            return "I now know the final answer.\nFinal Answer: There are none."
    return text


def apply_stop(text, stop):
    for s in stop or []:
        if s and s in text:
            text = text[:text.index(s)]
    return text


class Handler(BaseHTTPRequestHandler):
    mode = "ok"
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):  # quiet
        pass

    def send(self, status, body, content_type="application/json"):
        data = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def error(self, status, message):
        self.send(status, json.dumps({"error": {"message": message, "type": "invalid_request_error"}}))

    def do_GET(self):
        if self.path.rstrip("/").endswith("/models"):
            self.send(200, json.dumps({"object": "list", "data": [{"id": "standin", "object": "model"}]}))
        else:
            self.error(404, "no such path: %s" % self.path)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        try:
            request = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            return self.error(400, "the request body is not JSON")
        if not self.path.rstrip("/").endswith("/chat/completions"):
            return self.error(404, "no such path: %s" % self.path)
        if self.mode == "http-error":
            return self.error(503, "the stand-in model is overloaded")
        if self.mode == "non-json":
            return self.send(200, "<html><body>Gateway says hello</body></html>", "text/html")
        if self.mode == "bad-json":
            return self.send(200, "<html><body>Gateway says hello</body></html>")
        stream = bool(request.get("stream"))
        if stream and self.mode == "no-stream":
            return self.error(400, "this server does not stream")
        messages = request.get("messages") or []
        prompt = "\n".join(m.get("content") or "" for m in messages if isinstance(m, dict))
        text = apply_stop(reply_text(self.mode, prompt), request.get("stop"))
        model = request.get("model") or "standin"
        created = int(time.time())
        if not stream:
            return self.send(200, json.dumps({
                "id": "chatcmpl-standin", "object": "chat.completion", "created": created, "model": model,
                "choices": [{"index": 0, "message": {"role": "assistant", "content": text},
                             "finish_reason": "stop"}],
                "usage": {"prompt_tokens": len(prompt.split()), "completion_tokens": len(text.split()),
                          "total_tokens": len(prompt.split()) + len(text.split())}}))
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        pieces = [text[i:i + 16] for i in range(0, len(text), 16)] or [""]
        for i, piece in enumerate(pieces + [None]):
            delta = {"role": "assistant", "content": piece} if i == 0 else ({"content": piece} if piece else {})
            chunk = {"id": "chatcmpl-standin", "object": "chat.completion.chunk", "created": created, "model": model,
                     "choices": [{"index": 0, "delta": delta, "finish_reason": None if piece is not None else "stop"}]}
            self.wfile.write(b"data: " + json.dumps(chunk).encode("utf-8") + b"\n\n")
        self.wfile.write(b"data: [DONE]\n\n")


def main(argv=None):
    p = argparse.ArgumentParser(prog="standin_server.py", description=__doc__.split("\n\n")[0])
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free one)")
    p.add_argument("--mode", choices=MODES, default="ok")
    args = p.parse_args(argv)
    handler = type("StandinHandler", (Handler,), {"mode": args.mode})
    server = ThreadingHTTPServer(("127.0.0.1", args.port), handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    print("listening on http://127.0.0.1:%d/v1" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
