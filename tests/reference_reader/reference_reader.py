"""Reference reader of the local service protocol, written independently of
the library: the reply scanner byte by byte and the client's reading of each
request, one receive taken as one message.

It runs in two ways:
  * as a model: a Client over a ScriptedReceives transport (a list of receive
    texts), which run_reader_check.py compares with the library;
  * as a real client: `reference_reader.py --client` speaks the same stdin/stdout
    script as reader_check_host over a socket to 127.0.0.1:11001, for the
    benchmark.
"""
import json
import socket
import sys
import time

# Where the library deliberately reads differently from the plain protocol
# reader. These are the only places the two part; each switch is applied
# once, where its name appears below.
LIBRARY_CHOICES = {
    # A '/' inside a double-quoted value is part of the value; outside quotes
    # a '/' not after '<' is still skipped.
    "slash_kept_in_quotes": True,
    # A login reply whose Result is present and not "success" returns -3 with
    # the error state set from errcode/errtext, and logs no one in.
    "login_checks_result": True,
    # A request value (path or login field) holding '"' returns -1; nothing
    # is sent.
    "quote_in_value_refused": True,
    # A message longer than 4096 bytes is read whole (cases stay <= 4096).
    "long_message_whole": True,
    # A close before a listing's or transfer's final message returns -1
    # rather than the last socket error (0: a failure reported as success).
    "close_mid_stream_fails": True,
}

REPLY_PLAIN, REPLY_ACK, REPLY_RPT = 0, 1, 2
RECV_SIZE = 4096
CLOSE = None          # in a list of receives: the service closes the connection
SOCKET_ERROR = "socket error"  # a positive Windows Sockets code, value not judged
UNKNOWN = "unknown"   # a result the reader cannot foretell (dead socket)
U64 = (1 << 64) - 1


class ReaderWaits(Exception):
    """The reader would block in another receive."""


# --------------------------------------------------------------------------
# Reply document and scanner


def ascii_lower(b):
    return bytes(b).lower()  # bytes.lower() folds ASCII letters only


class ReplyDocument:
    def __init__(self):
        self.msg_type = REPLY_PLAIN
        self.elements = []  # [(name, [(attr_name, attr_value), ...])]

    def clear(self):
        self.elements = []

    def find_attribute(self, wanted):
        wanted = ascii_lower(wanted)
        for _, attrs in self.elements:
            for k, v in attrs:
                if ascii_lower(k) == wanted:
                    return v
        return None

    def parse(self, text):
        text = text.split(b"\0", 1)[0]
        if not text:
            return -1
        start = text.find(b"<")
        if start < 0:
            return 1
        head = text[start + 1:start + 5]
        if len(head) == 4 and head[3] == 0x20 and ascii_lower(head[:3]) == b"ack":
            self.msg_type = REPLY_ACK
        elif len(head) == 4 and head[3] == 0x20 and ascii_lower(head[:3]) == b"rpt":
            self.msg_type = REPLY_RPT
        else:
            self.msg_type = REPLY_PLAIN
        quoted = in_name = False
        pname, pvalue = bytearray(), bytearray()
        name, attrs = bytearray(), []

        def store(c):
            (name if in_name else pvalue if quoted else pname).append(c)

        def flush():
            if pname:
                attrs.append((bytes(pname), bytes(pvalue)))
                pname.clear()
                pvalue.clear()

        for i in range(start, len(text)):
            c = text[i]
            if c in (0x20, 0x09, 0x0A):
                if quoted:
                    store(c)
                elif in_name:
                    in_name = False
                else:
                    flush()
            elif c == 0x22:
                if quoted:
                    quoted = False
                    flush()
                else:
                    quoted = True
            elif c == 0x2F:  # '/'
                if quoted and LIBRARY_CHOICES["slash_kept_in_quotes"]:
                    store(c)
                elif text[i - 1] == 0x3C:
                    in_name = True
                    pvalue.clear()
            elif c == 0x3C and not quoted:
                in_name = True
                pvalue.clear()
            elif c == 0x3D and not quoted:
                pass
            elif c == 0x3E and not quoted:
                self.elements.append((bytes(name), list(attrs)))
                name.clear()
                attrs.clear()
            else:
                store(c)
        return 0


