#!/usr/bin/python3
"""The lab's package server: one FTP account over a root folder, with switchable faults.

Usage: ftp_server.py LABDIR HOST

Serves LABDIR/ftp/root on HOST:21 for the account velqorn/ftp604817, active and passive mode.
Every command line the clients send is logged (the password masked) to standard output, which the
lab redirects to LABDIR/ftp.log. Faults are read from LABDIR/ftp-faults.json on every command:
  {"refuse_login": true}             every PASS is answered with 530
  {"drop_after": {"/a/b.zip": 100}}  a RETR of /a/b.zip sends 100 bytes, then the data connection
                                     is closed and the transfer answered with 426
  {"stop_after": {"/a/b.zip": 100}}  a RETR of /a/b.zip sends 100 bytes, then the whole server
                                     stops itself (SIGSTOP): connections stay open, nothing answers
                                     until `lab resume NAME ftp`
  {"refuse_retr_left": 2}            the 2nd RETR from now is answered with 550 (the server counts
                                     down in the file itself)
  {"refuse_size_mdtm": true}         SIZE and MDTM are answered with 502, as by an older server
  {"throttle": 1000000}              every data connection made from now on sends at most that many
                                     bytes a second
  {"max_per_address": 1}             a client address holds at most 1 control connection at a time;
                                     one more is answered with 421 and closed
Once listening, the server writes its PID to LABDIR/ftp.ready.
"""

import errno
import json
import logging
import os
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FileProducer, FTPHandler, ThrottledDTPHandler, _FileReadWriteError
from pyftpdlib.servers import FTPServer

USER = "velqorn"
PASSWORD = "ftp604817"
PORT = 21


class Faults:
    def __init__(self, path):
        self.path = path

    def read(self):
        try:
            with open(self.path) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def write(self, faults):
        tmp = self.path + ".server.tmp"
        with open(tmp, "w") as f:
            json.dump(faults, f)
        os.replace(tmp, self.path)

    def take_retr_refusal(self):
        """Counts one RETR; True when this is the one to refuse."""
        faults = self.read()
        left = faults.get("refuse_retr_left")
        if not left:
            return False
        left -= 1
        if left > 0:
            faults["refuse_retr_left"] = left
        else:
            del faults["refuse_retr_left"]
        self.write(faults)
        return left == 0


def drop_connection():
    """Fails the transfer like a broken connection."""
    raise _FileReadWriteError(errno.ECONNABORTED, "dropped by the lab")


def stop_server():
    """Stops the whole server (SIGSTOP); once continued, the rest of the file follows."""
    sys.stdout.flush()
    os.kill(os.getpid(), signal.SIGSTOP)


class LimitedProducer:
    """Hands out `limit` bytes of a file; asked for more, calls `at_limit`, and when that returns,
    hands out the rest."""

    def __init__(self, file, transfer_type, limit, at_limit):
        self.inner = FileProducer(file, transfer_type)
        self.left = limit
        self.at_limit = at_limit

    def more(self):
        if self.left is not None and self.left <= 0:
            self.at_limit()
            self.left = None
        data = self.inner.more()
        if self.left is not None:
            data = data[: self.left]
            self.left -= len(data)
        return data


class LabDTPHandler(ThrottledDTPHandler):
    """A data connection, which sends no more than the throttle fault's bytes a second when that
    is on when the connection is made."""

    def __init__(self, sock, cmd_channel):
        self.write_limit = int(cmd_channel.faults.read().get("throttle", 0))
        super().__init__(sock, cmd_channel)


class LabHandler(FTPHandler):
    use_sendfile = False  # the limited producer must see every byte
    dtp_handler = LabDTPHandler
    faults = None

    def handle(self):
        """Greets a new control connection, or turns it away when its address already holds as
        many as the max-per-address fault allows. The server counts this connection among its
        address's (ip_map) before it gets here, and drops it from there when it closes."""
        limit = self.faults.read().get("max_per_address")
        if limit and self.server.ip_map.count(self.remote_ip) > int(limit):
            self.respond("421 Too many connections from this address")
            self.close_when_done()
            return
        return super().handle()

    def pre_process_command(self, line, cmd, arg):
        shown = "PASS ******" if cmd == "PASS" else line
        self.log("<- %s" % shown)
        return super().pre_process_command(line, cmd, arg)

    def respond(self, resp, logfun=logging.debug):
        self.log("-> %s" % resp)
        return super().respond(resp, logfun)

    def ftp_PASS(self, line):
        if self.faults.read().get("refuse_login"):
            self.respond("530 Authentication failed (lab fault).")
            return
        return super().ftp_PASS(line)

    def ftp_SIZE(self, path):
        if self.faults.read().get("refuse_size_mdtm"):
            self.respond("502 Command not implemented (lab fault).")
            return
        return super().ftp_SIZE(path)

    def ftp_MDTM(self, path):
        if self.faults.read().get("refuse_size_mdtm"):
            self.respond("502 Command not implemented (lab fault).")
            return
        return super().ftp_MDTM(path)

    def ftp_RETR(self, file):
        if self.faults.take_retr_refusal():
            self.respond("550 Refused (lab fault).")
            return
        faults = self.faults.read()
        path = self.fs.fs2ftp(file)
        limit = faults.get("drop_after", {}).get(path)
        stop = faults.get("stop_after", {}).get(path)
        if limit is None and stop is None:
            return super().ftp_RETR(file)
        try:
            fd = self.run_as_current_user(self.fs.open, file, "rb")
        except OSError as err:
            self.respond("550 %s." % err.strerror)
            return
        if stop is not None:
            producer = LimitedProducer(fd, self._current_type, int(stop), stop_server)
        else:
            producer = LimitedProducer(fd, self._current_type, int(limit), drop_connection)
        self.push_dtp_data(producer, isproducer=True, file=fd, cmd="RETR")
        return file


def main():
    lab_dir, host = sys.argv[1], sys.argv[2]
    logging.basicConfig(
        stream=sys.stdout,
        level=logging.INFO,
        format="[%(asctime)s] %(message)s",
    )
    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, os.path.join(lab_dir, "ftp", "root"), perm="elradfmwMT")
    LabHandler.authorizer = authorizer
    LabHandler.faults = Faults(os.path.join(lab_dir, "ftp-faults.json"))
    LabHandler.banner = "lab package server ready."
    server = FTPServer((host, PORT), LabHandler)
    ready = os.path.join(lab_dir, "ftp.ready")
    with open(ready + ".tmp", "w") as f:
        f.write("%d\n" % os.getpid())
    os.replace(ready + ".tmp", ready)
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
