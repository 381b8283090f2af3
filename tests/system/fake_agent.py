#!/usr/bin/python3
"""A scripted client of the menu-bar bridge, in place of the agent.

    fake_agent.py SOCKET STEP...

Steps run in order: "send:TEXT" writes TEXT plus a line feed; "await:TEXT" waits
for a received line containing TEXT (lines before it are passed over); "eof"
waits for the bridge to close the connection. Every received line is printed.
Exits 0 when all steps are done, 1 on a time-out or an early end of stream."""

import socket
import sys
import time

LIMIT = 30.0


def main():
    path, steps = sys.argv[1], sys.argv[2:]
    deadline = time.monotonic() + LIMIT
    while True:
        try:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.connect(path)
            break
        except OSError:
            sock.close()
            if time.monotonic() > deadline:
                sys.exit("fake agent: no bridge at " + path)
            time.sleep(0.1)
    sock.settimeout(LIMIT)
    pending = b""

    def next_line():
        nonlocal pending
        while b"\n" not in pending:
            chunk = sock.recv(4096)
            if not chunk:
                return None
            pending += chunk
        line, pending = pending.split(b"\n", 1)
        text = line.decode()
        print("received: " + text, flush=True)
        return text

    for step in steps:
        kind, _, text = step.partition(":")
        print("step: " + step, flush=True)
        if kind == "send":
            sock.sendall(text.encode() + b"\n")
        elif kind == "await":
            while True:
                line = next_line()
                if line is None:
                    sys.exit("fake agent: bridge closed while awaiting " + text)
                if text in line:
                    break
        elif kind == "eof":
            while next_line() is not None:
                pass
        else:
            sys.exit("fake agent: unknown step " + step)
    print("fake agent: done", flush=True)


if __name__ == "__main__":
    try:
        main()
    except socket.timeout:
        sys.exit("fake agent: timed out")
