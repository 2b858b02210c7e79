"""pyserial's own RFC 2217 server side (serial.rfc2217.PortManager) on one TCP
connection, serving a serial device (here a pty): a second RFC 2217 server that the
manager's tests did not write. Usage: pyserial_rfc2217_server.py ADDRESS PORT DEVICE.
Prints "listening" once it accepts connections."""
import socket
import sys
import threading

import serial
import serial.rfc2217


class PtyLine(serial.Serial):
    """A pty has no modem lines: the outputs are only remembered, the inputs read as
    CTS, DSR and CD up."""

    def _update_dtr_state(self):
        pass

    def _update_rts_state(self):
        pass

    @property
    def cts(self):
        return True

    @property
    def dsr(self):
        return True

    @property
    def ri(self):
        return False

    @property
    def cd(self):
        return True


class Connection:
    """What PortManager writes its answers to."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


def main():
    address, port, device = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    line = PtyLine(device, timeout=0.02)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen(1)
    print("listening", flush=True)
    sock, _ = listener.accept()
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    connection = Connection(sock)
    manager = serial.rfc2217.PortManager(line, connection)

    def line_to_network():
        while True:
            data = line.read(line.in_waiting or 1)
            if data:
                connection.write(b"".join(manager.escape(data)))
            manager.check_modem_lines()

    threading.Thread(target=line_to_network, daemon=True).start()
    while True:
        data = sock.recv(4096)
        if not data:
            break
        line.write(b"".join(manager.filter(data)))


main()
