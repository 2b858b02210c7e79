"""pyserial opening and closing a port's link in quick succession, as test suites,
flashing tools and polling scripts do; each application session must get exactly its own
bytes back, and nothing of another session.

    /usr/bin/python3 sessions_client.py LINK SCENARIO [COUNT [LOCK FILE]]

Prints one line per failure; exit status 0 when every session got exactly what it should."""
import errno
import fcntl
import os
import sys
import termios
import time

import serial

failures = []


def check(what, got, wanted):
    if got != wanted:
        failures.append(f"FAIL {what}: got {got!r}, wanted {wanted!r}")


def open_port(link, timeout=1):
    return serial.serial_for_url(link, timeout=timeout)


def short_session(link, data):
    port = open_port(link)
    port.write(data)
    port.close()


def echo_session(link, data):
    port = open_port(link)
    port.write(data)
    got = port.read(len(data))
    port.close()
    return got


def nothing_stale(link, what):
    """A new session reads nothing it did not ask for, then its own echo."""
    port = open_port(link, timeout=0.3)
    check(what + ": stale bytes", port.read(1), b"")
    port.timeout = 5  # its own echo may take long on a loaded machine
    port.write(b"x")
    check(what + ": own echo", port.read(1), b"x")
    port.close()


def script(link, count):
    """A session that ends, two short sessions right after, then one that reads its echo."""
    for trial in range(count):
        port = open_port(link, timeout=0.05)
        port.read(1)
        port.close()
        for _ in range(2):
            short_session(link, b"1234")
        check(f"trial {trial}", echo_session(link, b"1\n2\n3\n"), b"1\n2\n3\n")
        time.sleep(0.05)


def before_close(link, count):
    """Bytes written right before the close go out in their session, and their echo, in
    flight when the session ends, never reaches the next one."""
    for trial in range(count):
        short_session(link, bytes(range(256)) * 8)
        nothing_stale(link, f"trial {trial}")


def settings(link, count):
    """A rate set right after the open reaches the device inside its own session."""
    for _ in range(count):
        port = open_port(link)
        port.baudrate = 115200
        port.close()


def cycles(link, count):
    """Open, write, read the echo, close, over and over: every byte counted."""
    total = 0
    for cycle in range(count):
        data = bytes((cycle * 16 + i) % 256 for i in range(16))
        got = echo_session(link, data)
        check(f"cycle {cycle}", got, data)
        total += len(got)
    check("bytes echoed", total, 16 * count)


def busy(link, _count):
    """A second opener while the port is open is refused; the first is untouched."""
    first = open_port(link)
    try:
        second = open_port(link, timeout=0.5)
        # Without the library the open itself succeeds and the port is hung up at once.
        got = second.read(1)
        outcome = "hung up" if got == b"" else f"read {got!r}"
        second.close()
    except serial.SerialException as refused:
        outcome = "EBUSY" if refused.errno == errno.EBUSY else "hung up"
    except termios.error:
        # Hung up while pyserial was still setting the port up (its flush got EIO).
        outcome = "hung up"
    print("second opener:", outcome)
    check("second opener", outcome in ("EBUSY", "hung up"), True)
    first.write(b"still here")
    check("first opener", first.read(10), b"still here")
    first.close()


def turns(link, count, lock_path):
    """One of two applications taking turns on the port (a lock file says whose turn)."""
    with open(lock_path, "a") as lock:
        for turn in range(count):
            data = f"{os.getpid()}:{turn}".encode().ljust(16, b".")
            fcntl.flock(lock, fcntl.LOCK_EX)
            check(f"turn {turn}", echo_session(link, data), data)
            fcntl.flock(lock, fcntl.LOCK_UN)
            time.sleep(0.001)


def main():
    link, scenario = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    globals()[scenario](link, count, *sys.argv[4:])
    for failure in failures:
        print(failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
