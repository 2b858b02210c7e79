"""A control channel planted beside a port's link, for the preload tests (preload_test.cpp).
It answers every request at once with status OK and 5 data bits with odd parity asked, so
an application whose library used it reads CS5 with odd parity back. It prints
"listening", then "request" for every request it answers.

    /usr/bin/python3 planted_channel.py SOCKET answer|full [UID]

answer  takes connections and answers them;
full    takes none, and its backlog is full (a channel that cannot serve);
UID     listens as that user (the peer credentials a client sees), after binding."""
import os
import socket
import struct
import sys
import termios
import threading

REQUEST_SIZE = 48
# status, modemControl, modemStatus, lineAsked, askedCflag, 4 counts, received, transmitted
REPLY = struct.pack("=4B7I", 0, 3, 0, 1, termios.CS5 | termios.PARENB | termios.PARODD,
                    0, 0, 0, 0, 0, 0)


def answer(connection):
    with connection:
        while True:
            request = connection.recv(REQUEST_SIZE, socket.MSG_WAITALL)
            if len(request) < REQUEST_SIZE:
                return
            print("request", flush=True)
            connection.sendall(REPLY)


def main():
    path, mode = sys.argv[1], sys.argv[2]
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    if len(sys.argv) > 3:
        os.setuid(int(sys.argv[3]))
    server.listen(0)
    if mode == "full":
        filler = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        filler.connect(path)
    print("listening", flush=True)
    if mode == "full":
        threading.Event().wait()
    while True:
        connection, _ = server.accept()
        threading.Thread(target=answer, args=(connection,), daemon=True).start()


main()
