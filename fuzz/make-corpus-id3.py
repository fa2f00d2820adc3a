#!/usr/bin/env python3
"""Writes the seed corpus of the ID3 extractor's fuzz target: short MPEG-1
Layer III streams (32 kbit/s, 32 kHz, mono: 144-byte frames) with ID3v2.2,
2.3, 2.4 and ID3v1 tags.  Run from the project folder:
    fuzz/make-corpus-id3.py fuzz/corpus-id3
"""
import os
import struct
import sys


def stream(frames=4):
    return (b"\xff\xfb\x18\xc0" + bytes(140)) * frames


def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def v2(version, frames):
    body = b""
    for fid, enc, text in frames:
        content = bytes([enc]) + text
        if version == 2:
            body += fid + struct.pack(">I", len(content))[1:] + content
        elif version == 3:
            body += fid + struct.pack(">I", len(content)) + b"\0\0" + content
        else:
            body += fid + syncsafe(len(content)) + b"\0\0" + content
    return b"ID3" + bytes([version, 0, 0]) + syncsafe(len(body)) + body


def v1(title, artist, album, year, track, genre):
    def field(s, n):
        return s[:n].ljust(n, b"\0")
    return (b"TAG" + field(title, 30) + field(artist, 30) + field(album, 30)
            + field(year, 4) + field(b"comment", 28) + b"\0"
            + bytes([track, genre]))


def main(out):
    os.makedirs(out, exist_ok=True)
    files = {
        "v22.mp3": v2(2, [(b"TT2", 0, b"Title"), (b"TP1", 0, b"Artist"),
                          (b"TAL", 0, b"Album"), (b"TCO", 0, b"(0)"),
                          (b"TRK", 0, b"1/2"), (b"TYE", 0, b"1990")])
        + stream(),
        "v23.mp3": v2(3, [(b"TALB", 0, b"Album"), (b"TCON", 0, b"(17)Rock"),
                          (b"TIT2", 0, b"Title"), (b"TPE1", 0, b"Artist"),
                          (b"TPUB", 0, b"Label"), (b"TRCK", 0, b"3/12"),
                          (b"TYER", 0, b"2004")])
        + stream(),
        "v23-utf16.mp3": v2(3, [(b"TIT2", 1, "Caf\u00e9".encode("utf-16")),
                                (b"TCON", 0, b"(200)")])
        + stream(),
        "v24.mp3": v2(4, [(b"TPE1", 3, b"First"), (b"TPE1", 3, b"Second"),
                          (b"TCON", 3, b"17\0Eurodance"),
                          (b"TDRC", 3, b"2019-01-02"), (b"TIT2", 3, b"")])
        + stream(),
        "v1.mp3": stream() + v1(b"Old", b"Someone", b"Album", b"1999", 5, 17),
        "both.mp3": v2(3, [(b"TIT2", 0, b"New")]) + stream()
        + v1(b"Old", b"Someone", b"", b"1999", 0, 255),
        "bare.mp3": stream(),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "fuzz/corpus-id3")
