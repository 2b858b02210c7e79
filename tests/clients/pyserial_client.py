"""pyserial on a port's link as an application would use a local UART: open at 9600,
write and read the device's echo, change to 19200, write and read again, close.

    /usr/bin/python3 pyserial_client.py LINK

Prints one line per step; exit status 0 when every echo came back whole."""
import sys

import serial


def echo(port, text):
    port.write(text)
    port.flush()
    answer = port.read(len(text))
    if answer != text:
        sys.exit(f"FAIL echo at {port.baudrate}: sent {text!r}, got {answer!r}")
    print(f"OK echo at {port.baudrate}: {answer!r}")


def main():
    with serial.Serial(sys.argv[1], 9600, timeout=5) as port:
        print("OK open")
        echo(port, b"pyserial at 9600\r\n")
        port.baudrate = 19200
        echo(port, b"pyserial at 19200\r\n")
        port.reset_input_buffer()
    print("OK close")


main()
