"""An HTTPS endpoint that reads upload bodies and throws them away: the
fastest server there can be, so an upload to it measures what one TLS
connection from the agent carries on this machine. Answers every chunk
status query with no chunk held and every POST with {"status": "ok"}.

Usage: /usr/bin/python3 bench/tls_sink.py CERT KEY PORT_FILE STATS_FILE
Writes the port it listens on (loopback) to PORT_FILE, then serves until
killed, rewriting STATS_FILE after each POST with the bytes of all POST
bodies so far. One thread per connection; bodies are read in 1 MiB pieces.
"""

import socket
import ssl
import sys
import threading

PIECE = 1 << 20
posted = 0
posted_lock = threading.Lock()


def read_head(conn, pending):
    while b"\r\n\r\n" not in pending:
        data = conn.recv(PIECE)
        if not data:
            return None, b""
        pending += data
    head, _, rest = pending.partition(b"\r\n\r\n")
    return head.decode("latin-1"), rest


def count_posted(length, stats_file):
    global posted
    with posted_lock:
        posted += length
        with open(stats_file, "w") as f:
            f.write("%d\n" % posted)


def serve(conn, stats_file):
    pending = b""
    buf = bytearray(PIECE)
    while True:
        head, pending = read_head(conn, pending)
        if head is None:
            return
        lines = head.split("\r\n")
        fields = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            fields[name.strip().lower()] = value.strip()
        if fields.get("expect", "").lower() == "100-continue":
            conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        length = int(fields.get("content-length", "0"))
        left = length - len(pending)
        pending = b""
        while left > 0:
            n = conn.recv_into(buf, min(left, PIECE))
            if n == 0:
                return
            left -= n
        if left < 0:  # a pipelined request began in the last piece: not sent by the agent
            return
        if lines[0].startswith("GET"):
            body = b'{"received_chunks": []}'
        else:
            count_posted(length, stats_file)
            body = b'{"status": "ok"}'
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
                     % (len(body), body))


def main():
    cert, key, port_file, stats_file = sys.argv[1:5]
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(cert, key)
    listener = socket.create_server(("127.0.0.1", 0))
    with open(port_file, "w") as f:
        f.write("%d\n" % listener.getsockname()[1])
    while True:
        raw, _ = listener.accept()
        try:
            conn = tls.wrap_socket(raw, server_side=True)
        except (ssl.SSLError, OSError):
            raw.close()
            continue
        threading.Thread(target=lambda c=conn: (serve(c, stats_file), c.close()), daemon=True).start()


if __name__ == "__main__":
    main()
