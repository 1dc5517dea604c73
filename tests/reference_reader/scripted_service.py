"""A scripted local service on 127.0.0.1:11001 for run_reader_check.py.

Each request it receives is answered with the next answer queued by
expect(): a list of messages, each sent in a receive of its own. A message
is sent only once the client has read the previous one: its socket has
received every byte sent (tcp_info bytes_received, through sock_diag) and its
receive queue is empty. Where the answer says a progress callback follows a
message, the next message also waits for the host to report that callback.
Every request's bytes and the time (time.monotonic_ns(), CLOCK_MONOTONIC)
at which the client had read each message are recorded.
"""
import collections
import random
import selectors
import socket
import struct
import threading
import time

CLOSE = None  # a message that closes the connection instead
DEFAULT_REPLY = b'<ACK Result="success"/>'
GATE_SECONDS = 0.5

SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, NLMSG_ERROR = 20, 1, 2
NETLINK_SOCK_DIAG, INET_DIAG_INFO = 4, 2
TCPI_BYTES_RECEIVED = 128  # offset in struct tcp_info


class ClientReadProbe:
    """How much the client's end of a loopback connection has read."""

    def __init__(self):
        self.nl = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, NETLINK_SOCK_DIAG)
        self.seq = 0

    def state(self, client_port, service_port):
        """(bytes received, bytes waiting in the receive queue), or None."""
        self.seq += 1
        loopback = socket.inet_aton("127.0.0.1") + bytes(12)
        body = (struct.pack("=BBBBI", socket.AF_INET, socket.IPPROTO_TCP,
                            1 << (INET_DIAG_INFO - 1), 0, 0xFFFFFFFF)
                + struct.pack("!HH", client_port, service_port) + loopback + loopback
                + struct.pack("=III", 0, 0xFFFFFFFF, 0xFFFFFFFF))
        self.nl.send(struct.pack("=IHHII", 16 + len(body), SOCK_DIAG_BY_FAMILY,
                                 NLM_F_REQUEST, self.seq, 0) + body)
        data = self.nl.recv(65536)
        if struct.unpack_from("=H", data, 4)[0] == NLMSG_ERROR:
            return None
        msg = data[16:]
        queued = struct.unpack_from("=I", msg, 56)[0]
        offset = 72
        while offset + 4 <= len(msg):
            length, kind = struct.unpack_from("=HH", msg, offset)
            if kind == INET_DIAG_INFO:
                return struct.unpack_from("=Q", msg, offset + 4 + TCPI_BYTES_RECEIVED)[0], queued
            offset += (length + 3) & ~3
        return None


def inside_tag(data):
    """Whether the last '<' of `data` has no '>' after it."""
    lt = data.rfind(b"<")
    return lt >= 0 and data.find(b">", lt) < 0


