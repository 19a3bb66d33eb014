#!/usr/bin/env python3
"""A Print-Job over IPPS as a broken or slow client sends it, for tests/printer_app_whole_test.sh.

raw_upload.py HOST PORT PATH FILE FORMAT HOW [BYTES]
  HOW: whole (chunked, all of FILE), cut-chunked (chunked, the connection closed after BYTES of the document,
  before the last chunk), cut-length (a Content-Length for all of FILE, closed after BYTES), stall (chunked,
  BYTES of the document, then nothing until the server closes), idle (connects, sends nothing).
Prints the server's answer (its status line and IPP status code), or what became of the connection."""
import socket
import ssl
import struct
import sys
import time


def attribute(tag, name, value):
    name, value = name.encode(), value.encode()
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value


def print_job(host, port, path, fmt):
    uri = f"ipps://{host}:{port}{path}"
    return (struct.pack(">BBHI", 2, 0, 0x0002, 1) + b"\x01" +
            attribute(0x47, "attributes-charset", "utf-8") + attribute(0x48, "attributes-natural-language", "en") +
            attribute(0x45, "printer-uri", uri) + attribute(0x42, "requesting-user-name", "mallory") +
            attribute(0x42, "job-name", "raw upload") + attribute(0x49, "document-format", fmt) + b"\x03")


def answer(conn):
    """The status line and the IPP status code, or how the connection ended (within 60 s)."""
    conn.settimeout(60)
    data = b""
    try:
        while b"\r\n\r\n" not in data or len(data) < data.find(b"\r\n\r\n") + 12:
            more = conn.recv(65536)
            if not more:
                break
            data += more
    except (ConnectionError, ssl.SSLError, socket.timeout) as e:
        return f"connection ended: {type(e).__name__}"
    if not data:
        return "connection closed without an answer"
    head, _, body = data.partition(b"\r\n\r\n")
    status = head.split(b"\r\n")[0].decode()
    if b"chunked" in head.lower() and b"\r\n" in body:
        body = body.split(b"\r\n", 1)[1]
    return status + (f", IPP status 0x{struct.unpack('>H', body[2:4])[0]:04x}" if len(body) >= 4 else "")


def main():
    host, port, path, name, fmt, how = sys.argv[1:7]
    cut = int(sys.argv[7]) if len(sys.argv) > 7 else 0
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    conn = context.wrap_socket(socket.create_connection((host, int(port)), timeout=60), server_hostname=host)
    if how == "idle":
        start = time.monotonic()
        conn.settimeout(300)
        closed = conn.recv(1) == b""
        # The server's client timeout in the test is 3 s; PAPPL's own wait for a request is 30 s.
        print(f"idle connection {'closed by the server' if closed else 'answered'} "
              f"{'within' if time.monotonic() - start < 10 else 'after'} 10 s")
        return
    document = open(name, "rb").read()
    request = print_job(host, port, path, fmt)
    chunked = how != "cut-length"
    head = (f"POST {path} HTTP/1.1\r\nHost: {host}:{port}\r\nContent-Type: application/ipp\r\n" +
            ("Transfer-Encoding: chunked\r\n" if chunked else f"Content-Length: {len(request) + len(document)}\r\n") +
            "\r\n").encode()
    sent = document if how == "whole" else document[:cut]
    body = request + sent
    if chunked:
        conn.sendall(head + b"%x\r\n" % len(body) + body + b"\r\n" + (b"0\r\n\r\n" if how == "whole" else b""))
    else:
        conn.sendall(head + body)
    if how in ("cut-chunked", "cut-length"):
        conn.close()
        print(f"{how}: closed after {len(sent)} of {len(document)} bytes")
        return
    print(f"{how}: {answer(conn)}")


main()
