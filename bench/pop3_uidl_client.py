#!/usr/bin/env python3
"""The least a client can do for a scan that finds nothing new: Python's poplib
logging in, sending UIDL and LIST for the whole mailbox, and QUIT.

usage: pop3_uidl_client.py HOST PORT USER PASSWORD REPETITIONS
Prints one JSON object: the seconds of each pass, login to QUIT.
"""
import json
import poplib
import sys
import time


def main():
    host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    repetitions = int(sys.argv[5])
    passes = []
    for _ in range(repetitions):
        started = time.perf_counter()
        pop = poplib.POP3(host, port, timeout=30)
        pop.user(user)
        pop.pass_(password)
        ids = pop.uidl()[1]
        sizes = pop.list()[1]
        pop.quit()
        passes.append(time.perf_counter() - started)
        if len(ids) != len(sizes) or not ids:
            sys.exit("UIDL and LIST disagree or are empty")
    print(json.dumps({"passes": passes}))


if __name__ == "__main__":
    main()
