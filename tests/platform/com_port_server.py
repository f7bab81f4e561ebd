#!/usr/bin/python3
"""A Telnet COM port server for the tests, built on pySerial's PortManager.

Serves one client at a time on a free port of 127.0.0.1 (printed on the
first line of its output) over a loop-back serial port: what a client sends
comes back, CTS follows RTS, DSR follows DTR, carrier detect is always on.
"""
import select
import socket
import sys

import serial
import serial.rfc2217


class Connection:
    def __init__(self, sock):
        self.sock = sock

    def write(self, data):
        self.sock.sendall(data)


def serve(client, port):
    manager = serial.rfc2217.PortManager(port, Connection(client))
    while True:
        readable, _, _ = select.select([client], [], [], 0.02)
        if readable:
            data = client.recv(65536)
            if not data:
                return
            port.write(b"".join(manager.filter(data)))
        waiting = port.in_waiting
        if waiting:
            client.sendall(b"".join(manager.escape(port.read(waiting))))
        manager.check_modem_lines()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        port = serial.serial_for_url("loop://", timeout=0)
        try:
            serve(client, port)
        except OSError:
            pass
        finally:
            port.close()
            client.close()


if __name__ == "__main__":
    sys.exit(main())
