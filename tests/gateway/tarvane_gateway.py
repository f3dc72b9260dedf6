#!/usr/bin/env python3
"""Local TLS test gateway for TarvaneLink.

Serves canned gateway replies over real TLS, one request per connection,
HTTP/1.0 replies, connection closed after every reply. Every request is
recorded as one JSON line so tests can check exactly what the client sent.

Usage:
  tarvane_gateway.py --replies DIR [--record FILE] [--ready FILE]
                     [--exit-with-parent] --listen ADDR:PORT,CERT,KEY ...

Paths (query text after "?" is ignored for routing but recorded; any method
is answered the same way):
  /reply/<name>            200, text/plain, exact bytes of DIR/<name>.reply
  /status/<code>/<name>    HTTP status <code> (200..599) with that body
  /redirect/<name>         302, Location: https://<Host>/reply/redirect_followed,
                           the canned <name> as the 302's own body. A client
                           that follows shows a second request in the record
                           and ends with the redirect_followed reply.
  /delay/<ms>/<name>       wait <ms> (at most 120000) then /reply/<name>
  /delay/<ms>/<path...>    wait <ms> then answer /<path...> (e.g.
                           /delay/100/status/500/accepted)
  /long/<bytes>            200, body of exactly <bytes> bytes:
                           "Accepted=LONGAUTH\\r\\n" then "." filler
  /long/<bytes>/<tail>     same, the body ending in <tail> (ASCII as written
                           in the path), e.g. /long/8191/refcode=END puts
                           "refcode=END" in the last 11 bytes
  /hostile/dribble/<name>  head and body one byte per write, 10 ms apart
                           (less when needed to stay within 5 s in total)
  /hostile/close-mid/<name> head (full Content-Length) and half the body,
                           then TCP close without TLS close_notify
  /hostile/reset           read the request, then RST (SO_LINGER 0, close)
  /hostile/nul             200, body "Accepted=A1\\r\\n\\0historyid=H\\r\\n"
  /hostile/megabyte        200, 1 MiB body beginning "Accepted=MEG\\r\\n"
  /hostile/garbage         bytes that are not HTTP at all, then close
  /hostile/silent          read the request, never answer; close when the
                           client closes or after 120 s
  anything else            404 with a small HTML page (also an unknown <name>)

Record (--record): one JSON object per request, appended and flushed before
the reply is written, so it is complete once the client has its reply:
  listener  "ADDR:PORT" of the listener that took the connection
  peer      "ADDR:PORT" of the client
  sni       server name the client sent in its TLS hello, or null
  tls       negotiated TLS version, e.g. "TLSv1.3"
  time      seconds since the epoch when the request was complete
  method, path, version   the request line's three parts, exactly as sent
                          (path includes any query; version e.g. "HTTP/1.0")
  headers   [[name, value], ...] in the order received; the value without
            the blanks around it
  raw_head  the request head as latin-1 text, line ends included
  body      the body as latin-1 text; body_hex the same bytes in hex
  complete  false when the client closed before the head or the
            Content-Length body had fully arrived

--ready FILE is written (atomically) once every listener is bound.
--exit-with-parent makes the gateway stop when its parent process ends.
TLS handshake failures (clients refusing our certificate) are logged to
stderr and never stop the server.
"""

import argparse
import http
import json
import os
import re
import signal
import socket
import ssl
import struct
import sys
import threading
import time

HEAD_LIMIT = 65536
BODY_LIMIT = 16 * 1024 * 1024
IO_TIMEOUT = 30.0
SILENT_HOLD = 120.0
MAX_DELAY_MS = 120000
DRIBBLE_PAUSE = 0.010
DRIBBLE_BUDGET = 5.0
MAX_LONG = 64 * 1024 * 1024

NAME_RE = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9_.-]*$")

NUL_BODY = b"Accepted=A1\r\n\0historyid=H\r\n"
GARBAGE = b"\x00\x01\x02*** no http here ***\xfe\xff\r\n\x7f\x1b[0m"

