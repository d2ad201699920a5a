#!/usr/bin/env python3
"""A short scripted session against a vesk-agent: sends requests, prints each reply readably.

Usage: session.py AGENT [METHOD JSON-DATA]...   (without pairs, a default demo session)
"""
import json
import struct
import subprocess
import sys


def frame(payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + payload


def read_exact(stream, n):
    data = b""
    while len(data) < n:
        chunk = stream.read(n - len(data))
        if not chunk:
            raise EOFError("agent output ended")
        data += chunk
    return data


def read_message(stream):
    header = read_exact(stream, struct.unpack(">I", read_exact(stream, 4))[0])
    body = read_exact(stream, struct.unpack(">I", read_exact(stream, 4))[0])
    return header, body


def main():
    agent = sys.argv[1]
    pairs = sys.argv[2:]
    if not pairs:
        pairs = ["hello", "null", "frob", "null", "fs.stat", '{"path": "."}',
                 "fs.countlines", '{"paths": ["README.md", "CMakeLists.txt"]}',
                 "exec", '{"cwd": ".", "program": "uname", "args": ["-s"]}']
    proc = subprocess.Popen([agent, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    for n, (method, data) in enumerate(zip(pairs[0::2], pairs[1::2]), start=1):
        envelope = {"id": n, "method": method}
        if data != "null":
            envelope["data"] = json.loads(data)
        proc.stdin.write(frame(json.dumps(envelope, separators=(",", ":")).encode()) + frame(b""))
        proc.stdin.flush()
        header, body = read_message(proc.stdout)
        print(f"-> {method} {data}")
        print(f"<- {header.decode()}")
        if body:
            print(f"   body ({len(body)} bytes): {body[:200]!r}")
    proc.stdin.close()
    status = proc.wait()
    print(f"agent exited with status {status}")
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
