#!/usr/bin/env python3
"""A loopback HTTPS server that plays publishing services for the tests.

It answers by rules read from a JSON file (first matching rule with uses
left wins), records every request as one JSON line, and can cut a connection
part-way through a request body. Usage:

  fake_services.py --cert C --key K --rules R --log L --port-file P

A rule: {"method": "PUT", "path": "/prefix", "status": 200, "headers": {...},
"body": "text", "body_size": N, "times": N, "drop_after": BYTES, "range": true, "check": NAME}.
"path" matches the start of the request target (path and query). With
"drop_after" the server reads that many body bytes and closes the connection
without an answer. With "range" the answer carries "Range: bytes=0-(n-1)" for
the bytes received so far by earlier dropped requests to the same path.

With "check" the server refuses (400, {"error": ...}) what the real service
refuses before it answers by the rule:
  "oauth"          a token request: an authorization code the stand-in
                   browser issued (its "codes_file") and not used before,
                   whose code_verifier hashes to the challenge, for the same
                   client and redirect address; or a refresh token among
                   "refresh_tokens". With "secret", the client_secret too.
  "youtube_title"  videos.insert: a title of at most 100 characters
                   without "<" or ">".
  "little_text"    a LinkedIn post whose commentary escapes every reserved
                   character of the "little" format.
  "file_size"      an upload whose file_size header equals the bytes sent.
"""
import argparse
import base64
import hashlib
import http.server
import json
import socketserver
import ssl
import threading
import urllib.parse

lock = threading.Lock()
received = {}  # path -> body bytes kept by dropped requests
used_codes = set()
LITTLE_RESERVED = set("\\|{}@[]()<>#*_~")


def oauth_problem(rule, body):
    form = {k: v[0] for k, v in urllib.parse.parse_qs(body, keep_blank_values=True).items()}
    if "secret" in rule and form.get("client_secret") != rule["secret"]:
        return "invalid_client"
    grant = form.get("grant_type")
    if grant == "refresh_token":
        return None if form.get("refresh_token") in rule.get("refresh_tokens", []) else "invalid_grant"
    if grant != "authorization_code":
        return "unsupported_grant_type"
    issued = {}
    try:
        with open(rule["codes_file"]) as codes:
            for line in codes:
                entry = json.loads(line)
                issued[entry["code"]] = entry
    except OSError:
        pass
    code = form.get("code", "")
    entry = issued.get(code)
    with lock:
        if entry is None or code in used_codes:
            return "invalid_grant"
        used_codes.add(code)
    verifier = form.get("code_verifier", "")
    challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).decode().rstrip("=")
    if len(verifier) < 43 or challenge != entry["challenge"]:
        return "invalid_grant"
    if form.get("client_id") != entry["client_id"] or form.get("redirect_uri") != entry["redirect_uri"]:
        return "invalid_grant"
    return None


def little_ok(text):
    escaped = False
    for c in text:
        if escaped:
            if c not in LITTLE_RESERVED:
                return False
            escaped = False
        elif c == "\\":
            escaped = True
        elif c in LITTLE_RESERVED:
            return False
    return not escaped


def problem(rule, headers, body, length):
    check = rule.get("check")
    text = body.decode("utf-8", "replace")
    if check == "oauth":
        return oauth_problem(rule, text)
    if check == "youtube_title":
        title = json.loads(text).get("snippet", {}).get("title", "")
        return None if 0 < len(title) <= 100 and "<" not in title and ">" not in title else "invalidTitle"
    if check == "little_text":
        return None if little_ok(json.loads(text).get("commentary", "")) else "unescaped commentary"
    if check == "file_size":
        return None if headers.get("file_size") == str(length) else "file_size differs from the bytes sent"
    return None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def handle_any(self):
        rule = None
        with lock:
            for candidate in self.server.rules:
                if candidate.get("method", self.command) != self.command:
                    continue
                if not self.path.startswith(candidate.get("path", "")):
                    continue
                if candidate.get("times", 1) <= 0:
                    continue
                if "times" in candidate:
                    candidate["times"] -= 1
                rule = candidate
                break
        length = int(self.headers.get("Content-Length", "0") or 0)
        limit = rule.get("drop_after") if rule else None
        digest = hashlib.sha256()
        kept = bytearray()
        got = 0
        while got < length:
            want = min(65536, length - got)
            if limit is not None:
                want = min(want, limit - got)
                if want <= 0:
                    break
            chunk = self.rfile.read(want)
            if not chunk:
                break
            digest.update(chunk)
            if len(kept) < 65536:
                kept += chunk[: 65536 - len(kept)]
            got += len(chunk)
        entry = {
            "method": self.command,
            "path": self.path,
            "headers": {k.lower(): v for k, v in self.headers.items()},
            "header_lines": [f"{k}: {v}" for k, v in self.headers.items()],
            "length": got,
            "sha256": digest.hexdigest(),
            "body": kept.decode("utf-8", "replace"),
            "dropped": limit is not None,
        }
        with lock:
            with open(self.server.log, "a") as log:
                log.write(json.dumps(entry) + "\n")
        if limit is not None:
            with lock:
                received[self.path.split("?")[0]] = received.get(self.path.split("?")[0], 0) + got
            self.close_connection = True
            self.connection.shutdown(2)
            return
        status = rule.get("status", 200) if rule else 404
        body = (rule.get("body", "") if rule else "no rule").encode()
        if rule and "body_size" in rule:
            body = b"x" * rule["body_size"]
        refused = problem(rule, self.headers, bytes(kept), got) if rule else None
        if refused is not None:
            status, body, rule = 400, json.dumps({"error": refused}).encode(), {}
        self.send_response(status)
        for key, value in (rule.get("headers", {}) if rule else {}).items():
            self.send_header(key, value)
        if rule and rule.get("range"):
            with lock:
                have = received.get(self.path.split("?")[0], 0)
            if have > 0:
                self.send_header("Range", f"bytes=0-{have - 1}")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    do_GET = do_POST = do_PUT = handle_any


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--rules", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.rules = json.load(open(args.rules))
    server.log = args.log
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(args.port_file + ".tmp", "w") as out:
        out.write(str(server.server_address[1]))
    import os
    os.rename(args.port_file + ".tmp", args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