NOT_FOUND_PAGE = (b"<html><head><title>404 Not Found</title></head>"
                  b"<body><h1>Not Found</h1>"
                  b"<p>No such path on this test gateway.</p></body></html>\r\n")


def log(msg):
    sys.stderr.write("tarvane_gateway: %s\n" % msg)
    sys.stderr.flush()


class Recorder:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", encoding="utf-8") if path else None

    def write(self, entry):
        if self.file is None:
            return
        line = json.dumps(entry, ensure_ascii=True) + "\n"
        with self.lock:
            self.file.write(line)
            self.file.flush()


class Request:
    def __init__(self):
        self.raw_head = b""
        self.method = ""
        self.path = ""
        self.version = ""
        self.headers = []
        self.body = b""
        self.complete = False

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None


def find_head_end(buf):
    """Index just past the blank line that ends the head, or -1."""
    crlf = buf.find(b"\r\n\r\n")
    lf = buf.find(b"\n\n")
    ends = [i + 4 for i in [crlf] if i >= 0] + [i + 2 for i in [lf] if i >= 0]
    return min(ends) if ends else -1


def parse_head(raw, req):
    text = raw.decode("latin-1")
    lines = text.split("\n")
    lines = [ln[:-1] if ln.endswith("\r") else ln for ln in lines]
    while lines and lines[-1] == "":
        lines.pop()
    if not lines:
        return
    parts = lines[0].split(" ")
    req.method = parts[0]
    req.path = parts[1] if len(parts) > 1 else ""
    req.version = " ".join(parts[2:]) if len(parts) > 2 else ""
    for line in lines[1:]:
        if line[:1] in (" ", "\t") and req.headers:
            req.headers[-1][1] += line
            continue
        name, sep, value = line.partition(":")
        req.headers.append([name, value.strip(" \t") if sep else ""])


def read_request(conn, req):
    """Read head and body. Returns False when nothing at all arrived."""
    buf = b""
    end = -1
    while end < 0 and len(buf) < HEAD_LIMIT:
        chunk = conn.recv(16384)
        if not chunk:
            break
        buf += chunk
        end = find_head_end(buf)
    if end < 0:
        req.raw_head = buf
        parse_head(buf, req)
        return len(buf) > 0
    req.raw_head = buf[:end]
    parse_head(req.raw_head, req)
    body = buf[end:]

    expect = req.header("Expect")
    if expect and expect.lower() == "100-continue" and req.version == "HTTP/1.1":
        conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")

    length = req.header("Content-Length")
    chunked = (req.header("Transfer-Encoding") or "").lower() == "chunked"
    if length is not None and length.isdigit():
        want = min(int(length), BODY_LIMIT)
        while len(body) < want:
            chunk = conn.recv(min(65536, want - len(body)))
            if not chunk:
                req.body = body
                return True
            body += chunk
        req.body = body[:want]
    elif chunked:
        # Kept undecoded, so a test sees that the client chunked at all.
        while not body.endswith(b"0\r\n\r\n") and len(body) < BODY_LIMIT:
            chunk = conn.recv(65536)
            if not chunk:
                req.body = body
                return True
            body += chunk
        req.body = body
    else:
        req.body = body
    req.complete = True
    return True


def reason_of(code):
    try:
        return http.HTTPStatus(code).phrase
    except ValueError:
        return "Status %d" % code


def response(code, body, content_type="text/plain", extra=()):
    head = ["HTTP/1.0 %d %s" % (code, reason_of(code)),
            "Server: tarvane-test-gateway",
            "Content-Type: %s" % content_type,
            "Content-Length: %d" % len(body)]
    head.extend(extra)
    head.append("Connection: close")
    return ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body


def long_body(size, tail=b""):
    prefix = b"Accepted=LONGAUTH\r\n"
    if size <= len(prefix) + len(tail):
        return (prefix + tail)[:size]
    return prefix + b"." * (size - len(prefix) - len(tail)) + tail


class Action:
    """What to do with a connection after the request has been read."""

    def __init__(self, kind, data=b"", delay=0.0):
        self.kind = kind  # send | dribble | close-mid | reset | garbage | silent
        self.data = data
        self.delay = delay


