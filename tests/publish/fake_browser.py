#!/usr/bin/env python3
"""A stand-in browser for the sign-in tests, installed as xdg-open.

It records the address it was asked to open (the program's one-time
loopback address) and, in the background so that the opener returns at
once, follows it: the listener's redirect gives the provider's
authorization address, recorded as "authorize ...". Then it plays the
provider: it issues FAKE_BROWSER_CODE for the address's code_challenge,
client_id and redirect_uri (one JSON line in the log's ".codes" file, which
the fake token endpoint reads), and calls the redirect_uri back, first with
the requests listed in FAKE_BROWSER_BEFORE (comma-separated: "wrong-state",
"wrong-host", "silent"; "beaten" makes another client open the one-time
address first, as another local user could), then with the real state and
the code (or "error=access_denied" when the code is empty), and records each
answer's status line.
"""
import json
import os
import socket
import sys
import time
import urllib.parse


def call(port, target, host):
    connection = socket.create_connection(("127.0.0.1", port), timeout=10)
    connection.sendall(f"GET {target} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
    reply = b""
    while True:
        chunk = connection.recv(4096)
        if not chunk:
            break
        reply += chunk
    connection.close()
    return reply.decode("utf-8", "replace")


def location(reply):
    for line in reply.split("\r\n"):
        if line.lower().startswith("location: "):
            return line[10:]
    return None


def main():
    url = sys.argv[1]
    log = os.environ.get("FAKE_BROWSER_LOG", "/dev/null")
    with open(log, "a") as out:
        out.write("open " + url + "\n")
    start = urllib.parse.urlsplit(url)
    if start.scheme != "http" or start.hostname != "127.0.0.1" or not start.path.startswith("/start/"):
        return
    if os.fork() != 0:
        return
    port = start.port
    host = f"127.0.0.1:{port}"
    steps = list(filter(None, os.environ.get("FAKE_BROWSER_BEFORE", "").split(",")))
    answers = []
    if "beaten" in steps:
        answers.append(call(port, start.path, host))
    opened = call(port, start.path, host)
    provider = location(opened)
    if provider is None:
        answers.append(opened)
        with open(log, "a") as out:
            for answer in answers:
                out.write("answer " + answer.replace("\r\n", "|") + "\n")
        return
    with open(log, "a") as out:
        out.write("authorize " + provider + "\n")
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(provider).query)
    redirect = urllib.parse.urlsplit(query["redirect_uri"][0])
    state = query["state"][0]
    code = os.environ.get("FAKE_BROWSER_CODE", "")
    if code:
        with open(log + ".codes", "a") as codes:
            codes.write(json.dumps({"code": urllib.parse.unquote(code), "challenge": query["code_challenge"][0],
                                    "client_id": query["client_id"][0],
                                    "redirect_uri": query["redirect_uri"][0]}) + "\n")
    port = redirect.port
    for step in steps:
        if step == "wrong-state":
            answers.append(call(port, f"/callback?state=not-{state}&code=stolen", host))
        elif step == "wrong-host":
            answers.append(call(port, f"/callback?state={state}&code=stolen", "evil.example"))
        elif step == "silent":
            silent = socket.create_connection(("127.0.0.1", port), timeout=10)
            time.sleep(1.5)
            silent.close()
            answers.append("silent")
    tail = f"code={code}" if code else "error=access_denied"
    answers.append(call(port, f"/callback?{tail}&state={urllib.parse.quote(state)}", host))
    with open(log, "a") as out:
        for answer in answers:
            out.write("answer " + answer.replace("\r\n", "|") + "\n")


if __name__ == "__main__":
    main()
