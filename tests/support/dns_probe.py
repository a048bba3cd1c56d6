#!/usr/bin/env python3
"""DNS queries over UDP to a resolver on 127.0.0.1, for the job's tests.

  dns_probe.py PORT query NAME
      One query for NAME (type A); prints the answer's rcode and whether it
      is authoritative ("NXDOMAIN aa"), or "timeout" after 1 s.

  dns_probe.py PORT watch NAME STOP_FILE SECONDS
      Queries NAME every 50 ms, each with a 1 s timeout, until STOP_FILE
      exists or SECONDS have passed; then prints "sent N failed M", a failed
      query being one without an answer in time (each said on stderr).
"""

import os
import random
import socket
import struct
import sys
import time

RCODES = {0: "NOERROR", 1: "FORMERR", 2: "SERVFAIL", 3: "NXDOMAIN", 4: "NOTIMP", 5: "REFUSED"}


def question(name):
    ident = random.randrange(65536)
    header = struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0)
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.strip(".").split("."))
    return ident, header + labels + b"\0" + struct.pack("!HH", 1, 1)


def ask(port, name, timeout=1.0):
    """The answer's flags word, or None when none came within timeout."""
    ident, packet = question(name)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.sendto(packet, ("127.0.0.1", port))
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            sock.settimeout(left)
            try:
                data = sock.recv(4096)
            except socket.timeout:
                return None
            if len(data) >= 4 and struct.unpack("!H", data[:2])[0] == ident:
                return struct.unpack("!H", data[2:4])[0]


def main():
    port = int(sys.argv[1])
    mode = sys.argv[2]
    name = sys.argv[3]
    if mode == "query":
        flags = ask(port, name)
        if flags is None:
            print("timeout")
        else:
            rcode = RCODES.get(flags & 0xF, str(flags & 0xF))
            print(rcode + (" aa" if flags & 0x0400 else ""))
        return 0
    stop_file, seconds = sys.argv[4], float(sys.argv[5])
    end = time.monotonic() + seconds
    sent = failed = 0
    while not os.path.exists(stop_file) and time.monotonic() < end:
        started = time.monotonic()
        sent += 1
        if ask(port, name) is None:
            failed += 1
            print(f"no answer at {time.time():.2f}", file=sys.stderr, flush=True)
        time.sleep(max(0.0, 0.05 - (time.monotonic() - started)))
    print(f"sent {sent} failed {failed}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
