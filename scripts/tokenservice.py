#!/usr/bin/env python3
"""A small OAuth2 authorization server for the loopback test servers.

Serves over HTTPS on 127.0.0.1 the device authorization endpoint (RFC 8628),
the token endpoint (device code and refresh token grants) and the
introspection endpoint (RFC 7662) that Dovecot's oauth2 passdb asks. Tokens
live in memory. The tests steer it through /control/...: approve a device
code for a user, expire a user's access tokens, revoke a user's refresh
tokens, turn refresh token rotation on, and read counters.

    tokenservice.py PORT CERT KEY CLIENT_ID
"""
import json
import secrets
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MAX_BODY = 64 * 1024

lock = threading.Lock()
state = {
    "devices": {},      # device_code -> {user_code, username, expires}
    "access": {},       # access token -> {username, expires}
    "refresh": {},      # refresh token -> username
    "access_lifetime": 3600,
    "rotate": False,
    "refreshes": 0,
    "client_id": "",
}


def issue(username, with_refresh=True):
    access = "at-" + secrets.token_urlsafe(24)
    state["access"][access] = {"username": username,
                               "expires": time.time() + state["access_lifetime"]}
    reply = {"access_token": access, "token_type": "Bearer",
             "expires_in": state["access_lifetime"]}
    if with_refresh:
        refresh = "rt-" + secrets.token_urlsafe(24)
        state["refresh"][refresh] = username
        reply["refresh_token"] = refresh
    return reply


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        sys.stderr.write("tokenservice: " + (fmt % args) + "\n")

    def reply(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)

    def form(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY:
            return None
        raw = self.rfile.read(length).decode("utf-8", "replace")
        if self.headers.get("Content-Type", "").startswith("application/json"):
            return json.loads(raw or "{}")
        return {k: v[0] for k, v in urllib.parse.parse_qs(raw).items()}

    def do_GET(self):
        if self.path == "/control/stats":
            with lock:
                self.reply(200, {"refreshes": state["refreshes"],
                                 "refresh_tokens": len(state["refresh"])})
            return
        if self.path == "/control/pending":
            with lock:
                codes = [e["user_code"] for e in state["devices"].values()
                         if e["username"] is None]
                self.reply(200, {"user_codes": codes})
            return
        self.reply(404, {"error": "not_found"})

    def do_POST(self):
        fields = self.form()
        if fields is None:
            self.reply(413, {"error": "invalid_request"})
            return
        path = self.path.split("?")[0]
        with lock:
            handler = {
                "/device": self.device,
                "/token": self.token,
                "/introspect": self.introspect,
                "/control/approve": self.approve,
                "/control/expire": self.expire,
                "/control/revoke": self.revoke,
                "/control/settings": self.settings,
            }.get(path)
            if handler is None:
                self.reply(404, {"error": "not_found"})
            else:
                handler(fields)

    def device(self, f):
        if f.get("client_id") != state["client_id"]:
            self.reply(401, {"error": "invalid_client"})
            return
        code = secrets.token_urlsafe(16)
        user_code = "%04d-%04d" % (secrets.randbelow(10000), secrets.randbelow(10000))
        state["devices"][code] = {"user_code": user_code, "username": None,
                                  "expires": time.time() + 120}
        self.reply(200, {"device_code": code, "user_code": user_code,
                         "verification_uri": "https://127.0.0.1/device",
                         "interval": 1, "expires_in": 120})

    def token(self, f):
        if f.get("client_id") != state["client_id"]:
            self.reply(401, {"error": "invalid_client"})
            return
        grant = f.get("grant_type")
        if grant == "urn:ietf:params:oauth:grant-type:device_code":
            entry = state["devices"].get(f.get("device_code", ""))
            if entry is None or entry["expires"] < time.time():
                self.reply(400, {"error": "expired_token"})
            elif entry["username"] is None:
                self.reply(400, {"error": "authorization_pending"})
            else:
                del state["devices"][f["device_code"]]
                self.reply(200, issue(entry["username"]))
        elif grant == "refresh_token":
            old = f.get("refresh_token", "")
            username = state["refresh"].get(old)
            if username is None:
                self.reply(400, {"error": "invalid_grant",
                                 "error_description": "refresh token revoked or unknown"})
                return
            state["refreshes"] += 1
            if state["rotate"]:
                del state["refresh"][old]
                self.reply(200, issue(username))
            else:
                self.reply(200, issue(username, with_refresh=False))
        else:
            self.reply(400, {"error": "unsupported_grant_type"})

    def introspect(self, f):
        entry = state["access"].get(f.get("token", ""))
        if entry is None or entry["expires"] < time.time():
            self.reply(200, {"active": "false"})
        else:
            self.reply(200, {"active": "true", "username": entry["username"]})

    def approve(self, f):
        for entry in state["devices"].values():
            if entry["user_code"] == f.get("user_code"):
                entry["username"] = f.get("username")
                self.reply(200, {"ok": True})
                return
        self.reply(404, {"error": "no such code"})

    def expire(self, f):
        for entry in state["access"].values():
            if entry["username"] == f.get("username"):
                entry["expires"] = 0
        self.reply(200, {"ok": True})

    def revoke(self, f):
        for token in [t for t, u in state["refresh"].items() if u == f.get("username")]:
            del state["refresh"][token]
        self.reply(200, {"ok": True})

    def settings(self, f):
        if "access_lifetime" in f:
            state["access_lifetime"] = int(f["access_lifetime"])
        if "rotate" in f:
            state["rotate"] = f["rotate"] in ("1", "yes", "true")
        self.reply(200, {"ok": True})


def main():
    port, cert, key, client_id = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
    state["client_id"] = client_id
    server = ThreadingHTTPServer(("127.0.0.1", int(port)), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
