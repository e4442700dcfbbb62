#!/usr/bin/env python3
"""A stand-in browser for the sign-in tests, installed as xdg-open.

It records the address it was asked to open, and (in the background, so that
the opener returns at once) plays the provider: it calls the address's
redirect_uri back, first with the requests listed in FAKE_BROWSER_BEFORE
(comma-separated: "wrong-state", "wrong-host", "silent"), then with the real
state and FAKE_BROWSER_CODE (or "error=access_denied" when that is empty),
and records each answer's status line.
"""
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


def main():
    url = sys.argv[1]
    log = os.environ.get("FAKE_BROWSER_LOG", "/dev/null")
    with open(log, "a") as out:
        out.write("open " + url + "\n")
    if "redirect_uri=" not in url:
        return
    if os.fork() != 0:
        return
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)
    redirect = urllib.parse.urlsplit(query["redirect_uri"][0])
    state = query["state"][0]
    port = redirect.port
    host = f"127.0.0.1:{port}"
    code = os.environ.get("FAKE_BROWSER_CODE", "")
    answers = []
    for step in filter(None, os.environ.get("FAKE_BROWSER_BEFORE", "").split(",")):
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