class Gateway:
    def __init__(self, replies_dir, recorder):
        self.replies_dir = replies_dir
        self.recorder = recorder

    def canned(self, name):
        if not NAME_RE.match(name):
            return None
        try:
            with open(os.path.join(self.replies_dir, name + ".reply"), "rb") as f:
                return f.read()
        except OSError:
            return None

    def not_found(self):
        return Action("send", response(404, NOT_FOUND_PAGE, "text/html"))

    def route(self, path, host, depth=0):
        segs = path.split("/")[1:] if path.startswith("/") else []
        if not segs or depth > 4:
            return self.not_found()
        head, args = segs[0], segs[1:]

        if head == "reply" and len(args) == 1:
            body = self.canned(args[0])
            return Action("send", response(200, body)) if body is not None else self.not_found()

        if head == "status" and len(args) == 2 and args[0].isdigit():
            code = int(args[0])
            body = self.canned(args[1])
            if 200 <= code <= 599 and body is not None:
                return Action("send", response(code, body))
            return self.not_found()

        if head == "redirect" and len(args) == 1:
            body = self.canned(args[0])
            if body is None:
                return self.not_found()
            location = "https://%s/reply/redirect_followed" % host
            return Action("send", response(302, body, extra=["Location: " + location]))

        if head == "delay" and len(args) >= 2 and args[0].isdigit():
            ms = min(int(args[0]), MAX_DELAY_MS)
            rest = "/reply/" + args[1] if len(args) == 2 else "/" + "/".join(args[1:])
            action = self.route(rest, host, depth + 1)
            action.delay += ms / 1000.0
            return action

        if head == "long" and 1 <= len(args) <= 2 and args[0].isdigit():
            size = int(args[0])
            if size > MAX_LONG:
                return self.not_found()
            tail = args[1].encode("latin-1") if len(args) == 2 else b""
            return Action("send", response(200, long_body(size, tail)))

        if head == "hostile" and args:
            mode, rest = args[0], args[1:]
            if mode in ("dribble", "close-mid") and len(rest) == 1:
                body = self.canned(rest[0])
                if body is None:
                    return self.not_found()
                if mode == "dribble":
                    return Action("dribble", response(200, body))
                whole = response(200, body)
                return Action("close-mid", whole[:len(whole) - len(body) + len(body) // 2])
            if rest:
                return self.not_found()
            if mode == "reset":
                return Action("reset")
            if mode == "nul":
                return Action("send", response(200, NUL_BODY))
            if mode == "megabyte":
                prefix = b"Accepted=MEG\r\n"
                return Action("send", response(200, prefix + b"." * (1048576 - len(prefix))))
            if mode == "garbage":
                return Action("garbage", GARBAGE)
            if mode == "silent":
                return Action("silent")
        return self.not_found()


def tls_close(conn):
    """close_notify, then close; never raises."""
    try:
        conn.settimeout(1.0)
        conn.unwrap().close()
        return
    except (OSError, ValueError):
        pass
    try:
        conn.close()
    except OSError:
        pass


def hold_silent(conn):
    deadline = time.monotonic() + SILENT_HOLD
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        conn.settimeout(min(left, 5.0))
        try:
            if not conn.recv(4096):
                return
        except socket.timeout:
            continue
        except (OSError, ValueError):
            return


def handle_connection(gw, ctx, raw, peer, listener):
    conn = None
    try:
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        raw.settimeout(IO_TIMEOUT)
        conn = ctx.wrap_socket(raw, server_side=True, do_handshake_on_connect=False)
        conn.tarvane_sni = None
        try:
            conn.do_handshake()
        except (OSError, ValueError) as e:
            log("%s: TLS handshake with %s:%d failed: %s" % (listener, peer[0], peer[1], e))
            conn.close()
            return

        req = Request()
        try:
            got = read_request(conn, req)
        except (OSError, ValueError) as e:
            log("%s: reading request from %s:%d failed: %s" % (listener, peer[0], peer[1], e))
            got = len(req.raw_head) > 0
        if not got:
            tls_close(conn)
            return

        gw.recorder.write({
            "listener": listener,
            "peer": "%s:%d" % peer[:2],
            "sni": conn.tarvane_sni,
            "tls": conn.version(),
            "time": time.time(),
            "method": req.method,
            "path": req.path,
            "version": req.version,
            "headers": req.headers,
            "raw_head": req.raw_head.decode("latin-1"),
            "body": req.body.decode("latin-1"),
            "body_hex": req.body.hex(),
            "complete": req.complete,
        })
        if not req.complete:
            conn.close()
            return

        host = req.header("Host") or listener.rsplit(":", 1)[0]
        action = gw.route(req.path.split("?", 1)[0], host)
        if action.delay > 0:
            time.sleep(action.delay)

        if action.kind == "send":
            conn.sendall(action.data)
            tls_close(conn)
        elif action.kind == "dribble":
            pause = min(DRIBBLE_PAUSE, DRIBBLE_BUDGET / max(1, len(action.data)))
            for i in range(len(action.data)):
                conn.sendall(action.data[i:i + 1])
                time.sleep(pause)
            tls_close(conn)
        elif action.kind in ("close-mid", "garbage"):
            conn.sendall(action.data)
            conn.close()
        elif action.kind == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()
        elif action.kind == "silent":
            hold_silent(conn)
            conn.close()
    except (OSError, ValueError) as e:
        log("%s: connection from %s:%d: %s" % (listener, peer[0], peer[1], e))
    finally:
        for s in (conn, raw):
            try:
                if s is not None:
                    s.close()
            except OSError:
                pass


def make_context(cert, key):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(cert, key)

    def remember_sni(sslsock, server_name, _ctx):
        sslsock.tarvane_sni = server_name
        return None

    ctx.sni_callback = remember_sni
    return ctx


def serve(gw, sock, ctx, listener):
    while True:
        try:
            raw, peer = sock.accept()
        except OSError as e:
            log("%s: accept failed: %s" % (listener, e))
            time.sleep(0.05)
            continue
        t = threading.Thread(target=handle_connection,
                             args=(gw, ctx, raw, peer, listener), daemon=True)
        t.start()


def parse_listen(listen_arg):
    parts = listen_arg.split(",")
    if len(parts) != 3:
        raise argparse.ArgumentTypeError("--listen wants ADDRESS:PORT,CERT,KEY, got %r" % listen_arg)
    addr, port = parts[0].rsplit(":", 1)
    return addr.strip("[]"), int(port), parts[1], parts[2]


def watch_parent(parent):
    while True:
        time.sleep(0.5)
        if os.getppid() != parent:
            log("parent went away, stopping")
            os._exit(0)


def main():
    ap = argparse.ArgumentParser(description="TarvaneLink local TLS test gateway")
    ap.add_argument("--listen", action="append", type=parse_listen, required=True,
                    metavar="ADDR:PORT,CERT,KEY")
    ap.add_argument("--replies", required=True, metavar="DIR")
    ap.add_argument("--record", metavar="FILE")
    ap.add_argument("--ready", metavar="FILE")
    ap.add_argument("--exit-with-parent", action="store_true")
    args = ap.parse_args()

    if args.exit_with_parent:
        threading.Thread(target=watch_parent, args=(os.getppid(),), daemon=True).start()

    gw = Gateway(args.replies, Recorder(args.record))
    bound = []
    for addr, port, cert, key in args.listen:
        ctx = make_context(cert, key)
        family = socket.AF_INET6 if ":" in addr else socket.AF_INET
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((addr, port))
        sock.listen(128)
        name = "%s:%d" % (addr, sock.getsockname()[1])
        bound.append((sock, ctx, name))

    for sock, ctx, name in bound:
        threading.Thread(target=serve, args=(gw, sock, ctx, name), daemon=True).start()

    if args.ready:
        tmp = args.ready + ".tmp"
        with open(tmp, "w") as f:
            f.write("".join(name + "\n" for _, _, name in bound))
        os.rename(tmp, args.ready)
    log("listening on " + " ".join(name for _, _, name in bound))

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    while not stop.wait(1.0):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
