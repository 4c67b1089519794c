#!/usr/bin/env python3
"""A loopback HTTP/1.1 server that misbehaves on purpose, for the HTTP transport's tests.

    python3 fault_server.py --root MEDIA_DIR [--port 0]

Listens on 127.0.0.1, prints "PORT <n>" as its first line on stdout (and nothing after it), then
serves until it is killed. Every connection runs on its own thread and gets one answer, after
which the server closes it (unless the path below says it holds it open). A client that goes
away at any point only ends its own connection.

Every request head (request line and header lines, byte for byte as received, with the blank
line that ended it) is recorded before it is answered, so a test can check what the client sent:

    GET /_requests   200, the recorded heads one after another (each ends in its blank line)
    GET /_reset      200, forgets them (and restarts every /live-seq/ address at its first step)
    GET /_rate?prefix=P&bps=N
                     200, from now on /hls-rate/ sends files whose NAME starts with P at N bytes
                     per second (N = 0 lifts the limit of P); the longest matching prefix wins.
                     The change reaches transfers already under way within 50 ms.
    GET /_rate       200, lifts every limit
Requests for /_requests, /_reset and /_rate are not recorded.

NAME is a file in the media folder (percent-encoded where needed; no "..").
"Ranges" means the answer honours "Range: bytes=a-" (and "bytes=a-b") as /file/ does: 206 with
"Content-Range: bytes a-b/total" and only those bytes, 416 when a is at or past the end. HEAD gets
the same head without a body. CODE is an HTTP status number.

  path                            answer
  ------------------------------  --------------------------------------------------------------
  /file/NAME                      200 + Content-Length and the file; ranges (the correct baseline)
  /redirect/CODE/N/NAME           CODE with an absolute Location to /redirect/CODE/N-1/NAME;
                                  N = 0 points at /file/NAME (N redirects follow this one)
  /redirect-loop/CODE             CODE with Location pointing at this same address
  /redirect-relative/CODE/NAME    CODE with "Location: /file/NAME" (no scheme, no host)
  /redirect-ftp/CODE/NAME         CODE with "Location: ftp://127.0.0.1/NAME"
  /redirect-none/CODE             CODE without a Location header
  /redirect-to/CODE/URL           CODE with "Location: URL" (the rest of the path, verbatim:
                                  /redirect-to/302/https://127.0.0.1:8443/x.mp4)
  /ignore-range/NAME              200 and the whole file, whatever Range asked for
  /wrong-range/NAME               206 from 1000 bytes past the requested start (the request's
                                  start + 1000, or 0 past the end), with a Content-Range that
                                  says so and the body from there
  /bad-total/TOTAL/NAME           ranges, but the Content-Range total is the text TOTAL (e.g. *,
                                  abc, 999999999); a request without Range still gets 206
  /status/CODE                    CODE with a short text body and Content-Length
  /status-1000                    "HTTP/1.1 1000 Weird"
  /bad-status-line                "HTTP/1.1OK" (no blank before a code)
  /bad-status-line/nodigits       "HTTP/1.1 OK"
  /bad-status-line/garbage        binary bytes, then a line feed
  /long-header[/LEN]              a good 200 ("ok") with one header line of LEN bytes (default
                                  9000, over 8 KiB)
  /socket-timeout/VALUE/NAME      /file/NAME plus "X-SocketTimeout: VALUE" (VALUE percent-decoded)
  /chunked/NAME                   200, Transfer-Encoding: chunked; the file (the range asked for,
                                  206) in chunks of varying sizes, some with ";x=y" extensions
                                  and upper-case hex, then "0" and the blank line
  /chunked-sizes/S1,S2,.../NAME   200 chunked: chunks of exactly those sizes (decimal) holding the
                                  first S1+S2+... bytes of NAME, then the zero chunk (no ranges)
  /chunked-trailers/NAME          as /chunked/NAME, with two trailer header lines after the zero chunk
  /chunked-bad-size               200 chunked whose first chunk-size line is "zz"
  /chunked-no-terminator          200 chunked: "5", then "hello" followed by "XX" instead of CRLF
  /chunked-unsupported            200 with "Transfer-Encoding: gzip" and a few bytes
  /no-length/NAME                 200 without Content-Length, the file, then close (a range is
                                  answered 206 with "Content-Range: bytes a-b/*", no length)
  /stall-headers                  reads the request, sends nothing, holds the connection
  /stall-mid-headers              sends the status line and one header line, then holds
  /stall-body/N/NAME              the full head (ranges) and N bytes of the body, then holds
  /close-body/N/NAME              the full head (ranges) and N bytes of the body, then closes
  /trickle/BPS/NAME               /file/NAME at BPS bytes per second (ranges), in small writes
  /hls-rate/NAME                  /file/NAME at the rate /_rate set for NAME (ranges); unlimited
                                  without one. A playlist fetched here names its segments and
                                  variants relatively, so a whole presentation goes through it:
                                  /hls-rate/hls/vod/master.m3u8 with /_rate?prefix=hls/vod/v2/...
  /cut-at/N/NAME                  the head of /file/NAME (ranges, the full Content-Length), but
                                  the body never goes past byte N of the file: the bytes up to N
                                  (none when the range starts at or after N), then close. A retry
                                  with a Range from where it broke off is cut again.
  /live-seq/S1,S2,.../NAME        a live media playlist (no end tag) of 5 segments whose media
                                  sequence is S1 on the first GET of this address, S2 on the
                                  second, ... and the last value from then on (10,11,5 jumps
                                  back). NAME is a media playlist whose segments are the pool:
                                  sequence s is segment s modulo the pool's size, named by an
                                  absolute http://.../file/... address, with its own duration.
                                  Each address counts its GETs on its own (/_reset restarts them).
  /reset-at/N/NAME                as /cut-at/N/NAME, but the connection ends with a reset (RST)
                                  instead of a FIN; a range at or past N gets the head, then RST
  /stall-at/N/NAME                as /cut-at/N/NAME, but holds instead of closing: no byte past N
                                  ever comes, on any connection
  /reset-span/N/M/NAME            bytes N up to M of the file never come: a transfer that gets
                                  to N (or starts between N and M) is reset there; a range that
                                  starts at M or later is answered as /file/ does (an index at
                                  the end of the file stays readable)
  /stall-span/N/M/NAME            as /reset-span/, but the connection holds at N instead
  /reset-headers                  reads the request, then resets the connection (nothing sent)
  /reset-mid-headers              sends the status line and one header line, then resets
  /long-length/N/NAME             200 with a Content-Length N bytes over the file's size, the
                                  whole file, then close (no ranges)
  /short-length/N/NAME            200 with a Content-Length N bytes under the file's size, then
                                  the whole file anyway (no ranges)
  /slow-window/A/B/BPS/NAME       /file/NAME (ranges), the file's bytes from A up to B sent at
                                  BPS bytes per second, the rest at full speed
  /hls-fault/NAME?seg=K&segvia=P&keyvia=Q
                                  the media playlist NAME with every segment and key address made
                                  absolute: segment number K (0 = the first listed) as /P/DIR/URI,
                                  every key as /Q/DIR/URI, all others as /file/DIR/URI (DIR is
                                  NAME's folder). P and Q are fault path prefixes ("status/404",
                                  "reset-at/5000"); without seg or keyvia nothing is rerouted.
A query "sto=N" on any address adds "X-SocketTimeout: N" to the answer's head.

A live playlist that never changes needs no path of its own: the static file
hls/bad/live_frozen.m3u8 (from scripts/make_fixtures.sh) has no end tag and is the same on every
request (/file/hls/bad/live_frozen.m3u8 here, or through nginx).

"Holds" means the connection stays open and silent until the client closes it or the server is
killed. Unknown paths get 404; a NAME that is not a file gets 404.
"""

