#!/usr/bin/python3
"""A loopback FTP server for the update tests.

Usage: ftp_server.py ROOT PORTFILE LOGIN PASSWORD [SECONDS]
Serves ROOT read-only to LOGIN on 127.0.0.1 at a free port, writes the port
to PORTFILE once it listens, and ends after SECONDS (default 300) at most.
Every command's name is appended to PORTFILE.commands as it arrives. The
server offers no TLS: it answers AUTH TLS with a refusal.
"""
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.log import config_logging
from pyftpdlib.servers import FTPServer


class RecordingHandler(FTPHandler):
    command_file = None

    def pre_process_command(self, line, cmd, arg):
        with open(self.command_file, "a") as out:
            out.write(cmd + "\n")
        return super().pre_process_command(line, cmd, arg)


def main():
    root, port_file, login, password = sys.argv[1:5]
    seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 300.0
    config_logging(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(login, password, root, perm="elr")
    handler = RecordingHandler
    handler.command_file = port_file + ".commands"
    handler.authorizer = authorizer
    handler.passive_ports = None
    handler.banner = "test server ready"
    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    tmp = port_file + ".tmp"
    with open(tmp, "w") as out:
        out.write(str(port))
    os.rename(tmp, port_file)
    # The time limit ends the server even when the test that started it died.
    threading.Timer(seconds, lambda: os._exit(0)).start()
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
