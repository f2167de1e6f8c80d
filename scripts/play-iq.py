#!/usr/bin/env python3
"""Plays a recording's samples to one TCP client as an SDR program's IQ server does.

Usage: scripts/play-iq.py RECORDING PORT [BYTES_PER_SECOND]
Listens on 127.0.0.1:PORT, waits for one client, sends the recording's samples (a WAV or RF64
file's data chunk, or the whole of a raw file) at BYTES_PER_SECOND (default: as fast as the client
takes them), closes the connection and prints on standard error when it began and ended sending
(seconds since the epoch), so that the time from the end of the stream to the product can be
measured. For the live-pass figures of the README; no SDR program is needed.
"""
import socket
import struct
import sys
import time

CHUNK = 1 << 20


def data_range(path):
    """(offset, length) of the samples: a WAV's or RF64's data chunk, else the whole file."""
    with open(path, "rb") as f:
        head = f.read(12)
        f.seek(0, 2)
        size = f.tell()
        if len(head) < 12 or head[:4] not in (b"RIFF", b"RF64") or head[8:12] != b"WAVE":
            return 0, size
        f.seek(12)
        data64 = None
        while True:
            chunk = f.read(8)
            if len(chunk) < 8:
                raise SystemExit(f"{path}: no data chunk")
            cid, csize = chunk[:4], struct.unpack("<I", chunk[4:])[0]
            if cid == b"ds64":
                body = f.read(csize)
                data64 = struct.unpack("<Q", body[8:16])[0]
                continue
            if cid == b"data":
                start = f.tell()
                length = data64 if csize == 0xFFFFFFFF and data64 is not None else csize
                return start, min(length, size - start)
            f.seek(csize + (csize & 1), 1)


def main():
    if len(sys.argv) not in (3, 4):
        raise SystemExit(__doc__)
    path, port = sys.argv[1], int(sys.argv[2])
    rate = float(sys.argv[3]) if len(sys.argv) == 4 else 0.0
    start, length = data_range(path)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(1)
    client, _ = server.accept()
    began = time.time()
    sent = 0
    with open(path, "rb") as f:
        f.seek(start)
        while sent < length:
            piece = f.read(min(CHUNK, length - sent))
            if not piece:
                break
            try:
                client.sendall(piece)
            except OSError as error:
                print(f"play-iq: the client went away after {sent} bytes: {error}", file=sys.stderr)
                break
            sent += len(piece)
            if rate > 0:
                due = began + sent / rate
                delay = due - time.time()
                if delay > 0:
                    time.sleep(delay)
    client.close()
    ended = time.time()
    print(f"play-iq: sent {sent} bytes from {began:.3f} to {ended:.3f} "
          f"({sent / max(ended - began, 1e-9) / 1e6:.1f} MB/s)", file=sys.stderr)


if __name__ == "__main__":
    main()