import argparse
import os
import re
import struct
import signal
import socket
import sys
import threading
import time
import urllib.parse

HEAD_LIMIT = 65536
COPY_BLOCK = 65536
# The chunk sizes /chunked/ cycles through: single bytes, odd sizes, sizes across page boundaries.
CHUNK_SIZES = (1, 7, 100, 4096, 3, 65536, 1000, 12345)
WRONG_RANGE_SHIFT = 1000
TRICKLE_WRITES_PER_SECOND = 20
RATE_RECHECK_SECONDS = 0.05
LIVE_SEQ_WINDOW = 5
LINGER_SECONDS = 2.0


class ClientGone(Exception):
    """The client closed or reset the connection."""


class ConnectionReset(Exception):
    """The answer ends here with a reset (the socket is set to send RST on close)."""


class Request:
    def __init__(self, method, target, headers):
        self.method = method
        self.target = target
        self.headers = headers  # lower-cased name -> value (the last one wins)

    @property
    def is_head(self):
        return self.method == "HEAD"


class RequestLog:
    """The recorded request heads (any connection thread appends, /_requests reads)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._heads = []

    def add(self, raw):
        with self._lock:
            self._heads.append(raw)

    def text(self):
        with self._lock:
            return b"".join(self._heads)

    def clear(self):
        with self._lock:
            self._heads.clear()


class RateTable:
    """Per-prefix send rates for /hls-rate/ (control requests write, connection threads read)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._rates = {}  # prefix -> bytes per second

    def set(self, prefix, bps):
        with self._lock:
            if bps > 0:
                self._rates[prefix] = bps
            else:
                self._rates.pop(prefix, None)

    def clear(self):
        with self._lock:
            self._rates.clear()

    def rate_for(self, name):
        """The rate of the longest prefix of name, None when no prefix limits it."""
        with self._lock:
            best = None
            for prefix, bps in self._rates.items():
                if name.startswith(prefix) and (best is None or len(prefix) > len(best[0])):
                    best = (prefix, bps)
            return best[1] if best else None