class ScriptedService:
    def __init__(self, port=11001, seed=1):
        self.port = port
        self.listener = socket.create_server(("127.0.0.1", port), reuse_port=False)
        self.probe = ClientReadProbe()
        self.random = random.Random(seed)
        self.cond = threading.Condition()
        self.answers = collections.deque()
        self.requests = []   # [(bytes, monotonic ns)]
        self.reads = []      # [(request number, message number, monotonic ns)]
        self.notes = []      # gate failures, text
        self.callbacks = 0   # progress calls the host has reported
        self.op_done = False
        self.answered_at = None  # when the client had read the whole answer
        self.delivery = "each"  # "each", "joined" or "split"
        self.extra_delay_ms = 0.0
        self.conn = None
        threading.Thread(target=self._serve, daemon=True).start()

    # Called by the runner

    def expect(self, answers):
        """answers: one [(message, callbacks due after it), ...] a request."""
        with self.cond:
            self.answers = collections.deque(answers)

    def operation_started(self):
        with self.cond:
            self.op_done = False
            self.answered_at = None

    def operation_finished(self):
        with self.cond:
            self.op_done = True
            self.cond.notify_all()

    def callback_seen(self):
        with self.cond:
            self.callbacks += 1
            self.cond.notify_all()

    def take_log(self):
        with self.cond:
            log = (self.requests, self.reads, self.notes)
            self.requests, self.reads, self.notes = [], [], []
            self.answers.clear()
            return log

    # The service

    def _serve(self):
        sel = selectors.DefaultSelector()
        sel.register(self.listener, selectors.EVENT_READ)
        pending = b""
        while True:
            for key, _ in sel.select():
                if key.fileobj is self.listener:
                    if self.conn:
                        sel.unregister(self.conn)
                        self.conn.close()
                    self.conn, _ = self.listener.accept()
                    self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    self.sent_on_conn, pending = 0, b""
                    sel.register(self.conn, selectors.EVENT_READ)
                    continue
                try:
                    data = self.conn.recv(65536)
                except OSError:  # reset by a host that was stopped
                    data = b""
                if not data:
                    sel.unregister(self.conn)
                    self.conn.close()
                    self.conn = None
                    continue
                pending += data
                if pending.endswith(b"/>"):
                    request, pending = pending, b""
                    try:
                        keep = self._answer(request)
                    except OSError as e:
                        self.notes.append("connection failed while answering: %s" % e)
                        keep = False
                    self.answered_at = time.monotonic()
                    if not keep:
                        sel.unregister(self.conn)
                        self.conn.close()
                        self.conn = None

    def _answer(self, request):
        """Sends the answer to one request; False when it closed the connection."""
        with self.cond:
            number = len(self.requests)
            self.requests.append((request, time.monotonic_ns()))
            if self.answers:
                answer = self.answers.popleft()
            else:
                self.notes.append("unexpected request %r" % request)
                answer = [(DEFAULT_REPLY, 0)]
            callbacks_at_start = self.callbacks
        if self.delivery != "each":
            return self._send_pieces(number, answer)
        for index, (message, callbacks_due) in enumerate(answer):
            if message is CLOSE:
                self.reads.append((number, index, time.monotonic_ns()))
                self.conn.shutdown(socket.SHUT_RDWR)
                return False
            self.conn.sendall(message)
            self.sent_on_conn += len(message)
            if not self._wait_read():
                self.notes.append("message %d of request %d left unread: %r"
                                  % (index, number, message))
                return True
            self.reads.append((number, index, time.monotonic_ns()))
            if callbacks_due and not self._wait_callbacks(callbacks_at_start + callbacks_due):
                self.notes.append("no progress call after message %d of request %d before"
                                  " the next message: %r" % (index, number, message))
            if self.extra_delay_ms:
                time.sleep(self.random.uniform(0, self.extra_delay_ms) / 1000)
        return True

    def _send_pieces(self, number, answer):
        """All messages of an answer in one send ("joined"), or each message
        cut inside its tags, its pieces sent within the reader's short wait
        and the next message only once the client has read it ("split")."""
        messages = [m for m, _ in answer if m is not CLOSE]
        if self.delivery == "joined":
            messages = [b"".join(messages)]
        for message in messages:
            cuts = [0, len(message)]
            if self.delivery == "split":
                # A cut between two tags cannot be told from a whole message.
                inside = [i for i in range(1, len(message)) if inside_tag(message[:i])]
                cuts += self.random.sample(inside, min(len(inside), 2))
            cuts.sort()
            for a, b in zip(cuts, cuts[1:]):
                self.conn.sendall(message[a:b])
                if b < len(message):
                    time.sleep(self.random.uniform(0, 0.05))
            self.sent_on_conn += len(message)
            if not self._wait_read():
                break
        if CLOSE in [m for m, _ in answer]:
            self.conn.shutdown(socket.SHUT_RDWR)
            return False
        self.reads.append((number, 0, time.monotonic_ns()))
        return True

    def _wait_read(self):
        """True once the client has read all sent so far; False when the
        operation returned without reading it or after GATE_SECONDS."""
        client_port = self.conn.getpeername()[1]
        deadline = time.monotonic() + GATE_SECONDS
        spins = 0
        while time.monotonic() < deadline:
            state = self.probe.state(client_port, self.port)
            if state is None:
                return False
            if state[0] >= self.sent_on_conn and state[1] == 0:
                return True
            if self.op_done and spins > 100:
                return False
            spins += 1
            time.sleep(0 if spins < 200 else 0.0002)
        return False

    def _wait_callbacks(self, count):
        with self.cond:
            return self.cond.wait_for(lambda: self.callbacks >= count or self.op_done,
                                      GATE_SECONDS) and self.callbacks >= count