def atoi64(value):
    """Reads like the C runtime's _atoi64: blanks, one sign, digits."""
    if value is None:
        return 0
    s = value.lstrip(b" \t\n\v\f\r")
    sign = 1
    if s[:1] in (b"+", b"-"):
        sign = -1 if s[:1] == b"-" else 1
        s = s[1:]
    digits = b""
    for c in s:
        if 0x30 <= c <= 0x39:
            digits += bytes([c])
        else:
            break
    return sign * int(digits) if digits else 0


# --------------------------------------------------------------------------
# Transports: a script of receives (the model) or a socket (a real client)


class ScriptedReceives:
    """Receives taken from a list; records what was sent and consumed."""

    def __init__(self, receives):
        self.receives = list(receives)
        self.sent = []
        self.consumed = 0

    def connect(self):
        pass

    def send(self, data):
        self.sent.append(data)

    def recv(self):
        if self.consumed == len(self.receives):
            raise ReaderWaits()
        self.consumed += 1
        return self.receives[self.consumed - 1]

    def close(self):
        pass


class SocketTransport:
    def __init__(self, host="127.0.0.1", port=11001):
        self.address = (host, port)
        self.sock = None

    def connect(self):
        self.sock = socket.create_connection(self.address)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send(self, data):
        self.sock.sendall(data)

    def recv(self):
        data = self.sock.recv(RECV_SIZE)
        return data if data else CLOSE

    def close(self):
        if self.sock:
            self.sock.close()
            self.sock = None


# --------------------------------------------------------------------------
# The client