class StepCounter:
    """How many times each /live-seq/ address has been fetched."""

    def __init__(self):
        self._lock = threading.Lock()
        self._counts = {}

    def next(self, key):
        """The number of earlier fetches of key, counting this one for the next call."""
        with self._lock:
            n = self._counts.get(key, 0)
            self._counts[key] = n + 1
            return n

    def clear(self):
        with self._lock:
            self._counts.clear()


class Connection:
    """One accepted client: reads its request, answers by path."""

    def __init__(self, server, sock):
        self.server = server
        self.sock = sock
        self.socket_timeout = None  # "sto" of the request's query, sent as X-SocketTimeout

    def reset(self):
        """Ends the connection with a reset: SO_LINGER 0 makes close() send RST."""
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        raise ConnectionReset()

    # --- Reading ---------------------------------------------------------------------------------
    def read_head(self):
        data = b""
        while True:
            for end in (b"\r\n\r\n", b"\n\n"):
                at = data.find(end)
                if at >= 0:
                    return data[: at + len(end)]
            if len(data) > HEAD_LIMIT:
                return None
            chunk = self.sock.recv(4096)
            if not chunk:
                return None
            data += chunk

    @staticmethod
    def parse_head(raw):
        lines = raw.decode("latin-1").replace("\r\n", "\n").split("\n")
        parts = lines[0].split(" ")
        if len(parts) < 2:
            return None
        headers = {}
        for line in lines[1:]:
            if ":" in line:
                key, value = line.split(":", 1)
                headers[key.strip().lower()] = value.strip()
        return Request(parts[0].upper(), parts[1], headers)

    # --- Writing ---------------------------------------------------------------------------------
    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        try:
            self.sock.sendall(data)
        except OSError as e:
            raise ClientGone() from e

    def send_head(self, status_line, headers):
        text = status_line + "\r\n"
        if self.socket_timeout is not None:
            headers = [("X-SocketTimeout", self.socket_timeout)] + list(headers)
        for key, value in headers:
            text += "%s: %s\r\n" % (key, value)
        self.send(text + "\r\n")

    def hold(self):
        """Keeps the connection open and silent until the client closes it."""
        try:
            while self.sock.recv(4096):
                pass
        except OSError:
            pass

    # --- Files and ranges ------------------------------------------------------------------------
    def file_path(self, name):
        name = urllib.parse.unquote(name)
        if not name or name.startswith("/") or ".." in name.split("/"):
            return None
        path = os.path.join(self.server.root, name)
        return path if os.path.isfile(path) else None

    @staticmethod
    def requested_range(request, total):
        """(start, end inclusive) asked for by Range, None without one, "bad" when unsatisfiable."""
        value = request.headers.get("range")
        if value is None:
            return None
        m = re.fullmatch(r"\s*bytes\s*=\s*(\d+)\s*-\s*(\d*)\s*", value)
        if not m:
            return None
        start = int(m.group(1))
        end = int(m.group(2)) if m.group(2) else total - 1
        if start >= total or end < start:
            return "bad"
        return start, min(end, total - 1)

    def body_range(self, request, path, total):
        """(start, end inclusive, partial) of a body that takes the range asked for, or None when
        the range cannot be met (the 416 has gone out)."""
        wanted = self.requested_range(request, total)
        if wanted == "bad":
            self.answer_file(request, path)
            return None
        if wanted is None:
            return 0, total - 1, False
        return wanted[0], wanted[1], True

    def send_file_body(self, path, start, count, bytes_per_second=None):
        with open(path, "rb") as f:
            f.seek(start)
            if bytes_per_second is None:
                left = count
                while left > 0:
                    block = f.read(min(COPY_BLOCK, left))
                    if not block:
                        break
                    self.send(block)
                    left -= len(block)
                return
            piece = max(1, bytes_per_second // TRICKLE_WRITES_PER_SECOND)
            began = time.monotonic()
            sent = 0
            while sent < count:
                block = f.read(min(piece, count - sent))
                if not block:
                    break
                # Pace against the start so the average holds however late the sleeps wake.
                due = began + sent / bytes_per_second
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                self.send(block)
                sent += len(block)

    def answer_file(self, request, path, extra_headers=(), honour_range=True, body_limit=None,
                    bytes_per_second=None, total_text=None):
        """Answers with the file (or the range asked for). Returns False when nothing was sent
        because the range could not be met (416 went out instead)."""
        total = os.path.getsize(path)
        wanted = self.requested_range(request, total) if honour_range else None
        if wanted == "bad":
            self.send_head("HTTP/1.1 416 Range Not Satisfiable",
                           [("Content-Range", "bytes */%d" % total), ("Content-Length", "0"),
                            ("Connection", "close")])
            return False
        if wanted is None and total_text is None:
            start, count = 0, total
            status = "HTTP/1.1 200 OK"
            headers = [("Content-Length", str(total))]
        else:
            start, end = wanted if wanted is not None else (0, total - 1)
            count = end - start + 1
            status = "HTTP/1.1 206 Partial Content"
            headers = [("Content-Range", "bytes %d-%d/%s" % (start, end, total_text or total)),
                       ("Content-Length", str(count))]
        headers += [("Content-Type", "application/octet-stream"), ("Accept-Ranges", "bytes")]
        headers += list(extra_headers) + [("Connection", "close")]
        self.send_head(status, headers)
        if not request.is_head:
            if body_limit is not None:
                count = min(count, body_limit)
            self.send_file_body(path, start, count, bytes_per_second)
        return True

    def send_file_at_table_rate(self, path, start, count, name):
        """Sends count bytes from start at the rate the table gives name, looked up again before
        every write so that a change applies to this transfer at once."""
        rates = self.server.rates
        with open(path, "rb") as f:
            f.seek(start)
            sent = 0
            paced_rate, paced_since, paced_from = None, time.monotonic(), 0
            while sent < count:
                rate = rates.rate_for(name)
                if rate != paced_rate:
                    # A new rate counts from now: no burst to catch up, no debt from before.
                    paced_rate, paced_since, paced_from = rate, time.monotonic(), sent
                if rate is None:
                    size = COPY_BLOCK
                else:
                    delay = paced_since + (sent - paced_from) / rate - time.monotonic()
                    if delay > 0:
                        time.sleep(min(delay, RATE_RECHECK_SECONDS))
                        continue
                    size = max(1, rate // TRICKLE_WRITES_PER_SECOND)
                block = f.read(min(size, count - sent))
                if not block:
                    break
                self.send(block)
                sent += len(block)

    def hls_rate(self, request, name, path):
        total = os.path.getsize(path)
        body = self.body_range(request, path, total)
        if body is None:
            return
        start, end, partial = body
        count = end - start + 1
        if partial:
            status = "HTTP/1.1 206 Partial Content"
            headers = [("Content-Range", "bytes %d-%d/%d" % (start, end, total))]
        else:
            status = "HTTP/1.1 200 OK"
            headers = []
        headers += [("Content-Length", str(count)), ("Content-Type", content_type(path)),
                    ("Accept-Ranges", "bytes"), ("Connection", "close")]
        self.send_head(status, headers)
        if not request.is_head:
            self.send_file_at_table_rate(path, start, count, name)

    def cut_at(self, request, cut, path):
        wanted = self.requested_range(request, os.path.getsize(path))
        start = wanted[0] if isinstance(wanted, tuple) else 0
        self.answer_file(request, path, body_limit=max(0, cut - start))

    def live_seq(self, request, starts, name, path):
        """A live window over the segments of the playlist at path (see /live-seq/)."""
        pool = []
        target = 0
        duration = None
        with open(path, "r", encoding="utf-8", errors="replace") as f:
            for line in f:
                line = line.strip()
                if line.startswith("#EXT-X-TARGETDURATION:"):
                    target = int(line.split(":", 1)[1])
                elif line.startswith("#EXTINF:"):
                    duration = line.split(":", 1)[1].split(",", 1)[0]
                elif line and not line.startswith("#"):
                    pool.append((duration or str(target), line))
                    duration = None
        if not pool:
            self.status_answer(500)
            return
        key = request.target.split("?", 1)[0]
        step = self.server.steps.next(key) if not request.is_head else 0
        first = starts[min(step, len(starts) - 1)]
        folder = name.rsplit("/", 1)[0] + "/" if "/" in name else ""
        lines = ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-TARGETDURATION:%d" % target,
                 "#EXT-X-MEDIA-SEQUENCE:%d" % first]
        for seq in range(first, first + LIVE_SEQ_WINDOW):
            seconds, uri = pool[seq % len(pool)]
            lines += ["#EXTINF:%s," % seconds, "%s/file/%s%s" % (self.server.base, folder, uri)]
        body = ("\n".join(lines) + "\n").encode()
        self.send_head("HTTP/1.1 200 OK", [("Content-Type", "application/vnd.apple.mpegurl"),
                                           ("Content-Length", str(len(body))),
                                           ("Connection", "close")])
        if not request.is_head:
            self.send(body)

    # --- Answers ---------------------------------------------------------------------------------
    def not_found(self, request):
        self.status_answer(404)

    def status_answer(self, code, reason=None):
        body = "status %d\n" % code
        self.send_head("HTTP/1.1 %d %s" % (code, reason or REASONS.get(code, "Status")),
                       [("Content-Type", "text/plain"), ("Content-Length", str(len(body))),
                        ("Connection", "close")])
        self.send(body)

    def redirect(self, code, location):
        headers = [("Content-Length", "0"), ("Connection", "close")]
        if location is not None:
            headers.insert(0, ("Location", location))
        self.send_head("HTTP/1.1 %d %s" % (code, REASONS.get(code, "Redirect")), headers)

    def chunked(self, request, path, sizes=None, trailers=False):
        total = os.path.getsize(path)
        extra = []
        if sizes is not None:
            start, end = 0, min(total, sum(sizes)) - 1
            status = "HTTP/1.1 200 OK"
        else:
            body = self.body_range(request, path, total)
            if body is None:
                return
            start, end, partial = body
            status = "HTTP/1.1 206 Partial Content" if partial else "HTTP/1.1 200 OK"
            if partial:
                extra = [("Content-Range", "bytes %d-%d/%d" % (start, end, total))]
        self.send_head(status, extra + [("Content-Type", "application/octet-stream"),
                                        ("Transfer-Encoding", "chunked"), ("Connection", "close")])
        if request.is_head:
            return
        with open(path, "rb") as f:
            f.seek(start)
            left = end - start + 1
            i = 0
            while left > 0:
                size = min(left, sizes[i] if sizes is not None else CHUNK_SIZES[i % len(CHUNK_SIZES)])
                data = f.read(size)
                if not data:
                    break
                if sizes is not None:
                    size_line = "%x" % len(data)
                elif i % 3 == 1:
                    size_line = "%X;x=y" % len(data)
                elif i % 3 == 2:
                    size_line = "%x;name=\"quoted value\";flag" % len(data)
                else:
                    size_line = "%x" % len(data)
                self.send(size_line.encode() + b"\r\n" + data + b"\r\n")
                left -= len(data)
                i += 1
        self.send("0\r\n")
        if trailers:
            self.send("X-Trailer-One: 1\r\nX-Trailer-Two: two\r\n")
        self.send("\r\n")

    def handle(self, request):
        parts = request.target.split("?", 1)[0].lstrip("/").split("/")
        kind = parts[0]
        rest = parts[1:]

        def name_from(i):
            path = self.file_path("/".join(rest[i:])) if len(rest) > i else None
            if path is None:
                self.not_found(request)
            return path

        def number(i):
            if len(rest) <= i or not rest[i].isdigit():
                raise ValueError()
            return int(rest[i])

        if kind == "file":
            path = name_from(0)
            if path:
                self.answer_file(request, path)
        elif kind == "redirect":
            code, hops = number(0), number(1)
            name = "/".join(rest[2:])
            target = ("/redirect/%d/%d/%s" % (code, hops - 1, name)) if hops > 0 else "/file/" + name
            self.redirect(code, self.server.base + target)
        elif kind == "redirect-loop":
            self.redirect(number(0), self.server.base + request.target)
        elif kind == "redirect-relative":
            self.redirect(number(0), "/file/" + "/".join(rest[1:]))
        elif kind == "redirect-ftp":
            self.redirect(number(0), "ftp://127.0.0.1/" + "/".join(rest[1:]))
        elif kind == "redirect-none":
            self.redirect(number(0), None)
        elif kind == "redirect-to":
            code = number(0)
            self.redirect(code, request.target.split("/redirect-to/%s/" % rest[0], 1)[1])
        elif kind == "ignore-range":
            path = name_from(0)
            if path:
                self.answer_file(request, path, honour_range=False)
        elif kind == "wrong-range":
            path = name_from(0)
            if path:
                self.wrong_range(request, path)
        elif kind == "bad-total":
            path = name_from(1)
            if path:
                self.answer_file(request, path, total_text=urllib.parse.unquote(rest[0]))
        elif kind == "status":
            self.status_answer(number(0))
        elif kind == "status-1000":
            self.send("HTTP/1.1 1000 Weird\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        elif kind == "bad-status-line":
            variant = rest[0] if rest else ""
            first = {"": b"HTTP/1.1OK\r\n", "nodigits": b"HTTP/1.1 OK\r\n",
                     "garbage": b"\x00\x01\xfe\xffgarbage\x7f\n"}.get(variant)
            if first is None:
                raise ValueError()
            self.send(first + b"Content-Length: 2\r\nConnection: close\r\n\r\nok")
        elif kind == "long-header":
            length = number(0) if rest else 9000
            value = "a" * max(0, length - len("X-Long: "))
            self.send_head("HTTP/1.1 200 OK", [("X-Long", value), ("Content-Length", "2"),
                                               ("Connection", "close")])
            self.send("ok")
        elif kind == "socket-timeout":
            path = name_from(1)
            if path:
                self.answer_file(request, path, [("X-SocketTimeout", urllib.parse.unquote(rest[0]))])
        elif kind == "chunked":
            path = name_from(0)
            if path:
                self.chunked(request, path)
        elif kind == "chunked-sizes":
            sizes = [int(s) for s in rest[0].split(",")] if rest else []
            if not sizes or any(s <= 0 for s in sizes):
                raise ValueError()
            path = name_from(1)
            if path:
                self.chunked(request, path, sizes=sizes)
        elif kind == "chunked-trailers":
            path = name_from(0)
            if path:
                self.chunked(request, path, trailers=True)
        elif kind == "chunked-bad-size":
            self.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                      "zz\r\nhello\r\n0\r\n\r\n")
        elif kind == "chunked-no-terminator":
            self.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                      "5\r\nhelloXX5\r\nworld\r\n0\r\n\r\n")
        elif kind == "chunked-unsupported":
            self.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nConnection: close\r\n\r\n"
                      "\x1f\x8b\x08\x00not really gzip")
        elif kind == "no-length":
            path = name_from(0)
            if path:
                self.no_length(request, path)
        elif kind == "stall-headers":
            self.hold()
        elif kind == "stall-mid-headers":
            self.send("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n")
            self.hold()
        elif kind in ("stall-body", "close-body"):
            count = number(0)
            path = name_from(1)
            if path and self.answer_file(request, path, body_limit=count) and kind == "stall-body":
                self.hold()
        elif kind == "trickle":
            rate = number(0)
            if rate <= 0:
                raise ValueError()
            path = name_from(1)
            if path:
                self.answer_file(request, path, bytes_per_second=rate)
        elif kind == "hls-rate":
            path = name_from(0)
            if path:
                self.hls_rate(request, urllib.parse.unquote("/".join(rest)), path)
        elif kind == "cut-at":
            cut = number(0)
            path = name_from(1)
            if path:
                self.cut_at(request, cut, path)
        elif kind == "live-seq":
            if not rest or not re.fullmatch(r"\d+(,\d+)*", rest[0]):
                raise ValueError()
            path = name_from(1)
            if path:
                self.live_seq(request, [int(v) for v in rest[0].split(",")],
                              urllib.parse.unquote("/".join(rest[1:])), path)
        elif kind in ("reset-at", "stall-at"):
            cut = number(0)
            path = name_from(1)
            if path:
                self.cut_at(request, cut, path)
                if kind == "reset-at":
                    self.reset()
                self.hold()
        elif kind in ("reset-span", "stall-span"):
            first, last = number(0), number(1)
            path = name_from(2)
            if path:
                wanted = self.requested_range(request, os.path.getsize(path))
                start = wanted[0] if isinstance(wanted, tuple) else 0
                if start >= last:
                    self.answer_file(request, path)
                else:
                    self.cut_at(request, first, path)
                    if kind == "reset-span":
                        self.reset()
                    self.hold()
        elif kind == "reset-headers":
            self.reset()
        elif kind == "reset-mid-headers":
            self.send("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n")
            self.reset()
        elif kind in ("long-length", "short-length"):
            delta = number(0)
            path = name_from(1)
            if path:
                total = os.path.getsize(path)
                length = total + delta if kind == "long-length" else max(0, total - delta)
                self.send_head("HTTP/1.1 200 OK", [("Content-Length", str(length)),
                                                   ("Content-Type", "application/octet-stream"),
                                                   ("Connection", "close")])
                if not request.is_head:
                    self.send_file_body(path, 0, total)
        elif kind == "slow-window":
            first, last, rate = number(0), number(1), number(2)
            if rate <= 0:
                raise ValueError()
            path = name_from(3)
            if path:
                self.slow_window(request, first, last, rate, path)
        elif kind == "hls-fault":
            path = name_from(0)
            if path:
                self.hls_fault(request, "/".join(rest), path)
        else:
            self.not_found(request)

    def slow_window(self, request, first, last, rate, path):
        total = os.path.getsize(path)
        body = self.body_range(request, path, total)
        if body is None:
            return
        start, end, partial = body
        headers = [("Content-Length", str(end - start + 1)), ("Content-Type", "application/octet-stream"),
                   ("Accept-Ranges", "bytes"), ("Connection", "close")]
        if partial:
            headers.insert(0, ("Content-Range", "bytes %d-%d/%d" % (start, end, total)))
        self.send_head("HTTP/1.1 206 Partial Content" if partial else "HTTP/1.1 200 OK", headers)
        if request.is_head:
            return
        at = start
        for edge, bps in ((first, None), (last, rate), (end + 1, None)):
            if at < edge and at <= end:
                count = min(edge, end + 1) - at
                self.send_file_body(path, at, count, bps)
                at += count

    def hls_fault(self, request, name, path):
        query = urllib.parse.parse_qs(request.target.split("?", 1)[1]) if "?" in request.target else {}
        seg = int(query["seg"][0]) if "seg" in query else -1
        segvia = query.get("segvia", ["file"])[0]
        keyvia = query.get("keyvia", ["file"])[0]
        folder = name.rsplit("/", 1)[0] + "/" if "/" in name else ""
        lines = []
        index = 0
        with open(path, "r", encoding="utf-8", errors="replace") as f:
            for line in f:
                line = line.rstrip("\r\n")
                if line.startswith("#EXT-X-KEY:") and 'URI="' in line:
                    head, uri = line.split('URI="', 1)
                    uri, tail = uri.split('"', 1)
                    line = '%sURI="%s/%s/%s%s"%s' % (head, self.server.base, keyvia, folder, uri, tail)
                elif line and not line.startswith("#"):
                    via = segvia if index == seg else "file"
                    line = "%s/%s/%s%s" % (self.server.base, via, folder, line)
                    index += 1
                lines.append(line)
        body = ("\n".join(lines) + "\n").encode()
        self.send_head("HTTP/1.1 200 OK", [("Content-Type", "application/vnd.apple.mpegurl"),
                                           ("Content-Length", str(len(body))), ("Connection", "close")])
        if not request.is_head:
            self.send(body)

    def wrong_range(self, request, path):
        total = os.path.getsize(path)
        wanted = self.requested_range(request, total)
        asked = wanted[0] if isinstance(wanted, tuple) else 0
        start = asked + WRONG_RANGE_SHIFT
        if start >= total:
            start = 0
        self.send_head("HTTP/1.1 206 Partial Content",
                       [("Content-Range", "bytes %d-%d/%d" % (start, total - 1, total)),
                        ("Content-Length", str(total - start)),
                        ("Content-Type", "application/octet-stream"), ("Connection", "close")])
        if not request.is_head:
            self.send_file_body(path, start, total - start)

    def no_length(self, request, path):
        total = os.path.getsize(path)
        body = self.body_range(request, path, total)
        if body is None:
            return
        start, end, partial = body
        if not partial:
            self.send_head("HTTP/1.1 200 OK", [("Content-Type", "application/octet-stream"),
                                               ("Connection", "close")])
        else:
            self.send_head("HTTP/1.1 206 Partial Content",
                           [("Content-Range", "bytes %d-%d/*" % (start, end)),
                            ("Content-Type", "application/octet-stream"), ("Connection", "close")])
        if not request.is_head:
            self.send_file_body(path, start, end - start + 1)

    def control(self, request):
        """Answers /_requests and /_reset; False for any other path."""
        path = request.target.split("?", 1)[0]
        if path == "/_requests":
            body = self.server.log.text()
        elif path == "/_reset":
            self.server.log.clear()
            self.server.steps.clear()
            body = b""
        elif path == "/_rate":
            query = urllib.parse.parse_qs(request.target.split("?", 1)[1]) if "?" in request.target else {}
            if "prefix" in query:
                bps = query.get("bps", ["0"])[0]
                if not bps.isdigit():
                    self.status_answer(400)
                    return True
                self.server.rates.set(query["prefix"][0], int(bps))
            else:
                self.server.rates.clear()
            body = b""
        else:
            return False
        self.send_head("HTTP/1.1 200 OK", [("Content-Type", "text/plain; charset=iso-8859-1"),
                                           ("Content-Length", str(len(body))),
                                           ("Connection", "close")])
        self.send(body)
        return True

    def run(self):
        try:
            raw = self.read_head()
            if raw is None:
                return
            request = self.parse_head(raw)
            if request is None:
                self.server.log.add(raw)
                self.status_answer(400)
                return
            if self.control(request):
                return
            self.server.log.add(raw)
            if "?" in request.target:
                sto = urllib.parse.parse_qs(request.target.split("?", 1)[1]).get("sto")
                if sto:
                    self.socket_timeout = sto[0]
            try:
                self.handle(request)
            except ValueError:
                self.status_answer(400)
        except ConnectionReset:
            self.sock.close()
            return
        except (ClientGone, OSError):
            pass
        finally:
            if self.sock.fileno() >= 0:
                self.close()

    def close(self):
        """Ends the answer with a FIN, then reads whatever the client still sends for a moment
        before closing: closing with unread bytes would send a reset, and the reset can destroy
        the end of the answer before the client has read it."""
        try:
            self.sock.shutdown(socket.SHUT_WR)
            self.sock.settimeout(LINGER_SECONDS)
            while self.sock.recv(4096):
                pass
        except OSError:
            pass
        self.sock.close()


