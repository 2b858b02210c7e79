"""pyserial on a virtual port with the preload library in front of it, as on a local UART:

    LD_PRELOAD=.../libquorvalink-preload.so /usr/bin/python3 pyserial_modem.py LINK

1. open at 9600 8N1 and read the device's echo;
2. DTR off, RTS off, DTR on, RTS on (the device gets MCR 02, 00, 01, 03);
3. wait until CTS, DSR and DCD are on and RI off, then until only RI is on (the device
   reports them);
4. 7E1: termios reads back 7 data bits with even parity, and the echo comes back.

One line per step; exit status 0 when every step did what it should."""
import sys
import termios
import time

import serial


def echo(port, text):
    port.write(text)
    port.flush()
    answer = port.read(len(text))
    if answer != text:
        sys.exit(f"FAIL echo: sent {text!r}, got {answer!r}")
    print(f"OK echo {answer!r}", flush=True)


def wait_for_lines(port, wanted, seconds=10):
    deadline = time.monotonic() + seconds
    seen = None
    while time.monotonic() < deadline:
        seen = (port.cts, port.dsr, port.cd, port.ri)
        if seen == wanted:
            return
        time.sleep(0.02)
    sys.exit(f"FAIL lines (CTS, DSR, DCD, RI): wanted {wanted}, have {seen}")


def main():
    with serial.Serial(sys.argv[1], 9600, timeout=5) as port:
        print("OK open", flush=True)
        echo(port, b"pyserial in 8N1\r\n")
        port.dtr = False
        port.rts = False
        port.dtr = True
        port.rts = True
        print("OK lines set", flush=True)
        wait_for_lines(port, (True, True, True, False))
        print("OK CTS DSR DCD", flush=True)
        wait_for_lines(port, (False, False, False, True))
        print("OK RI", flush=True)
        port.bytesize = serial.SEVENBITS
        port.parity = serial.PARITY_EVEN
        cflag = termios.tcgetattr(port.fd)[2]
        if cflag & termios.CSIZE != termios.CS7 or not cflag & termios.PARENB or cflag & termios.PARODD:
            sys.exit(f"FAIL 7E1 read back as cflag {cflag:o}")
        print("OK 7E1 read back", flush=True)
        echo(port, b"pyserial in 7E1\r\n")
    print("OK close", flush=True)


main()
