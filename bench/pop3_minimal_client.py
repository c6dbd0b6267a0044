#!/usr/bin/env python3
"""The minimal POP3 client of the comparison: Python's poplib issuing the
same commands as a scan (TOP n 500, then LIST n, for every message).

usage: pop3_minimal_client.py HOST PORT USER PASSWORD COUNT REPETITIONS
Prints one JSON object: the seconds of each pass.
"""
import json
import poplib
import sys
import time


def main():
    host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    count, repetitions = int(sys.argv[5]), int(sys.argv[6])
    passes = []
    # One session per pass, as a scan has; login and logout are not timed.
    for _ in range(repetitions):
        pop = poplib.POP3(host, port, timeout=30)
        pop.user(user)
        pop.pass_(password)
        started = time.perf_counter()
        for i in range(1, count + 1):
            pop.top(i, 500)
            pop.list(i)
        passes.append(time.perf_counter() - started)
        pop.quit()
    print(json.dumps({"passes": passes}))


if __name__ == "__main__":
    main()
