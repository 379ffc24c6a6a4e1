#!/usr/bin/python3
"""A second, independent driver "acdc" (port "\\vorpex") written from the protocol alone.

It serves abstract SOCK_SEQPACKET endpoints "fltmgr/filter/<name>" and "fltmgr/port/<name>",
runs a Lua host (host.lua) against the library, and checks that every message gets
exactly one 32-bit-status-0 reply of 32 bytes with the code the library must choose.

Usage: driver.py LUA HOST_SCRIPT [NAME=VALUE ...], the pairs added to the host's
environment. Exits 0 when everything conformed.
"""
import os
import select
import socket
import struct
import subprocess
import sys
import time

MESSAGE_SIZE = 3176
REPLY_SIZE = 32
E_INVALIDARG = 0x80070057
ALREADY_LOADED = 0x80070420
REPLY_ERROR, REPLY_ALLOW, REPLY_IGNORE = 1, 2, 4


def listen(name):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET | socket.SOCK_CLOEXEC)
    s.bind(b"\0fltmgr/" + name.encode())
    s.listen(8)
    return s


def hresult(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def message(message_id, type_, event_id, pid, name=""):
    """One event message: header (reply length, padding, message id), then the body."""
    body = bytearray(MESSAGE_SIZE)
    struct.pack_into("<IIQ", body, 0, REPLY_SIZE, 0, message_id)
    struct.pack_into("<IIIII", body, 20, type_, event_id, 0, pid, 1)
    encoded = name.encode("utf-16-le")[:1024]
    struct.pack_into("<I", body, 92, len(encoded))
    body[104:104 + len(encoded)] = encoded
    return bytes(body)


class Driver:
    def __init__(self):
        self.filter = listen("filter/acdc")
        self.port = None
        self.loaded = False
        self.events = None
        self.control = None
        self.host_pid = None
        self.pending = []      # accepted, context not read yet
        self.replies = {}      # message id -> list of (code, id, eta, error)
        self.failures = []
        self.commands = []
        self.outbox = []       # event packets not yet sent: sent as the socket takes them

    def fail(self, text):
        self.failures.append(text)

    def sockets(self):
        return [self.filter] + self.pending + [s for s in (self.port, self.events, self.control) if s is not None]

    def serve(self, sock):
        if sock is self.filter:
            conn, _ = self.filter.accept()
            request = conn.recv(16)
            if request == b"load":
                if self.loaded:
                    conn.send(hresult(ALREADY_LOADED))
                else:
                    self.loaded = True
                    self.port = listen("port/vorpex")
                    conn.send(hresult(0))
            elif request == b"unload":
                self.drain()
                self.loaded = False
                for s in (self.port, self.events, self.control):
                    if s is not None:
                        s.close()
                self.port = self.events = self.control = None
                conn.send(hresult(0))
            else:
                self.fail("filter request %r" % request)
            conn.close()
        elif sock is self.port:
            conn, _ = self.port.accept()
            self.pending.append(conn)
        elif sock in self.pending:
            self.pending.remove(sock)
            context = sock.recv(64)
            kind, pid = struct.unpack("<II", context) if len(context) == 8 else (0, self.host_pid)
            if pid != self.host_pid:
                self.fail("context pid %d, host %d" % (pid, self.host_pid))
            if kind == 2 and self.events is None:
                self.events = sock
            elif kind == 1 and self.control is None:
                self.control = sock
            else:
                self.fail("context %r" % context)
                sock.send(hresult(E_INVALIDARG))
                sock.close()
                return
            sock.send(hresult(0))
        elif sock is self.events:
            packet = sock.recv(256)
            if not packet:
                self.events = sock.close()
                return
            if len(packet) != REPLY_SIZE:
                self.fail("reply of %d bytes" % len(packet))
                return
            status, _, message_id, code, event_id, eta, error = struct.unpack("<iIQIIII", packet)
            if status != 0:
                self.fail("reply status %d" % status)
            self.replies.setdefault(message_id, []).append((code, event_id, eta, error))
        elif sock is self.control:
            packet = sock.recv(1 << 16)
            if not packet:
                self.control = sock.close()
                return
            out_size, = struct.unpack_from("<I", packet)
            self.commands.append((out_size, packet[4:]))
            sock.send(hresult(0) + self.command(packet[4:])[:out_size])

    def drain(self):
        """Takes the replies still queued: the host sent them before it unloaded."""
        while self.events is not None:
            ready, _, _ = select.select([self.events], [], [], 0)
            if not ready:
                return
            self.serve(self.events)

    def command(self, text):
        if not text.endswith(b"\0"):
            self.fail("command without its NUL: %r" % text)
        text = text.rstrip(b"\0")
        if text == b'"beworker"':
            return b"true"
        if text == b'"stream"':
            self.stream()
            return b'{"sent":true}'
        if text == b'"next"':
            self.outbox.append(message(600, 18, 77, 1, "C:\\app.exe"))
            return b'{"id":77,"MessageId":600,"names":["a","b"]}'
        return b'{"echo":"' + text + b'"}'

    # Messages the library answers natively, and what each must be answered with.
    def stream(self):
        self.expected = {}
        own = self.host_pid
        plan = [
            (1001, 13, 1, 1, REPLY_ERROR),            # no handler
            (1002, 13, 2, own, REPLY_IGNORE),         # the host's own
            (1003, 0, 3, 1, REPLY_ERROR),             # outside 1 to 49
            (1004, 50, 4, 1, REPLY_ERROR),
            ((1 << 40) + 5, 13, 5, own, REPLY_IGNORE),  # a 64-bit message id
        ]
        plan += [(2000 + i, 13, 100 + i, own if i % 2 else 1, REPLY_IGNORE if i % 2 else REPLY_ERROR)
                 for i in range(200)]
        for message_id, type_, event_id, pid, code in plan:
            self.outbox.append(message(message_id, type_, event_id, pid, "C:\\x\\file.txt"))
            self.expected[message_id] = (code, event_id)
        self.outbox.append(b"\x01" * 15)                          # no header: dropped
        self.outbox.append(message(3001, 13, 31, 1)[:100])         # short: REPLY_ERROR
        self.outbox.append(message(3002, 13, 32, 1) + b"\0\0")     # long: REPLY_ERROR
        self.expected.update({3001: (REPLY_ERROR, 31), 3002: (REPLY_ERROR, 32)})

    def check(self):
        for message_id, (code, event_id) in sorted(self.expected.items()):
            got = self.replies.get(message_id, [])
            if got != [(code, event_id, 0, 0)]:
                self.fail("message %d: replies %r, expected one (%d, %d)" % (message_id, got, code, event_id))
        if self.replies.get(600) != [(REPLY_ALLOW, 77, 0, 0)]:
            self.fail("the host's reply to 600: %r" % self.replies.get(600))
        stray = set(self.replies) - set(self.expected) - {600}
        if stray:
            self.fail("replies to messages never sent: %r" % sorted(stray))
        if not self.commands or self.commands[0] != (4096, b'"beworker"\0'):
            self.fail("first command %r" % (self.commands[:1],))


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    lua, script = sys.argv[1], sys.argv[2]
    env = dict(os.environ)
    for pair in sys.argv[3:]:
        name, _, value = pair.partition("=")
        env[name] = value
    driver = Driver()
    host = subprocess.Popen([lua, script], env=env)
    driver.host_pid = host.pid
    deadline = time.monotonic() + 60
    while host.poll() is None and time.monotonic() < deadline:
        writing = [driver.events] if driver.outbox and driver.events is not None else []
        ready, writable, _ = select.select(driver.sockets(), writing, [], 0.1)
        for sock in ready:
            if sock in driver.sockets():
                driver.serve(sock)
        if writable and driver.events is not None:
            while driver.outbox:
                try:
                    driver.events.send(driver.outbox[0], socket.MSG_DONTWAIT)
                except BlockingIOError:
                    break
                driver.outbox.pop(0)
    if host.poll() is None:
        host.kill()
        driver.fail("the host did not finish within 60 s")
    elif host.returncode != 0:
        driver.fail("the host exited with %d" % host.returncode)
    driver.check()
    for text in driver.failures:
        print("conformance: " + text, file=sys.stderr)
    if not driver.failures:
        print("conformance: %d replies, %d commands, all as the protocol says"
              % (sum(len(r) for r in driver.replies.values()), len(driver.commands)))
    return 1 if driver.failures else 0


if __name__ == "__main__":
    sys.exit(main())
