#!/usr/bin/python3
"""TLS test servers for the Windows agent's tests under wine.

    wine_tls_server.py start DIR   make a test PKI in DIR, start the servers
                                   in the background, return once they listen
    wine_tls_server.py stop DIR    stop them and delete DIR

Three listening sockets on localhost (IPv4 and IPv6), each with its own
certificate: "good" (localhost, issued by DIR/ca.pem), "other_ca" (localhost,
issued by a CA the tests do not trust) and "wrong_host" (otherhost.test,
issued by DIR/ca.pem). Their ports are in DIR/ports (name=port lines).

Every connection speaks HTTP/1.1 with keep-alive, or WebSocket after an
upgrade request. What the server saw is appended to DIR/events.log, one line
per event, led by the request path, so a test can tell whether anything of
its own reached the server:
    <path> upgrade | frame <opcode> <bytes> | close <status> | eof
    <path> headers <content-length> | bytes <body bytes so far> | body <bytes in all>
Paths the server knows:
    /echo...      WebSocket: echoes each text message; the message
                  "fragments" is answered with "abc" "def" "ghi" in three
                  frames of one message
    /silent...    WebSocket: never sends anything (reads and drops frames)
    /stall...     WebSocket: never sends and never reads, for a minute
    /upload...    POST: replies {"received": <bytes>}
    /download/N   GET: N bytes of a repeating pattern
    /redirect...  GET: 302 to the relative "download/10"
"""

import base64
import hashlib
import os
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time

WS_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
log_lock = threading.Lock()


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_ca(d, name):
    key, cert = f"{d}/{name}.key", f"{d}/{name}.pem"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN=Halvex test {name}",
            "-keyout", key, "-out", cert, "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return key, cert


def make_leaf(d, name, host, ca):
    key, csr, cert, ext = (f"{d}/{name}{s}" for s in (".key", ".csr", ".pem", ".ext"))
    with open(ext, "w") as f:
        f.write(f"subjectAltName=DNS:{host}\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n")
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={host}", "-keyout", key, "-out", csr)
    openssl("x509", "-req", "-in", csr, "-CA", ca[1], "-CAkey", ca[0], "-CAcreateserial", "-days", "2",
            "-extfile", ext, "-out", cert)
    return key, cert


def log(d, line):
    with log_lock, open(f"{d}/events.log", "a") as f:
        f.write(line + "\n")


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        part = conn.recv(n - len(data))
        if not part:
            raise EOFError
        data += part
    return data


def read_frame(conn):
    b0, b1 = read_exact(conn, 2)
    n = b1 & 0x7F
    if n == 126:
        n = struct.unpack("!H", read_exact(conn, 2))[0]
    elif n == 127:
        n = struct.unpack("!Q", read_exact(conn, 8))[0]
    mask = read_exact(conn, 4) if b1 & 0x80 else b"\0\0\0\0"
    data = bytearray(read_exact(conn, n))
    for i in range(n):
        data[i] ^= mask[i % 4]
    return b0 & 0x80 != 0, b0 & 0x0F, bytes(data)


def frame(opcode, data, fin=True):
    head = bytes([(0x80 if fin else 0) | opcode])
    n = len(data)
    if n < 126:
        head += bytes([n])
    elif n < 65536:
        head += bytes([126]) + struct.pack("!H", n)
    else:
        head += bytes([127]) + struct.pack("!Q", n)
    return head + data


def websocket(conn, d, path, headers):
    key = headers.get("sec-websocket-key", "")
    accept = base64.b64encode(hashlib.sha1((key + WS_GUID).encode()).digest()).decode()
    conn.sendall(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  f"Sec-WebSocket-Accept: {accept}\r\n\r\n").encode())
    log(d, f"{path} upgrade")
    if path.startswith("/silent"):
        while conn.recv(65536):  # no reply, ever
            pass
        return
    if path.startswith("/stall"):
        time.sleep(60)  # reads nothing: the client's writes back up
        return
    message = b""
    while True:
        fin, opcode, data = read_frame(conn)
        log(d, f"{path} frame {opcode} {len(data)}")
        if opcode == 8:
            status = struct.unpack("!H", data[:2])[0] if len(data) >= 2 else 0
            log(d, f"{path} close {status}")
            conn.sendall(frame(8, data[:2]))
            return
        if opcode in (1, 2, 0):
            message += data
            if not fin:
                continue
            if message == b"fragments":
                conn.sendall(frame(1, b"abc", False) + frame(0, b"def", False) + frame(0, b"ghi"))
            else:
                conn.sendall(frame(1, message))
            message = b""


