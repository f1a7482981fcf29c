#!/usr/bin/env python3
"""A small ECR for the tarvelo scale, in Python 3 with the standard library only: it sets a
weight-mode unit price (record 01), reads the scale data (EOT ENQ, answered by record 02) and,
after a refusal, asks the scale why (record 08, answered by record 09). See ecr-protocol.md.

    python3 ecr_client.py [PIPE_NAME [UNIT_PRICE]]

Exit code: 0 scale data read, 1 refused, 2 no scale or no reply in time.
"""
import os
import socket
import stat
import sys
import time

TIMEOUT = 8.0  # seconds: the scale's slowest reply takes 6.1 s
STX, ETX, EOT, ENQ, ACK, NAK, ESC = b"\x02", b"\x03", b"\x04", b"\x05", b"\x06", b"\x15", b"\x1b"
MEANING = {
    "01": "general scale error", "10": "incorrect record number", "12": "invalid tare",
    "20": "scale not stable", "21": "no movement since the last weighing",
    "30": "below the minimum weight", "31": "underload", "32": "overload",
}


def is_private(directory):
    """The scale's rule: a directory of this user's, closed to others (no impostor there)."""
    try:
        st = os.lstat(directory)
    except OSError:
        return False
    return stat.S_ISDIR(st.st_mode) and st.st_uid == os.geteuid() and st.st_mode & 0o077 == 0


def socket_path(name):
    """Where the scale makes its socket: the runtime directory, else a private one."""
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    if runtime.startswith("/"):
        if is_private(runtime):
            return os.path.join(runtime, name)
        print("%s passed over: not private" % runtime, file=sys.stderr)
    fallback = "/tmp/tarvelo-%d" % os.geteuid()
    if not is_private(fallback):
        raise PermissionError("%s: not private" % fallback)
    return os.path.join(fallback, name)


def exchange(ecr, request):
    """Writes a request, returns its reply (ACK or NAK alone, or a record up to its ETX);
    raises TimeoutError when it did not come whole within TIMEOUT."""
    deadline = time.monotonic() + TIMEOUT
    ecr.sendall(request)
    reply = b""
    while True:
        ecr.settimeout(max(deadline - time.monotonic(), 0.001))
        try:
            byte = ecr.recv(1)
        except socket.timeout:
            raise TimeoutError("no whole reply within %.0f s" % TIMEOUT) from None
        if not byte:
            raise ConnectionError("the scale closed the connection")
        reply += byte
        if (len(reply) == 1 and byte in (ACK, NAK)) or byte == ETX:
            return reply


def report_refusal(ecr, what):
    try:
        status = exchange(ecr, EOT + STX + b"08" + ETX)
    except OSError as error:  # the reason never came: the refusal stands
        print("%s refused (%s)" % (what, error))
        return
    if len(status) == 7 and status.startswith(STX + b"09" + ESC):
        pair = status[4:6].decode("ascii")
        print("%s refused: status %s %s (%s)" % (what, pair[0], pair[1], MEANING.get(pair, "?")))
    else:
        print("%s refused" % what)


def main():
    name = sys.argv[1] if len(sys.argv) > 1 else "kv2170"
    price = int(sys.argv[2]) if len(sys.argv) > 2 else 150
    if not 0 <= price <= 999999:
        sys.exit("unit price 0 to 999999")
    try:
        ecr = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        ecr.connect(socket_path(name))
        reply = exchange(ecr, EOT + STX + b"01" + ESC + b"%06d" % price + ESC + ETX)
        if reply == ACK:
            print("unit price %d accepted" % price)
        elif reply == NAK:
            report_refusal(ecr, "unit price")
        else:  # a CS/KW request, when the scale demands the handshake
            print("unexpected reply %s" % reply.hex(" "), file=sys.stderr)
            return 2
        reply = exchange(ecr, EOT + ENQ)
    except OSError as error:  # no scale, or TimeoutError
        print(error, file=sys.stderr)
        return 2
    if len(reply) == 26 and reply.startswith(STX + b"02" + ESC + b"3" + ESC):
        weight, unit_price, total = (int(f) for f in reply[6:25].split(ESC))
        print("weight %d g, unit price %d, total price %d" % (weight, unit_price, total))
        return 0
    if reply == NAK:
        report_refusal(ecr, "scale data")
        return 1
    print("unexpected reply %s" % reply.hex(" "), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