def content_type(path):
    if path.endswith(".m3u8"):
        return "application/vnd.apple.mpegurl"
    if path.endswith(".ts"):
        return "video/mp2t"
    return "application/octet-stream"


REASONS = {
    200: "OK", 206: "Partial Content", 301: "Moved Permanently", 302: "Found", 303: "See Other",
    307: "Temporary Redirect", 308: "Permanent Redirect", 400: "Bad Request", 403: "Forbidden",
    404: "Not Found", 416: "Range Not Satisfiable", 500: "Internal Server Error",
    502: "Bad Gateway", 503: "Service Unavailable",
}


class FaultServer:
    def __init__(self, root, port):
        self.root = os.path.abspath(root)
        self.log = RequestLog()
        self.rates = RateTable()
        self.steps = StepCounter()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(128)
        self.port = self.listener.getsockname()[1]
        self.base = "http://127.0.0.1:%d" % self.port

    def serve_forever(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except InterruptedError:
                continue
            except OSError:
                time.sleep(0.01)  # out of descriptors for a moment: let connections finish
                continue
            # Daemon threads: a held connection never keeps the process from exiting.
            threading.Thread(target=Connection(self, sock).run, daemon=True).start()


def main():
    parser = argparse.ArgumentParser(description="HTTP server with injected faults")
    parser.add_argument("--root", required=True, help="folder the NAMEs are looked up in")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free one)")
    args = parser.parse_args()
    # SIGTERM ends the process at once, held connections and all (a parent that ignores it must
    # not pass that on to us).
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    server = FaultServer(args.root, args.port)
    sys.stdout.write("PORT %d\n" % server.port)
    sys.stdout.flush()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
