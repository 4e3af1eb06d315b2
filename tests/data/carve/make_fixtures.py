#!/usr/bin/env python3
"""Writes the small committed carving fixtures that no tool in the test environment makes.

Run once by hand (python3 make_fixtures.py in this folder); the outputs are committed, and the
tests read them as they are. See README.md for what each file is and how it was checked.
"""
import os
import struct
import subprocess
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
FREE, END, FATSECT, DIFSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC


def ole2(streams, fat_sectors=1, hole=True):
    """A version-3 compound file: FAT sectors, one free sector (as office suites leave),
    the directory, then each stream in regular sectors (every stream is 4096 bytes or more,
    so there is no mini stream)."""
    difat_sectors = 0 if fat_sectors <= 109 else (fat_sectors - 109 + 126) // 127
    sectors = []  # contents, in order
    fat = {}
    fat_ids = list(range(fat_sectors))
    for s in fat_ids:
        fat[s] = FATSECT
    difat_ids = list(range(fat_sectors, fat_sectors + difat_sectors))
    for s in difat_ids:
        fat[s] = DIFSECT
    nxt = fat_sectors + difat_sectors
    if hole:
        fat[nxt] = FREE
        nxt += 1

    def chain(count):
        nonlocal nxt
        ids = list(range(nxt, nxt + count))
        for a, b in zip(ids, ids[1:] + [END]):
            fat[a] = b
        nxt += count
        return ids

    entries = [("Root Entry", 5, END, 0)]
    datas = []
    for name, data in streams:
        ids = chain((len(data) + 511) // 512)
        datas.append((ids, data))
        entries.append((name, 2, ids[0], len(data)))
    dir_ids = chain((len(entries) * 128 + 511) // 512)

    def entry(i, name, kind, start, size):
        raw = name.encode("utf-16-le") + b"\0\0"
        right = i + 1 if 1 <= i < len(entries) - 1 else 0xFFFFFFFF
        child = 1 if i == 0 and len(entries) > 1 else 0xFFFFFFFF
        return (raw.ljust(64, b"\0") + struct.pack("<HBB", len(raw), kind, 1)
                + struct.pack("<III", 0xFFFFFFFF, right, child) + b"\0" * 16 + b"\0" * 4 + b"\0" * 16
                + struct.pack("<IQ", start, size))

    directory = b"".join(entry(i, *e) for i, e in enumerate(entries)).ljust(len(dir_ids) * 512, b"\0")
    total = nxt
    image = bytearray(512 * (total + 1))
    fat_entries = [fat.get(i, FREE) for i in range(fat_sectors * 128)]
    for k, s in enumerate(fat_ids):
        image[(s + 1) * 512:(s + 2) * 512] = struct.pack("<128I", *fat_entries[k * 128:(k + 1) * 128])
    rest = fat_ids[109:]
    for k, s in enumerate(difat_ids):
        part = rest[k * 127:(k + 1) * 127]
        nxt_difat = difat_ids[k + 1] if k + 1 < len(difat_ids) else END
        image[(s + 1) * 512:(s + 2) * 512] = struct.pack("<128I", *(part + [FREE] * (127 - len(part)) + [nxt_difat]))
    for ids, data in datas:
        padded = data.ljust(len(ids) * 512, b"\0")
        for k, s in enumerate(ids):
            image[(s + 1) * 512:(s + 2) * 512] = padded[k * 512:(k + 1) * 512]
    for k, s in enumerate(dir_ids):
        image[(s + 1) * 512:(s + 2) * 512] = directory[k * 512:(k + 1) * 512]
    header_difat = (fat_ids[:109] + [FREE] * 109)[:109]
    header = (bytes.fromhex("D0CF11E0A1B11AE1") + b"\0" * 16
              + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + b"\0" * 6
              + struct.pack("<IIIIIIII", 0, fat_sectors, dir_ids[0], 0, 4096, END, 0,
                            difat_ids[0] if difat_ids else END)
              + struct.pack("<I", difat_sectors) + struct.pack("<109I", *header_difat))
    image[0:512] = header
    return bytes(image)


def pattern(n, seed):
    return bytes((i * 31 + seed * 17 + (i >> 8)) & 0xFF for i in range(n))


def riff_chunk(cid, data):
    return cid + struct.pack("<I", len(data)) + data + (b"\0" if len(data) % 2 else b"")


def avi():
    avih = struct.pack("<14I", 100000, 0, 0, 0x10, 3, 0, 1, 0, 8, 8, 0, 0, 0, 0)
    strh = b"vids" + b"DIB " + struct.pack("<IHHIIIIIIIIhhhh", 0, 0, 0, 0, 1, 10, 0, 3, 192, 0xFFFFFFFF, 0, 0, 0, 8, 8)
    strf = struct.pack("<IiiHHIIiiII", 40, 8, 8, 1, 24, 0, 192, 0, 0, 0, 0)
    strl = b"LIST" + struct.pack("<I", 4 + len(riff_chunk(b"strh", strh)) + len(riff_chunk(b"strf", strf))) + b"strl" \
        + riff_chunk(b"strh", strh) + riff_chunk(b"strf", strf)
    hdrl_body = b"hdrl" + riff_chunk(b"avih", avih) + strl
    hdrl = b"LIST" + struct.pack("<I", len(hdrl_body)) + hdrl_body
    junk = riff_chunk(b"JUNK", b"\0" * 23)  # odd length: a pad byte follows
    frames = [riff_chunk(b"00db", pattern(192, f)) for f in range(3)]
    movi_body = b"movi" + b"".join(frames)
    movi = b"LIST" + struct.pack("<I", len(movi_body)) + movi_body
    idx, off = b"", 4
    for f in frames:
        idx += b"00db" + struct.pack("<III", 0x10, off, 192)
        off += len(f)
    body = b"AVI " + hdrl + junk + movi + riff_chunk(b"idx1", idx)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def rar_block(kind, flags, fields):
    size = 7 + len(fields)
    rest = struct.pack("<BHH", kind, flags, size) + fields
    return struct.pack("<H", zlib.crc32(rest) & 0xFFFF) + rest


def rar_stored(kind, name, data):
    fields = struct.pack("<IIBIIBBHI", len(data), len(data), 2, zlib.crc32(data), 0x3A6B0000, 20, 0x30,
                         len(name), 0x20) + name
    return rar_block(kind, 0x8000, fields) + data


def rar(comment=False):
    out = bytes.fromhex("526172211A0700") + rar_block(0x73, 0, b"\0" * 6)
    out += rar_stored(0x74, b"first.txt", b"first stored file\n" * 20)
    out += rar_stored(0x74, b"second.bin", pattern(700, 3))
    if comment:
        out += rar_stored(0x7A, b"CMT", b"archive comment")
    return out + rar_block(0x7B, 0x4000, b"")


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def main():
    write("word.doc", ole2([("1Table", pattern(4100, 2)), ("WordDocument", pattern(5000, 1))]))
    write("sheet.xls", ole2([("Workbook", pattern(6000, 3))]))
    write("slides.ppt", ole2([("Current User", pattern(4096, 4)), ("PowerPoint Document", pattern(4700, 5))]))
    write("difat.doc", ole2([("WordDocument", pattern(4096, 6))], fat_sectors=110, hole=False))
    write("video.avi", avi())
    write("stored.rar", rar())
    write("commented.rar", rar(comment=True))
    tone = ["-n", "-r", "8000", "-c", "1", "-b", "16"]
    subprocess.run(["sox", *tone, os.path.join(HERE, "tone.au"), "synth", "0.1", "sine", "440"], check=True)
    piped = subprocess.run(["sox", *tone, "-t", "au", "-", "synth", "0.1", "sine", "440"], check=True,
                           capture_output=True).stdout
    write("piped.au", piped)


if __name__ == "__main__":
    main()