class Client:
    """One service connection as the host's client reads it.

    sock is "none" (no socket), "open" or "dead" (the service closed it; the
    client does not notice, as the protocol reads). err_code None: unknown.
    """

    def __init__(self, transport=None):
        self.io = transport
        self.sock = "none"
        self.connected = self.logged_in = False
        self.client_id = b""
        self.err_code, self.err_text = None, ""
        self.reply = ReplyDocument()

    # Plumbing shared by the requests

    def go_online(self):
        if not self.connected:
            self.io.connect()
            self.sock, self.connected = "open", True
        return 0

    def go_offline(self):
        if self.sock != "none":
            self.io.close()
        self.sock, self.connected = "none", False

    def send(self, request):
        """None when sent; otherwise the result of the failed send."""
        if self.sock == "none":
            return SOCKET_ERROR
        if self.sock == "dead":
            return UNKNOWN
        self.io.send(request)
        return None

    def receive(self):
        data = self.io.recv()
        if data is CLOSE:
            self.sock = "dead"
            return b""
        return data

    def exchange(self, request):
        failed = self.send(request)
        if failed is not None:
            return failed
        text = self.receive()
        self.reply.clear()
        return self.reply.parse(text)

    def set_reply_error(self):
        code = self.reply.find_attribute(b"errcode")
        text = self.reply.find_attribute(b"errtext")
        self.err_code = -1 if code is None else to_int32(atoi64(code))
        self.err_text = "" if text is None else text.decode("utf-8", "replace")

    def result_succeeded(self):
        result = self.reply.find_attribute(b"Result")
        return result is not None and ascii_lower(result) == b"success"

    def check_result(self):
        if self.result_succeeded():
            return 0
        self.set_reply_error()
        return -3

    # Requests

    def login(self, user, password, project, client_type):
        if self.logged_in:
            return {"ret": 0}
        values = [user, password, project, client_type]
        if refuses_quote(*values):
            return {"ret": -1}
        self.go_online()
        u, p, pn, ct = (utf8(v) for v in values)
        ret = self.exchange(b'<login User="%s" Password="%s" ProjectName="%s" ClientType="%s"'
                            b' ClientID="0"/>' % (u, p, pn, ct))
        if ret == 0:
            result = self.reply.find_attribute(b"Result")
            if (LIBRARY_CHOICES["login_checks_result"] and result is not None
                    and ascii_lower(result) != b"success"):
                self.set_reply_error()
                return {"ret": -3}
            cid = self.reply.find_attribute(b"ClientID")
            self.client_id = cid if cid is not None else b""
            self.logged_in = cid is not None
        return {"ret": ret}

    def logout(self):
        ret = self.exchange(b'<logout ClientID="%s"/>' % self.client_id)
        self.go_offline()
        self.logged_in = False
        return {"ret": ret}

    def getfileinfo(self, path, backup_type, reversion):
        untouched = {"ret": -1, "info": info_fields(None, backup_type, reversion)}
        if not path:
            return untouched
        if refuses_quote(path):
            return {"ret": -1}  # whether `data` is zeroed first is not judged
        zero = {"info": info_fields([0] * 3, backup_type, reversion)}
        ret = self.exchange(b'<GetFileInfo PathName="%s" ClientID="%s"/>'
                            % (utf8(path), self.client_id))
        if ret != 0:
            return {"ret": ret, **zero}
        result = self.reply.find_attribute(b"Result")
        if result is None:
            return {"ret": 0, **zero}
        if ascii_lower(result) != b"success":
            self.set_reply_error()
            return {"ret": -3, **zero}
        find = self.reply.find_attribute
        times = [atoi64(find(n)) & U64 for n in (b"Size", b"CreateTime", b"LastModifyTime")]
        bt, rv = find(b"BackupType"), find(b"Reversion")
        return {"ret": 0, "info": info_fields(
            times, backup_type if bt is None else to_int32(atoi64(bt)),
            reversion if rv is None else to_int32(atoi64(rv)))}

    def adddir(self, path):
        return self._change(b'<AddDir PathName="%s" ClientID="%s" />', path, True)

    def removedir(self, path):
        return self._change(b'<RemoveFile PathName="%s" ClientID="%s"/>', path, True)

    def removefile(self, path):
        return self._change(b'<RemoveFile PathName="%s" ClientID="%s"/>', path, False)

    def _change(self, form, path, drop_trailing_backslash):
        if not path or refuses_quote(path):
            return {"ret": -1}
        name = utf8(path)
        if drop_trailing_backslash and name.endswith(b"\\"):
            name = name[:-1]
        ret = self.exchange(form % (name, self.client_id))
        return {"ret": ret if ret != 0 else self.check_result()}

    def getfilelist(self, path, recursive):
        entries = []
        out = {"entries": entries}
        if refuses_quote(path):
            return {"ret": -1, **out}
        request = b'<GetFileList StartDir="%s" SearchSubDirs="%s" ClientId="%s"/>' % (
            utf8(path or ""), b"true" if recursive else b"false", self.client_id)
        self.go_online()
        failed = self.send(request)
        if failed is not None:
            return {"ret": failed, **out}
        self.reply.clear()
        while True:
            text = self.receive()
            if self.sock == "dead":
                return {"ret": closed_mid_stream(), **out}
            if self.reply.parse(text) != 0:
                if self.reply.msg_type == REPLY_RPT:
                    continue
                return {"ret": len(text), **out}
            if not self.result_succeeded():
                self.set_reply_error()
                return {"ret": -3, **out}
            for name, attrs in self.reply.elements[1:]:
                parent = leaf = None
                for k, v in attrs:
                    if ascii_lower(k) == b"parentdir":
                        parent = v
                    if ascii_lower(k) == b"name":
                        leaf = v
                if parent is not None and leaf is not None:
                    entries.append([int(ascii_lower(name) == b"dir"),
                                    (parent + leaf).decode("utf-8", "replace")])
            if self.reply.msg_type != REPLY_RPT:
                return {"ret": 0, **out}
            self.reply.clear()

    def transfer(self, element, local_path, storage_path, callback=None):
        calls = []
        out = {"cbs": calls}
        if not local_path or not storage_path or refuses_quote(local_path, storage_path):
            return {"ret": -1, **out}
        failed = self.send(b'<%s PathName="%s" LocalPathName="%s" ClientID="%s"/>' % (
            element, utf8(storage_path), utf8(local_path), self.client_id))
        if failed is not None:
            return {"ret": failed, **out}
        self.reply.clear()
        while True:
            text = self.receive()
            if self.sock == "dead":
                return {"ret": closed_mid_stream(), **out}
            if self.reply.parse(text) != 0:
                continue
            if self.reply.msg_type != REPLY_RPT:
                return {"ret": self.check_result(), **out}
            total = atoi64(self.reply.find_attribute(b"TotalBytes")) & U64
            done = atoi64(self.reply.find_attribute(b"CompleteBytes")) & U64
            calls.append([done, total])
            if callback:
                callback(done, total)
            self.reply.clear()

    def run(self, op, args, callback=None):
        """One script operation (see reader_check_host.cpp); returns its result."""
        if op == "login":
            return self.login(*args)
        if op == "logout":
            return self.logout()
        if op == "getfileinfo":
            return self.getfileinfo(args[0], int(args[1]), int(args[2]))
        if op in ("adddir", "removedir", "removefile"):
            return getattr(self, op)(args[0])
        if op == "getfilelist":
            return self.getfilelist(args[0], args[1] == "1")
        if op in TRANSFER_ELEMENTS:
            return self.transfer(TRANSFER_ELEMENTS[op], args[0], args[1], callback)
        raise ValueError(op)


