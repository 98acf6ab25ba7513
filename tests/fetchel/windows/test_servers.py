#!/usr/bin/env python3
"""Fetchel's test servers for the Windows tests: http and https on loopback ports of their own.

    test_servers.py FOLDER

FOLDER holds server.pem and server.key (the https certificate for "localhost", issued by the test
CA); the ports are written to FOLDER/ports as "HTTP HTTPS" once the servers listen. Paths:
    /bytes/N     N pattern bytes with a Content-Length (the byte at offset i is
                 (i * 131 + (i >> 10) * 7) & 0xff, as tests/fetchel/test_http_server.cpp has it)
    /halfway/N   announces N bytes, sends the first half, then drops the connection
    /away?to=URL 302 to URL
    anything     404 with a small HTML page
Runs until it is killed.
"""
import errno
import http.server
import os
import socket
import ssl
import sys
import threading


def pattern(length):
    return bytes(((i * 131 + (i >> 10) * 7) & 0xFF) for i in range(length))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path.startswith("/away?to="):
            self.send_response(302)
            self.send_header("Location", self.path[len("/away?to="):])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        parts = self.path.split("/")
        if len(parts) == 3 and parts[1] in ("bytes", "halfway") and parts[2].isdigit():
            length = int(parts[2])
            body = pattern(length)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(length))
            self.end_headers()
            if parts[1] == "bytes":
                self.wfile.write(body)
            else:
                self.wfile.write(body[: length // 2])
                self.wfile.flush()
                self.close_connection = True
            return
        page = b"<html><body>404 Not Found</body></html>"
        self.send_response(404)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    def log_message(self, *arguments):
        pass


class Ipv6Server(http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET6


def secure_servers():
    """The https server on 127.0.0.1 and, where the machine has IPv6, on ::1 with the same port:
    the certificate names "localhost", which may resolve to either."""
    for _ in range(20):
        ipv4 = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        try:
            ipv6 = Ipv6Server(("::1", ipv4.server_address[1]), Handler)
        except OSError as error:
            if error.errno == errno.EADDRINUSE:
                ipv4.server_close()
                continue
            return [ipv4]
        return [ipv4, ipv6]
    raise RuntimeError("no port free on both loopback addresses")


def main():
    folder = sys.argv[1]
    plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    secure = secure_servers()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, "server.pem"), os.path.join(folder, "server.key"))
    for server in secure:
        server.socket = context.wrap_socket(server.socket, server_side=True)
    for server in [plain] + secure:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    ports = os.path.join(folder, "ports")
    with open(ports + ".part", "w") as out:
        out.write("%d %d\n" % (plain.server_address[1], secure[0].server_address[1]))
    os.rename(ports + ".part", ports)
    threading.Event().wait()


if __name__ == "__main__":
    main()
