#!/usr/bin/env python3
"""Fills the benchmark's mailboxes directly in the loopback servers' Maildirs.

usage: fill_mailboxes.py ENVFILE LARGE_USER LARGE_MB MANY_USER MANY_COUNT
"""
import os
import random
import sys


def read_env(path):
    values = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            values[key] = value
    return values


def put(maildir, index, text, uid, gid):
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    name = "%010d.M%06dP%dQ%08d.iwbench" % (1700000000 + index, 0, os.getpid(), index)
    tmp = os.path.join(maildir, "tmp", name)
    with open(tmp, "wb") as f:
        f.write(text)
    if os.geteuid() == 0:
        os.chown(tmp, uid, gid)
    os.rename(tmp, os.path.join(maildir, "new", name))


def header(index, subject):
    return ("Return-Path: <sender%d@iw.test>\r\n"
            "Received: from client.iw.test by mx.iw.test; Tue, 8 Dec 2026 01:00:00 +0000\r\n"
            "From: Sender %d <sender%d@iw.test>\r\n"
            "To: bench@iw.test\r\n"
            "Subject: %s\r\n"
            "Date: Tue, 08 Dec 26 01:%02d:%02d GMT\r\n"
            "Message-ID: <%d.bench@iw.test>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=us-ascii\r\n"
            "\r\n" % (index, index, index, subject, index // 60 % 60, index % 60, index))


def main():
    env = read_env(sys.argv[1])
    large_user, large_mb = sys.argv[2], int(sys.argv[3])
    many_user, many_count = sys.argv[4], int(sys.argv[5])
    root, domain = env["IW_MAIL_ROOT"], env["IW_MAIL_DOMAIN"]
    uid, gid = int(env["IW_MAIL_UID"]), int(env["IW_MAIL_GID"])
    rng = random.Random(4711)
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"

    # One large message: base64-like lines, now and then a line with a dot.
    pool = ["".join(rng.choice(letters) for _ in range(76)) for _ in range(1024)]
    lines = []
    size = 0
    while size < large_mb << 20:
        line = pool[rng.randrange(len(pool))]
        if len(lines) % 97 == 0:
            line = "." + line
        lines.append(line)
        size += len(line) + 2
    text = header(0, "large attachment") + "\r\n".join(lines) + "\r\n"
    put(os.path.join(root, domain, large_user, "Maildir"), 0, text.encode(), uid, gid)

    # Many ordinary messages of 1 to 6 kB.
    words = ["mail", "filter", "friend", "meeting", "report", "the", "and", "today", ".dot"]
    for i in range(1, many_count + 1):
        body = []
        for _ in range(rng.randint(15, 80)):
            body.append(" ".join(rng.choice(words) for _ in range(rng.randint(5, 12))))
        text = header(i, "message %d" % i) + "\r\n".join(body) + "\r\n"
        put(os.path.join(root, domain, many_user, "Maildir"), i, text.encode(), uid, gid)


if __name__ == "__main__":
    main()