TRANSFER_ELEMENTS = {"addfile": b"AddFile", "updatefile": b"UpdateFile",
                     "downloadfile": b"DownloadFile"}


def closed_mid_stream():
    return -1 if LIBRARY_CHOICES["close_mid_stream_fails"] else 0


def refuses_quote(*values):
    return LIBRARY_CHOICES["quote_in_value_refused"] and any(v and '"' in v for v in values)


def utf8(text):
    return (text or "").encode("utf-8")


def to_int32(n):
    n &= 0xFFFFFFFF
    return n - (1 << 32) if n >= 1 << 31 else n


def info_fields(values, backup_type, reversion):
    """The WIN32_FILE_ATTRIBUTE_DATA fields as the host prints them; None:
    the record the host passed, untouched."""
    if values is None:
        return {"untouched": True, "backup_type": backup_type, "reversion": reversion}
    size, created, modified = values
    return {"attributes": 0, "size": [size >> 32, size & 0xFFFFFFFF],
            "created": [created >> 32, created & 0xFFFFFFFF], "accessed": [0, 0],
            "modified": [modified >> 32, modified & 0xFFFFFFFF],
            "backup_type": backup_type, "reversion": reversion}


# --------------------------------------------------------------------------
# The script: one operation a line, arguments tab-separated, each "h" and
# the hex of its UTF-8 text, or "~" for a null pointer.


def encode_args(args):
    return "".join("\t" + ("~" if a is None else "h" + a.encode("utf-8").hex()) for a in args)


def decode_args(fields):
    return [None if f == "~" else bytes.fromhex(f[1:]).decode("utf-8") for f in fields]


def serve_script(stdin, stdout):
    """The reader as a real client over a socket, one JSON line per call."""
    client = Client(SocketTransport())
    for line in stdin:
        fields = line.rstrip("\n").split("\t")
        op, args = fields[0], decode_args(fields[1:])

        def callback(done, total):
            stdout.write(json.dumps({"cb": [done, total], "t": time.monotonic_ns(), "ctx": 1}) + "\n")
            stdout.flush()

        out = client.run(op, args, callback)
        out.pop("cbs", None)
        if "entries" in out:
            out["entries"] = [[d, p.encode("utf-8").hex()] for d, p in out["entries"]]
        if out["ret"] in (SOCKET_ERROR, UNKNOWN):
            out["ret"] = 10054
        out.update(op=op, t=time.monotonic_ns(),
                   err_code=client.err_code if client.err_code is not None else 0,
                   err_msg=(client.err_text or "").encode("utf-8").hex())
        stdout.write(json.dumps(out) + "\n")
        stdout.flush()


if __name__ == "__main__":
    if sys.argv[1:] == ["--client"]:
        serve_script(sys.stdin, sys.stdout)
    else:
        sys.exit("usage: reference_reader.py --client  (a script on stdin)")