def http(conn, d, method, path, headers, body):
    length = int(headers.get("content-length", "0"))
    log(d, f"{path} headers {length}")
    if body:
        log(d, f"{path} bytes {len(body)}")
    try:
        while len(body) < length:
            part = conn.recv(min(65536, length - len(body)))
            if not part:
                break
            body += part
            log(d, f"{path} bytes {len(body)}")
    finally:
        log(d, f"{path} body {min(len(body), length)}")
    body, rest = body[:length], body[length:]
    if len(body) < length:
        raise EOFError
    if path.startswith("/redirect"):
        conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: download/10\r\nContent-Length: 0\r\n\r\n")
        return rest
    if path.startswith("/download/"):
        n = int(path[len("/download/"):])
        reply = bytes((i * 7 + i // 251) & 0xFF for i in range(n))
        kind = "application/octet-stream"
    else:
        reply = ('{"received": %d, "method": "%s"}' % (len(body), method)).encode()
        kind = "application/json"
    conn.sendall((f"HTTP/1.1 200 OK\r\nContent-Type: {kind}\r\nContent-Length: {len(reply)}\r\n\r\n").encode() + reply)
    return rest


def serve_connection(raw, context, d):
    path = "?"
    try:
        conn = context.wrap_socket(raw, server_side=True)
        buf = b""
        while True:
            while b"\r\n\r\n" not in buf:
                part = conn.recv(65536)
                if not part:
                    raise EOFError
                buf += part
            head, _, rest = buf.partition(b"\r\n\r\n")
            lines = head.decode("latin-1").split("\r\n")
            method, path = lines[0].split(" ")[:2]
            headers = {}
            for line in lines[1:]:
                name, _, value = line.partition(":")
                headers[name.strip().lower()] = value.strip()
            wants_ws = path.startswith(("/echo", "/silent", "/stall"))
            if wants_ws and headers.get("upgrade", "").lower() == "websocket":
                websocket(conn, d, path, headers)
                return
            buf = http(conn, d, method, path, headers, rest)
    except (EOFError, OSError, ValueError, ssl.SSLError):
        pass
    finally:
        if path != "?":
            log(d, f"{path} eof")
        raw.close()


def listen(d, name, leaf):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(leaf[1], leaf[0])
    sock = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    sock.bind(("::", 0))
    sock.listen(16)

    def accept_loop():
        while True:
            raw, _ = sock.accept()
            threading.Thread(target=serve_connection, args=(raw, context, d), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    return sock.getsockname()[1]


def serve(d):
    ca = make_ca(d, "ca")
    other = make_ca(d, "other-ca")
    leaves = {"good": make_leaf(d, "good", "localhost", ca),
              "other_ca": make_leaf(d, "other", "localhost", other),
              "wrong_host": make_leaf(d, "wrong", "otherhost.test", ca)}
    ports = {name: listen(d, name, leaf) for name, leaf in leaves.items()}
    with open(f"{d}/ports.tmp", "w") as f:
        f.writelines(f"{name}={port}\n" for name, port in ports.items())
    os.rename(f"{d}/ports.tmp", f"{d}/ports")
    # Ends by itself should the stop never come (a run cut short).
    time.sleep(1800)


def start(d):
    stop(d)  # servers of an earlier run that was cut short
    os.makedirs(d)
    pid = os.fork()
    if pid == 0:
        os.setsid()
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):  # ctest waits for its pipes to close
            os.dup2(null, fd)
        try:
            serve(d)
        finally:
            os._exit(1)
    with open(f"{d}/pid", "w") as f:
        f.write(str(pid))
    for _ in range(300):
        if os.path.exists(f"{d}/ports"):
            print(f"test servers ready: {open(f'{d}/ports').read().strip()}")
            return 0
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.1)
    print("test servers did not start", file=sys.stderr)
    return 1


def stop(d):
    try:
        os.kill(int(open(f"{d}/pid").read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass
    subprocess.run(["rm", "-rf", d], check=True)
    return 0


if __name__ == "__main__":
    action, folder = sys.argv[1], os.path.abspath(sys.argv[2])
    sys.exit(start(folder) if action == "start" else stop(folder))
