#!/usr/bin/env python3
"""Makes the committed seed corpus of the fuzz targets (tests/fuzz/corpus/<target>/).

    make_seeds.py CORPUS_DIR

Run by hand when a seed is to be added (needs root and /dev/fuse for ntfs-3g, and mkntfs,
mkfs.fat, mtools, sfdisk, sgdisk, qemu-img, fls/istat). The seeds are kept small: the parts
of volumes and disks made by the real tools that their parsers read, moved close together
where the tools spread them over megabytes, and hand-made hostile patterns beside them.
Each seed's name says what it is; what a target does with its input is said at the top of
its <target>_fuzz.cpp.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SECTOR = 512
WORK = None


def run(*args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw).stdout


def path(name):
    return os.path.join(WORK, name)


def sector(data, n, count=1):
    return data[n * SECTOR:(n + count) * SECTOR]


def pad(data, size):
    return data + b"\0" * (size - len(data)) if len(data) < size else data


def put(buf, offset, data):
    buf[offset:offset + len(data)] = data


class Corpus:
    def __init__(self, root):
        self.root = root

    def add(self, target, name, data):
        folder = os.path.join(self.root, target)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes(data))


def gpt_primary_crcs_made_right(data):
    """The primary GPT header's entry-array and header CRCs computed again over what it holds."""
    data = bytearray(data)
    array, count, size = struct.unpack_from("<QII", data, SECTOR + 0x48)
    struct.pack_into("<I", data, SECTOR + 0x58, zlib.crc32(bytes(data[array * SECTOR:array * SECTOR + count * size])))
    header_size = struct.unpack_from("<I", data, SECTOR + 0x0C)[0]
    struct.pack_into("<I", data, SECTOR + 0x10, 0)
    struct.pack_into("<I", data, SECTOR + 0x10, zlib.crc32(bytes(data[SECTOR:SECTOR + header_size])))
    return data


def damaged_map_seeds(corpus):
    """Seeds of the damage the image maps and the GPT walk name, made from seeds already made."""
    def seed(target, name):
        with open(os.path.join(corpus.root, target, name), "rb") as f:
            return bytearray(f.read())

    # GPT: the entry of 2^40 sectors under CRCs made right (read, not passed over for the
    # backup); a primary header failing its CRC beside a sound backup; an entry starting
    # inside another.
    gpt = seed("partition", "gpt")
    corpus.add("partition", "gpt-entry-2e40-sectors-crcs-right",
               gpt_primary_crcs_made_right(seed("partition", "gpt-entry-2e40-sectors")))
    lost = bytearray(gpt)
    struct.pack_into("<I", lost, SECTOR + 0x50, 1)  # one entry: the header's CRC fails
    corpus.add("partition", "gpt-primary-crc-fails", lost)
    nested = bytearray(gpt)
    entries_at = struct.unpack_from("<Q", nested, SECTOR + 0x48)[0] * SECTOR
    struct.pack_into("<QQ", nested, entries_at + 128 + 32, 12, 30)  # entry 2 from inside entry 1
    corpus.add("partition", "gpt-entry-inside-another", gpt_primary_crcs_made_right(nested))

    # VHD: a block size no disk has under a right checksum; block 0's data far past the end.
    vhd = seed("vhd", "dynamic")
    sized = bytearray(vhd)
    struct.pack_into(">II", sized, 512 + 32, 0x80000000, 0)
    struct.pack_into(">I", sized, 512 + 36, ~sum(sized[512:1536]) & 0xFFFFFFFF)
    corpus.add("vhd", "block-size-2gib-checksum-right", sized)
    past = bytearray(vhd)
    struct.pack_into(">I", past, struct.unpack_from(">Q", past, 512 + 16)[0], 0x7FFFFF00)
    corpus.add("vhd", "block-past-the-end", past)

    # VDI and sparse VMDK: block 0's (grain 0's) data far past the end.
    vdi = seed("vdi", "dynamic")
    struct.pack_into("<I", vdi, struct.unpack_from("<I", vdi, 0x154)[0], 0x00FFFFFF)
    corpus.add("vdi", "block-past-the-end", vdi)
    vmdk = seed("vmdk", "sparse-monolithicSparse")
    for directory in struct.unpack_from("<QQ", vmdk, 0x30):
        if directory:
            struct.pack_into("<I", vmdk, struct.unpack_from("<I", vmdk, directory * SECTOR)[0] * SECTOR, 0x7FFFFF00)
    corpus.add("vmdk", "sparse-grain-past-the-end", vmdk)


def trim(data, unit=SECTOR):
    """Drops the trailing zeros, keeping whole units."""
    end = len(data.rstrip(b"\0"))
    return data[:(end + unit - 1) // unit * unit]


# ---------------------------------------------------------------- FAT

def mtools_env(image):
    env = dict(os.environ, MTOOLSRC="/dev/null", MTOOLS_SKIP_CHECK="1", LC_ALL="C.UTF-8", TZ="UTC")
    return env


def mt(image, *args):
    subprocess.run(args[:1] + ("-i", image) + args[1:], check=True, env=mtools_env(image),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_fat(name, kib, mkfs_args, fill):
    image = path(name)
    if os.path.exists(image):
        os.remove(image)
    run("mkfs.fat", "-C", "-i", "12345678", "-n", "QELDA", *mkfs_args, image, str(kib))
    fill(image)
    with open(image, "rb") as f:
        return f.read()


def text_file(name, lines, tag):
    p = path(name)
    with open(p, "w") as f:
        for i in range(1, lines + 1):
            f.write("%s line %06d of qelda fuzz seed\n" % (tag, i))
    return p


def fill_fat_tree(image):
    mt(image, "mmd", "::/Docs")
    mt(image, "mmd", "::/Docs/Reports 2021")
    mt(image, "mcopy", text_file("readme.txt", 2, "readme"), "::/readme.txt")
    mt(image, "mcopy", text_file("long.txt", 40, "long"), "::/A rather long file name.txt")
    mt(image, "mcopy", text_file("notes.txt", 60, "notes"), "::/Docs/notes.txt")
    mt(image, "mcopy", text_file("report.txt", 10, "report"), "::/Docs/Reports 2021/Report (final).txt")
    mt(image, "mcopy", text_file("gone.txt", 30, "gone"), "::/Docs/deleted file.txt")
    mt(image, "mcopy", text_file("pic.txt", 3, "pic"), "::/picture.jpg")
    mt(image, "mdel", "::/Docs/deleted file.txt")
    mt(image, "mdel", "::/picture.jpg")
    mt(image, "mmd", "::/Gone folder")
    mt(image, "mcopy", text_file("inner.txt", 5, "inner"), "::/Gone folder/inner.txt")
    mt(image, "mdeltree", "::/Gone folder")


def fill_fat_names(image):
    """Names as slot reuse and other systems leave them: a deleted long name whose farthest
    piece's slot a new short entry took, a deleted name filling its last piece, and short
    names with blanks inside (their 11 bytes patched)."""
    mt(image, "mcopy", text_file("pad.txt", 3, "pad"), "::/PAD.BIN")
    mt(image, "mcopy", text_file("cov.txt", 3, "cov"), "::/COV.BIN")
    mt(image, "mcopy", text_file("paf.txt", 3, "paf"), "::/PAF.BIN")
    mt(image, "mcopy", text_file("cut.txt", 30, "cut"), "::/longfilename_alpha_and_more.txt")
    mt(image, "mcopy", text_file("full.txt", 20, "full"), "::/twenty_six_characters_.bin")
    mt(image, "mdel", "::/longfilename_alpha_and_more.txt")
    mt(image, "mdel", "::/twenty_six_characters_.bin")
    mt(image, "mcopy", text_file("new.txt", 2, "new"), "::/NEW.DAT")
    mt(image, "mdel", "::/PAF.BIN")
    with open(image, "r+b") as f:
        vol = bytearray(f.read())
        for old, new in [(b"PAD     BIN", b"PAD 0000 NG"), (b"COV     BIN", b"COV 0000ER "), (b"\xe5AF     BIN", b"\xe5AE 0002 NG")]:
            at = vol.index(old)
            vol[at:at + 11] = new
        f.seek(0)
        f.write(vol)


def fat_name_seeds(corpus):
    vol = make_fat("fat12-names.img", 500, ["-F", "12", "-s", "1", "-r", "32"], fill_fat_names)
    spf = struct.unpack_from("<H", vol, 22)[0]
    reserved = struct.unpack_from("<H", vol, 14)[0]
    root_at = reserved + 2 * spf
    corpus.add("fat", "fat12-boot-root-names", sector(vol, 0) + trim(sector(vol, root_at, 2)))
    corpus.add("fat_scan", "fat12-names-volume", trim(vol))


def shrink_fat32(vol, sectors_per_fat=271):
    """A FAT32 volume made by mkfs.fat and filled by mtools (which want 65525 clusters or
    more), cut to FAT copies of `sectors_per_fat` sectors and the volume they can map: the
    smallest FAT32 whose FAT is still larger than a FAT16's."""
    reserved = struct.unpack_from("<H", vol, 14)[0]
    old_spf = struct.unpack_from("<I", vol, 36)[0]
    clusters = sectors_per_fat * SECTOR // 4 - 2
    total = reserved + 2 * sectors_per_fat + clusters
    out = bytearray(vol[:reserved * SECTOR])
    for copy in range(2):
        fat = vol[(reserved + copy * old_spf) * SECTOR:(reserved + copy * old_spf + sectors_per_fat) * SECTOR]
        out += fat
    data = (reserved + 2 * old_spf) * SECTOR
    out += vol[data:data + clusters * SECTOR]
    for boot in (0, 6):
        struct.pack_into("<H", out, boot * SECTOR + 19, 0)
        struct.pack_into("<I", out, boot * SECTOR + 32, total)
        struct.pack_into("<I", out, boot * SECTOR + 36, sectors_per_fat)
    return bytes(out)


def fat_seeds(corpus):
    volumes = {
        "fat12": make_fat("fat12.img", 500, ["-F", "12", "-s", "1", "-r", "32"], fill_fat_tree),
        "fat16": make_fat("fat16.img", 2200, ["-F", "16", "-s", "1", "-r", "64"], fill_fat_tree),
        "fat32": shrink_fat32(make_fat("fat32.img", 34000, ["-F", "32", "-s", "1", "-R", "8"], fill_fat_tree)),
    }
    for kind, vol in volumes.items():
        # The volume up to its last used sector: boot sector, FAT copies, root, the clusters used.
        corpus.add("fat_scan", kind + "-volume", trim(vol))
        # The boot sector followed by the root directory's sectors, and by each FAT's first sector.
        spf = struct.unpack_from("<H", vol, 22)[0] or struct.unpack_from("<I", vol, 36)[0]
        reserved = struct.unpack_from("<H", vol, 14)[0]
        root_entries = struct.unpack_from("<H", vol, 17)[0]
        root_at = reserved + 2 * spf
        root_sectors = root_entries * 32 // SECTOR or 2
        corpus.add("fat", kind + "-boot-root", sector(vol, 0) + trim(sector(vol, root_at, root_sectors)))
        corpus.add("fat", kind + "-boot-fat", sector(vol, 0) + sector(vol, reserved) + sector(vol, reserved + spf))
    return volumes


def fat_hostile(corpus, volumes):
    vol12 = bytearray(volumes["fat12"])
    spf = struct.unpack_from("<H", vol12, 22)[0]
    reserved = struct.unpack_from("<H", vol12, 14)[0]
    root_at = reserved + 2 * spf

    def entry(name83, attr, cluster, size):
        e = bytearray(32)
        put(e, 0, name83)
        e[11] = attr
        struct.pack_into("<H", e, 20, cluster >> 16)
        struct.pack_into("<H", e, 26, cluster & 0xFFFF)
        struct.pack_into("<I", e, 28, size)
        struct.pack_into("<HHHH", e, 14, 0x6000, 0x52CF, 0x52CF, 0)  # 2021-06-15 12:00
        struct.pack_into("<HH", e, 22, 0x6000, 0x52CF)
        return e

    def long_entries(text, checksum=0):
        units = text.encode("utf-16-le")
        chars = [units[i:i + 2] for i in range(0, len(units), 2)] + [b"\0\0"]
        while len(chars) % 13:
            chars.append(b"\xff\xff")
        pieces = [chars[i:i + 13] for i in range(0, len(chars), 13)]
        out = []
        for n, piece in enumerate(pieces, 1):
            e = bytearray(32)
            e[0] = n | (0x40 if n == len(pieces) else 0)
            put(e, 1, b"".join(piece[0:5]))
            e[11] = 0x0F
            e[13] = checksum
            put(e, 14, b"".join(piece[5:11]))
            put(e, 28, b"".join(piece[11:13]))
            out.append(e)
        return b"".join(reversed(out))

    # A long name of 300 characters, a short name starting with 0x05, a folder whose cluster
    # is the root's parent loop, a file claiming 4 GiB, and a cluster past the volume.
    root = bytearray(32 * 32)
    entries = long_entries("L" * 300) + entry(b"LONGNAMETXT", 0x20, 5, 10)
    entries += entry(b"\x05ABC    TXT", 0x20, 6, 100)
    entries += entry(b"LOOP       ", 0x10, 7, 0)
    entries += entry(b"HUGE    BIN", 0x20, 8, 0xFFFFFFFF)
    entries += entry(b"FAR     BIN", 0x20, 0xFFFF, 512)
    put(root, 0, entries)
    hostile = bytearray(vol12)
    put(hostile, root_at * SECTOR, root)
    # Cluster 7 is a folder whose entries name itself and the root, and whose chain loops.
    data_at = root_at + 32 * 32 // SECTOR
    folder = entry(b".          ", 0x10, 7, 0) + entry(b"..         ", 0x10, 0, 0) + entry(b"SELF       ", 0x10, 7, 0)
    put(hostile, (data_at + 7 - 2) * SECTOR, folder)
    fat = bytearray(sector(vol12, reserved, spf))

    def set12(table, n, value):
        at = n * 3 // 2
        v = struct.unpack_from("<H", table, at)[0]
        v = (v & 0x000F) | (value << 4) if n & 1 else (v & 0xF000) | value
        struct.pack_into("<H", table, at, v)

    set12(fat, 7, 7)      # a chain that names itself
    set12(fat, 8, 9)
    set12(fat, 9, 8)      # two clusters that name each other
    for copy in range(2):
        put(hostile, (reserved + copy * spf) * SECTOR, fat)
    corpus.add("fat_scan", "fat12-hostile-names-loops-sizes", trim(hostile))
    corpus.add("fat", "hostile-root", sector(vol12, 0) + root + folder)

    # Boot sectors that claim the largest FAT and cluster counts the fields allow.
    boot32 = bytearray(sector(volumes["fat32"], 0))
    struct.pack_into("<I", boot32, 36, 0x1FFFFF)   # sectors per FAT
    struct.pack_into("<I", boot32, 32, 0xFFFFFFFF)  # total sectors
    corpus.add("fat_scan", "fat32-huge-fat", boot32)
    corpus.add("fat", "fat32-huge-fat", boot32)
    boot16 = bytearray(sector(volumes["fat16"], 0))
    struct.pack_into("<H", boot16, 14, 0xFFFF)     # reserved sectors
    boot16[13] = 128
    corpus.add("fat", "fat16-huge-reserved", boot16)


# ---------------------------------------------------------------- NTFS

def fixup_read(raw, usa_offset_field=4):
    """Returns the record with each sector's last word put back, and the update sequence."""
    rec = bytearray(raw)
    usa, count = struct.unpack_from("<HH", rec, usa_offset_field)
    usn = bytes(rec[usa:usa + 2])
    for i in range(1, count):
        put(rec, i * SECTOR - 2, rec[usa + 2 * i:usa + 2 * i + 2])
    return rec, usn


def fixup_write(rec, usn, usa_offset_field=4):
    rec = bytearray(rec)
    usa, count = struct.unpack_from("<HH", rec, usa_offset_field)
    for i in range(1, count):
        put(rec, usa + 2 * i, rec[i * SECTOR - 2:i * SECTOR])
        put(rec, i * SECTOR - 2, usn)
    return rec


def attributes(rec):
    at = struct.unpack_from("<H", rec, 0x14)[0]
    while at + 8 <= len(rec):
        kind, length = struct.unpack_from("<II", rec, at)
        if kind == 0xFFFFFFFF or length < 0x18 or at + length > len(rec):
            return
        yield at, kind, length
        at += length


def decode_runs(rec, at):
    runs = []
    lcn = 0
    while at < len(rec) and rec[at]:
        header = rec[at]
        nl, no = header & 0xF, header >> 4
        length = int.from_bytes(rec[at + 1:at + 1 + nl], "little")
        if no:
            delta = int.from_bytes(rec[at + 1 + nl:at + 1 + nl + no], "little", signed=True)
            lcn += delta
            runs.append((length, lcn))
        else:
            runs.append((length, None))
        at += 1 + nl + no
    return runs


def encode_runs(runs):
    out = bytearray()
    previous = 0
    for length, lcn in runs:
        lb = length.to_bytes(8, "little").rstrip(b"\0") or b"\0"
        if lcn is None:
            out += bytes([len(lb)]) + lb
            continue
        delta = lcn - previous
        n = 1
        while not -(1 << (8 * n - 1)) <= delta < (1 << (8 * n - 1)):
            n += 1
        out += bytes([len(lb) | n << 4]) + lb + delta.to_bytes(n, "little", signed=True)
        previous = lcn
    return out + b"\0"


def set_runs(rec, attr_at, attr_len, runs):
    """Replaces a non-resident attribute's runs, growing the attribute (and moving the ones
    after it) when they need more room."""
    runs_at = attr_at + struct.unpack_from("<H", rec, attr_at + 0x20)[0]
    encoded = encode_runs(runs)
    room = attr_at + attr_len - runs_at
    if len(encoded) > room:
        grow = (len(encoded) - room + 7) // 8 * 8
        in_use = struct.unpack_from("<I", rec, 0x18)[0]
        end = attr_at + attr_len
        assert in_use + grow <= 1024 - 8, "the record has no room for the new runs"
        rec[end + grow:in_use + grow] = rec[end:in_use]
        rec[end:end + grow] = b"\0" * grow
        struct.pack_into("<I", rec, attr_at + 4, attr_len + grow)
        struct.pack_into("<I", rec, 0x18, in_use + grow)
        room += grow
    put(rec, runs_at, encoded + b"\0" * (room - len(encoded)))


def rewrite_runs(vol, at, kind, new_runs, size=None):
    """Gives the first attribute of `kind` of the record at byte `at` of `vol` the runs
    new_runs(its runs), and (when given) that size."""
    rec, usn = fixup_read(vol[at:at + 1024])
    for a, k, length in attributes(rec):
        if k == kind:
            set_runs(rec, a, length, new_runs(decode_runs(rec, a + struct.unpack_from("<H", rec, a + 0x20)[0])))
            if size is not None:
                struct.pack_into("<QQQ", rec, a + 0x28, size, size, size)
            break
    put(vol, at, fixup_write(rec, usn))


def make_ntfs_volume(name, fill, options=()):
    image = path(name)
    mnt = path(name + ".mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(image, "wb") as f:
        f.truncate(2 << 20)
    run("mkntfs", "-F", "-Q", "-q", "-c", "512", "-z", "1", "-L", "qelda", image)
    proc = subprocess.Popen(["ntfs-3g", "-o", ",".join(("no_detach",) + tuple(options)), image, mnt],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.ismount(mnt):
            break
        time.sleep(0.1)
    try:
        fill(mnt)
    finally:
        subprocess.run(["fusermount", "-u", mnt], check=False)
        proc.wait()
    with open(image, "rb") as f:
        return bytearray(f.read())


def compact_ntfs(vol, max_relocated_clusters=48):
    """The volume's boot sector, $MFT and the small non-resident attributes of the records the
    scans read (the $MFT's own, its mirror, the root and every user file and folder), moved
    into the free clusters in front of the $MFT and right after it; nothing else. The other
    system files keep runs that lead into zeros. Records 16 to 63 (which no tool fills)
    become a hole in the $MFT's runs. A volume of a few tens of KiB whose runs still hold."""
    spc = vol[13]
    assert spc == 1, "the compaction assumes 512-byte clusters"
    mft_lcn = struct.unpack_from("<Q", vol, 0x30)[0]
    rec0, usn0 = fixup_read(vol[mft_lcn * SECTOR:mft_lcn * SECTOR + 1024])
    data = [a for a in attributes(rec0) if a[1] == 0x80][0]
    mft_runs = decode_runs(rec0, data[0] + struct.unpack_from("<H", rec0, data[0] + 0x20)[0])
    mft_bytes = b"".join(vol[l * SECTOR:(l + n) * SECTOR] for n, l in mft_runs if l is not None)
    count = len(mft_bytes) // 1024
    used = [r for r in range(count) if mft_bytes[r * 1024:r * 1024 + 4] == b"FILE" and
            (r < 16 or r >= 64) and struct.unpack_from("<H", mft_bytes, r * 1024 + 0x16)[0] & 1]
    last = max(used) + 1
    out = bytearray(len(vol))
    out[0:SECTOR] = vol[0:SECTOR]
    # The new $MFT: records 0-15 at the old place, a hole, records 64 on after them.
    low = 16 * 2
    high_lcn = mft_lcn + low
    new_mft_runs = [(low, mft_lcn), (48 * 2, None), ((last - 64) * 2, high_lcn)]
    free = high_lcn + (last - 64) * 2
    # Free room in front of the $MFT, after the boot file's clusters.
    boot_clusters = 8192 // SECTOR
    low_free, low_end = boot_clusters, mft_lcn

    def place(n):
        nonlocal free, low_free
        if low_free + n <= low_end:
            low_free += n
            return low_free - n
        free += n
        return free - n

    kept_ranges = []
    records = {}
    mirror = None
    for r in list(range(16)) + list(range(64, last)):
        raw = mft_bytes[r * 1024:(r + 1) * 1024]
        if raw[:4] != b"FILE":
            records[r] = bytearray(raw)
            continue
        rec, usn = fixup_read(raw)
        index = 0
        while index < len(list(attributes(rec))):
            at, kind, length = list(attributes(rec))[index]
            index += 1
            if rec[at + 8] == 0:
                continue
            runs = decode_runs(rec, at + struct.unpack_from("<H", rec, at + 0x20)[0])
            if r == 0 and kind == 0x80:
                set_runs(rec, at, length, new_mft_runs)
                size = sum(n for n, _ in new_mft_runs) * SECTOR
                struct.pack_into("<QQQ", rec, at + 0x28, size, size, size)
                continue
            clusters = sum(n for n, l in runs if l is not None)
            if clusters > max_relocated_clusters or r in (2, 3, 4, 7, 8, 9, 10, 11):
                kept_ranges += [(l, l + n) for n, l in runs if l is not None]
                continue
            moved = []
            for n, l in runs:
                if l is None:
                    moved.append((n, None))
                    continue
                to = place(n)
                out[to * SECTOR:(to + n) * SECTOR] = vol[l * SECTOR:(l + n) * SECTOR]
                moved.append((n, to))
            set_runs(rec, at, length, moved)
            if r == 1 and kind == 0x80:
                mirror = moved[0][1]
                struct.pack_into("<Q", out, 0x38, mirror)  # the boot sector's $MFTMirr cluster
        records[r] = fixup_write(rec, usn)
    for r, rec in records.items():
        lcn = mft_lcn + 2 * r if r < 16 else high_lcn + 2 * (r - 64)
        out[lcn * SECTOR:lcn * SECTOR + 1024] = rec
    # The mirror holds the first four records as they now are.
    for r in range(4):
        out[(mirror + 2 * r) * SECTOR:(mirror + 2 * r + 2) * SECTOR] = records[r]
    for a, b in kept_ranges:
        assert b <= boot_clusters or a >= free or (b <= mft_lcn and a >= low_free), \
            "a kept run lies where the compaction put data"
    return trim(bytes(out))


def fill_ntfs_tree(m):
    os.makedirs(m + "/Docs/Sub")
    os.makedirs(m + "/many")
    with open(m + "/a.txt", "w") as f:
        f.write("hello\n")
    with open(m + "/Docs/num.txt", "w") as f:
        f.write("".join("%d\n" % i for i in range(1, 700)))
    for i in range(1, 17):
        with open(m + "/many/file%02d.txt" % i, "w") as f:
            f.write("file %d\n" % i)
    os.link(m + "/Docs/num.txt", m + "/num-link.txt")
    with open(m + "/Ünïcödé 日本.txt", "w") as f:
        f.write("unicode\n")
    with open(m + "/Long File Name.txt", "w") as f:
        f.write("long\n")
    subprocess.run(["setfattr", "-n", "system.ntfs_dos_name", "-v", "LONGFI~1.TXT", m + "/Long File Name.txt"], check=True)
    with open(m + "/sparse.bin", "wb") as f:
        f.truncate(200000)
        f.seek(150000)
        f.write(b"sparse tail\n")
    os.makedirs(m + "/packed")
    subprocess.run(["setfattr", "-n", "system.ntfs_attrib_be", "-v", "0x00000800", m + "/packed"], check=True)
    with open(m + "/packed/c.txt", "w") as f:
        f.write("".join("compressed line %05d\n" % i for i in range(1, 400)))


def fill_ntfs_listed(m):
    # A file written cluster by cluster, even ones first: its runs outgrow the record, so it
    # gets an attribute list and an extension record.
    clusters = 240
    with open(m + "/listed.bin", "wb") as f:
        f.truncate(clusters * SECTOR)
    with open(m + "/listed.bin", "r+b") as f:
        for i in list(range(0, clusters, 2)) + list(range(1, clusters, 2)):
            f.seek(i * SECTOR)
            f.write(bytes([i & 0xFF]) * SECTOR)
            f.flush()
            os.fsync(f.fileno())


def fill_ntfs_folders(m):
    # Folders whose index grew into an "INDX" block and was emptied again: the block stays.
    for d in range(8):
        os.makedirs(m + "/folder%d" % d)
    for d in range(8):
        for i in range(14):
            with open(m + "/folder%d/file%02d.txt" % (d, i), "w") as f:
                f.write("x\n")
        for i in range(14):
            os.remove(m + "/folder%d/file%02d.txt" % (d, i))


def ntfs_seeds(corpus):
    tree = make_ntfs_volume("tree.img", fill_ntfs_tree, ("compression",))
    listed = make_ntfs_volume("listed.img", fill_ntfs_listed)
    small_tree = compact_ntfs(tree)
    small_listed = compact_ntfs(listed, max_relocated_clusters=8)
    corpus.add("ntfs_scan", "tree", small_tree)
    corpus.add("ntfs_scan", "attribute-list", small_listed)
    folders = compact_ntfs(make_ntfs_volume("folders.img", fill_ntfs_folders))
    # The $MFT's first record gone: the mirror stands in.
    no_record0 = bytearray(small_tree)
    mft_lcn = struct.unpack_from("<Q", no_record0, 0x30)[0]
    put(no_record0, mft_lcn * SECTOR, b"\0" * 1024)
    corpus.add("ntfs_scan", "mft-record0-zeroed", no_record0)
    # A disk image inside the volume: the volume again after its end, which its boot sector
    # is made to take in; the copy's records are the image's, not the volume's.
    nested = bytearray(small_tree) + small_tree
    struct.pack_into("<Q", nested, 0x28, len(nested) // SECTOR - 1)
    corpus.add("ntfs_scan", "nested-volume", nested)

    # Records, index blocks and compressed units as the in-memory targets take them.
    mft_lcn = struct.unpack_from("<Q", tree, 0x30)[0]
    names = {0: "mft", 1: "mftmirr", 3: "volume", 5: "root", 6: "bitmap", 8: "badclus", 9: "secure", 11: "extend"}
    for r, what in names.items():
        corpus.add("mft", "record-%s" % what, tree[(mft_lcn + 2 * r) * SECTOR:(mft_lcn + 2 * r + 2) * SECTOR])
    for label, vol in (("tree", tree), ("listed", listed)):
        lcn = struct.unpack_from("<Q", vol, 0x30)[0]
        for r in range(64, 80):
            raw = vol[(lcn + 2 * r) * SECTOR:(lcn + 2 * r + 2) * SECTOR]
            if raw[:4] == b"FILE":
                corpus.add("mft", "record-%s-%d" % (label, r), raw)
    # Index blocks: every "INDX" block of the tree volume; the root's entries as resident ones.
    for at in range(0, len(tree), SECTOR):
        if tree[at:at + 4] == b"INDX":
            corpus.add("index", "indx-%d" % (at // SECTOR), tree[at:at + 4096])
    root, _ = fixup_read(tree[(mft_lcn + 10) * SECTOR:(mft_lcn + 12) * SECTOR])
    for at, kind, length in attributes(root):
        if kind == 0x90:
            value = at + struct.unpack_from("<H", root, at + 0x14)[0]
            entries = value + 0x10 + struct.unpack_from("<I", root, value + 0x10)[0]
            corpus.add("index", "root-entries", root[entries:at + length])
    return tree, small_tree, folders


def large_record_seeds(corpus):
    """$MFT and root records of 2048 and 4096 bytes, as mkntfs makes them for sectors as large."""
    for size in (2048, 4096):
        image = path("records-%d.img" % size)
        with open(image, "wb") as f:
            f.truncate(4 << 20)
        run("mkntfs", "-F", "-Q", "-q", "-s", str(size), "-c", "4096", "-L", "qelda", image)
        with open(image, "rb") as f:
            vol = f.read()
        at = struct.unpack_from("<Q", vol, 0x30)[0] * 4096
        for r, what in ((0, "mft"), (5, "root")):
            corpus.add("mft", "record-%s-%d" % (what, size), vol[at + r * size:at + (r + 1) * size])


def lznt1_seeds(corpus, tree):
    # The compressed units of packed/c.txt, as they lie in their clusters.
    out = run("fls", "-r", "-p", path("tree.img")).decode()
    inode = [l.split()[1].split("-")[0] for l in out.splitlines() if l.endswith("packed/c.txt")][0]
    stat = run("istat", path("tree.img"), inode).decode()
    clusters = []
    take = False
    for line in stat.splitlines():
        if line.startswith("Type: $DATA"):
            take = True
            continue
        if take:
            if not line.strip() or line.startswith("Type:"):
                break
            clusters += [int(c) for c in line.split()]
    raw = b"".join(tree[c * SECTOR:(c + 1) * SECTOR] for c in clusters)
    corpus.add("lznt1", "text-unit", raw[:16 * SECTOR])
    corpus.add("lznt1", "text-all", raw)
    # Hand-made: a stored chunk, a back-reference before the window, a chunk longer than its
    # input, a chunk header claiming 4 KiB with one byte behind it.
    stored = struct.pack("<H", 0x3000 | (16 - 1)) + bytes(range(16))
    corpus.add("lznt1", "stored-chunk", stored)
    corpus.add("lznt1", "reference-before-start", struct.pack("<H", 0xB000 | 4) + b"\x01\xff\xff\x00\x00")
    corpus.add("lznt1", "chunk-past-input", struct.pack("<H", 0xBFFF) + b"\x00")
    corpus.add("lznt1", "zero-header-then-data", b"\x00\x00" + stored)


def indx_block(entries, vcn=0, size=4096):
    """A fixed-up "INDX" block holding the given entries and the last-entry mark."""
    block = bytearray(size)
    put(block, 0, b"INDX")
    count = size // SECTOR + 1
    struct.pack_into("<HH", block, 4, 0x28, count)
    struct.pack_into("<Q", block, 0x10, vcn)
    first = (0x28 + 2 * count + 7) // 8 * 8
    body = b"".join(entries) + struct.pack("<QHHI", 0, 0x10, 0, 2)
    struct.pack_into("<III", block, 0x18, first - 0x18, first - 0x18 + len(body), size - 0x18)
    put(block, first, body)
    return fixup_write(block, b"\x01\x00")


def index_entry(record, parent, name, folder=False, size=0):
    units = name.encode("utf-16-le")
    length = (0x52 + len(units) + 7) // 8 * 8
    e = bytearray(length)
    struct.pack_into("<Q", e, 0, record | (1 << 48))
    struct.pack_into("<HH", e, 8, length, 0x42 + len(units))
    struct.pack_into("<Q", e, 0x10, parent | (1 << 48))
    struct.pack_into("<QQ", e, 0x38, size, size)
    struct.pack_into("<I", e, 0x48, 0x10000000 if folder else 0x20)
    e[0x50] = len(name)
    e[0x51] = 1
    put(e, 0x52, units)
    return e


def ntfs_hostile(corpus, tree_volume, folders_volume):
    vol = bytearray(folders_volume)
    mft_lcn = struct.unpack_from("<Q", vol, 0x30)[0]
    high = mft_lcn + 32

    def record_at(r):
        lcn = mft_lcn + 2 * r if r < 16 else high + 2 * (r - 64)
        return lcn * SECTOR

    def folder_records():
        """The folders whose index has "INDX" blocks."""
        for r in range(64, 200):
            at = record_at(r)
            raw = vol[at:at + 1024]
            if raw[:4] == b"FILE" and struct.unpack_from("<H", raw, 0x16)[0] & 2 and \
                    any(kind == 0xA0 for _, kind, _ in attributes(fixup_read(raw)[0])):
                yield r

    # Folders that share one index block: every folder's $INDEX_ALLOCATION (and the root's)
    # names the same block, which lists every folder again.
    folders = list(folder_records())
    shared = bytearray(vol)
    block_lcn = len(shared) // SECTOR
    entries = [index_entry(r, 5, "shared%03d" % r, folder=True) for r in folders]
    entries += [index_entry(r, 5, "again%03d" % r, folder=True) for r in folders]
    shared += indx_block(entries)
    for r in folders + [5]:
        rewrite_runs(shared, record_at(r), 0xA0, lambda runs: [(8, block_lcn)])
    corpus.add("ntfs_scan", "shared-index-blocks", shared)

    # Huge runs and sizes: the $MFT claiming 2^32 - 1 clusters after its real run, a folder
    # block run of 2^32 - 1 clusters, and index entries claiming a 1 TiB file.
    vol = bytearray(tree_volume)
    folders = list(folder_records())
    huge = bytearray(vol)
    rewrite_runs(huge, record_at(0), 0x80, lambda runs: runs[:1] + [(0xFFFFFFFF, runs[0][1] + 1)])
    corpus.add("ntfs_scan", "mft-run-2e32-clusters", huge)
    huge = bytearray(vol)
    rewrite_runs(huge, record_at(folders[0]), 0xA0, lambda runs: [(0xFFFFFFFF, runs[0][1])], size=1 << 40)
    corpus.add("ntfs_scan", "index-run-2e32-clusters", huge)
    huge = bytearray(vol)
    block_lcn = len(huge) // SECTOR
    files = [r for r in range(64, 200) if huge[record_at(r):record_at(r) + 4] == b"FILE"
             and not struct.unpack_from("<H", huge, record_at(r) + 0x16)[0] & 2]
    # Sizes just inside the largest volume the target makes, far past what the runs hold.
    claim = (1 << 16) * SECTOR - 4096
    huge += indx_block([index_entry(r, 5, "huge%03d" % r, size=claim - r) for r in files])
    rewrite_runs(huge, record_at(5), 0xA0, lambda runs: [(8, block_lcn)])
    struct.pack_into("<Q", huge, 0x28, (1 << 16) - 1)
    corpus.add("ntfs_scan", "entries-claim-32mib", huge)
    boot = bytearray(huge[:SECTOR])
    struct.pack_into("<Q", boot, 0x28, 1 << 40)  # a volume that claims 2^40 sectors
    corpus.add("ntfs_scan", "boot-claims-2e40-sectors", boot + huge[SECTOR:])

    # For the record target: runs of every width, a run with a 2^32 - 1 length and a
    # negative offset below cluster 0, and an attribute list naming many records.
    rec = bytearray(1024)
    put(rec, 0, b"FILE")
    struct.pack_into("<HHQHHHH", rec, 4, 0x30, 3, 0, 1, 1, 0x38, 1)
    attr = bytearray(0x80)
    struct.pack_into("<IIBB", attr, 0, 0x80, 0x80, 1, 0)
    struct.pack_into("<H", attr, 0x20, 0x40)
    struct.pack_into("<QQQ", attr, 0x28, 1 << 50, 1 << 50, 1 << 50)
    put(attr, 0x40, bytes([0x44]) + b"\xff\xff\xff\xff" + b"\x00\x00\x00\x80" + bytes([0x11, 5, 0x80]) +
        bytes([0x08]) + b"\x01" * 8 + b"\x00")
    put(rec, 0x38, attr)
    struct.pack_into("<I", rec, 0xB8, 0xFFFFFFFF)
    corpus.add("mft", "hostile-runs", rec)
    lst = bytearray()
    for i in range(200):
        lst += struct.pack("<IHBBQQH", 0x80, 0x20, 0, 0x1A, i * 4, 1000 + i, 0) + b"\0" * 6
    corpus.add("mft", "hostile-attribute-list", bytes(rec) + lst)
    corpus.add("index", "shared-block", indx_block(entries))


# ---------------------------------------------------------------- partition tables

def boot_sectors():
    fat = make_fat("boot12.img", 64, ["-F", "12"], lambda image: None)
    nt = path("bootntfs.img")
    with open(nt, "wb") as f:
        f.truncate(2 << 20)
    run("mkntfs", "-F", "-Q", "-q", nt)
    with open(nt, "rb") as f:
        return fat[:SECTOR], f.read(SECTOR)


def partition_seeds(corpus):
    fat_boot, ntfs_boot = boot_sectors()

    def disk(name, sectors, table_cmd, volumes):
        image = path(name)
        with open(image, "wb") as f:
            f.truncate(sectors * SECTOR)
        table_cmd(image)
        with open(image, "r+b") as f:
            for start, boot in volumes:
                f.seek(start * SECTOR)
                f.write(boot)
        with open(image, "rb") as f:
            return f.read()

    def sfdisk(script):
        return lambda image: subprocess.run(["sfdisk", "-q", image], input=script.encode(), check=True,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    mbr = disk("mbr.raw", 96, sfdisk("label: dos\nstart=4, size=8, type=1\nstart=16, size=70, type=5\n"
                                     "start=20, size=6, type=6\nstart=30, size=8, type=7\nstart=44, size=10, type=b\n"
                                     "start=60, size=20, type=83\n"),
               [(4, fat_boot), (20, fat_boot), (30, ntfs_boot), (44, fat_boot), (60, fat_boot)])
    corpus.add("partition", "mbr-ebr-chain", mbr)

    def sgdisk(*args):
        return lambda image: run("sgdisk", "-S", "8", *args, image)

    gpt = disk("gpt.raw", 72, sgdisk("-n", "1:10:20", "-t", "1:0700", "-c", "1:Basic data partition",
                                      "-n", "2:22:40", "-t", "2:0700", "-n", "3:42:60", "-t", "3:8300"),
               [(10, fat_boot), (22, ntfs_boot), (42, fat_boot)])
    corpus.add("partition", "gpt", gpt)

    # Hostile tables: sizes of 2^32 - 1 sectors and a start past the disk in the MBR, a GPT
    # entry claiming 2^40 sectors, an extended chain that leads back to itself.
    big = bytearray(mbr[:SECTOR]) + bytearray(mbr[SECTOR:])
    struct.pack_into("<II", big, 446 + 8, 4, 0xFFFFFFFF)
    struct.pack_into("<II", big, 446 + 16 * 2 + 8, 0xFFFFFF00, 0xFFFFFFFF)
    big[446 + 16 * 2 + 4] = 0x07
    corpus.add("partition", "mbr-sizes-2e32", big)
    huge = bytearray(gpt)
    entries_at = struct.unpack_from("<Q", huge, SECTOR + 72)[0] * SECTOR
    struct.pack_into("<Q", huge, entries_at + 40, 10 + (1 << 40))
    corpus.add("partition", "gpt-entry-2e40-sectors", huge)  # the entries' CRC no longer matches
    loop = bytearray(mbr)
    # The first logical table's link entry names the extended partition's own first sector.
    ebr = 16
    struct.pack_into("<II", loop, ebr * SECTOR + 446 + 16 + 8, 0, 70)
    loop[ebr * SECTOR + 446 + 16 + 4] = 0x05
    corpus.add("partition", "ebr-chain-loop", loop)
    return fat_boot


def ldm_seeds(corpus, data_dir, fat_boot):
    images = path("ldm")
    os.makedirs(images, exist_ok=True)
    run("tar", "xJf", os.path.join(data_dir, "ldm", "ldm-data.tar.xz"), "-C", images)
    with open(os.path.join(images, "ldm-2003r2-simple-1.img"), "rb") as f:
        disk = f.read()
    head = struct.unpack_from(">Q", disk, 6 * SECTOR + 0x12B)[0]
    vmdb = next(s for s in range(head, head + 2048) if disk[s * SECTOR:s * SECTOR + 4] == b"VMDB")
    end = vmdb + 1
    while any(disk[end * SECTOR + i * 128 + 0x13] for i in range(4)) and disk[end * SECTOR:end * SECTOR + 4] == b"VBLK":
        end += 1
    records = bytearray(disk[(vmdb + 1) * SECTOR:end * SECTOR])
    # Every partition record starts a volume close to the disk's start, where a FAT boot
    # sector waits; the database follows the volumes.
    starts = []
    for at in range(0, len(records), 128):
        r = records[at:at + 128]
        if r[:4] != b"VBLK" or r[0x13] & 0x0F != 3 or struct.unpack_from(">H", r, 0x0C)[0] != 0:
            continue
        p = 0x18
        p += 1 + r[p]  # id
        p += 1 + r[p]  # name
        p += 12
        start = len(starts)
        struct.pack_into(">Q", records, at + p, start)
        starts.append(start)
    logical = 8
    base = logical + len(starts) + 1
    out = bytearray((base + 1 + len(records) // SECTOR) * SECTOR)
    put(out, 0, disk[:SECTOR])
    put(out, 6 * SECTOR, disk[6 * SECTOR:7 * SECTOR])
    struct.pack_into(">Q", out, 6 * SECTOR + 0x11B, logical)
    for s in starts:
        put(out, (logical + s) * SECTOR, fat_boot)
    put(out, base * SECTOR, disk[vmdb * SECTOR:(vmdb + 1) * SECTOR])
    put(out, (base + 1) * SECTOR, records)
    corpus.add("partition", "ldm-simple", out)

    # The same database with its records repeated: every volume, component, partition and
    # disk record 8 times over.
    repeated = bytearray(out[:(base + 1) * SECTOR]) + records * 8
    corpus.add("partition", "ldm-records-repeated", repeated)
    # A partition record claiming 2^40 sectors on a disk of a few hundred.
    huge = bytearray(out)
    at = (base + 1) * SECTOR
    for off in range(0, len(records), 128):
        r = huge[at + off:at + off + 128]
        if r[:4] == b"VBLK" and r[0x13] & 0x0F == 3:
            p = 0x18
            p += 1 + r[p]
            p += 1 + r[p]
            p += 12 + 16
            n = r[p]
            huge[at + off + p + 1:at + off + p + 1 + n] = min(1 << 40, (1 << (8 * n)) - 1).to_bytes(n, "big")
    corpus.add("partition", "ldm-partition-2e40-sectors", huge)


# ---------------------------------------------------------------- image formats

def small_disk():
    """A 1 MiB disk: an MBR and a FAT12 volume at sector 4, made by sfdisk and mkfs.fat."""
    raw = path("small.raw")
    with open(raw, "wb") as f:
        f.truncate(1 << 20)
    subprocess.run(["sfdisk", "-q", raw], input=b"label: dos\nstart=4, type=1\n", check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    vol = make_fat("small-vol.img", 1020, ["-F", "12"], fill_fat_tree)
    with open(raw, "r+b") as f:
        f.seek(4 * SECTOR)
        f.write(vol[:(1 << 20) - 4 * SECTOR])
    return raw


def image_seeds(corpus):
    raw = small_disk()

    def convert(fmt, name, *options):
        out = path(name)
        run("qemu-img", "convert", "-f", "raw", "-O", fmt, *options, raw, out)
        with open(out, "rb") as f:
            return f.read()

    # VMDK: the descriptors qemu-img writes, and sparse files cut after their first grain's
    # first sectors (grain tables, embedded descriptor and the MBR all lie in front).
    for sub in ("monolithicFlat", "twoGbMaxExtentFlat", "twoGbMaxExtentSparse"):
        convert("vmdk", "d-%s.vmdk" % sub, "-o", "subformat=" + sub)
        with open(path("d-%s.vmdk" % sub), "rb") as f:
            text = f.read()
        corpus.add("vmdk", "descriptor-" + sub, text)
    desc = open(path("d-monolithicFlat.vmdk"), "rb").read()
    corpus.add("vmdk", "descriptor-names-itself-flat", desc.replace(b'"d-monolithicFlat-flat.vmdk"', b'"image.vmdk"'))
    corpus.add("vmdk", "descriptor-names-itself-sparse",
               desc.replace(b'"d-monolithicFlat-flat.vmdk"', b'"image.vmdk"').replace(b"FLAT", b"SPARSE")
               .replace(b"monolithicFlat", b"monolithicSparse"))
    corpus.add("vmdk", "descriptor-extent-2e60-sectors", desc.replace(b"RW 2048 FLAT", b"RW 1152921504606846976 FLAT"))
    for sub in ("monolithicSparse", "streamOptimized"):
        data = convert("vmdk", "s-%s.vmdk" % sub, "-o", "subformat=" + sub)
        grain0 = None
        if sub == "monolithicSparse":
            gd = struct.unpack_from("<Q", data, 0x38)[0]
            gt = struct.unpack_from("<I", data, gd * SECTOR)[0]
            grain0 = struct.unpack_from("<I", data, gt * SECTOR)[0]
        cut = (grain0 + 8) * SECTOR if grain0 else 24 * SECTOR
        corpus.add("vmdk", "sparse-" + sub, data[:cut])
    sparse = bytearray(open(path("s-monolithicSparse.vmdk"), "rb").read()[:8 * SECTOR])
    struct.pack_into("<QQ", sparse, 0x0C, 1 << 62, 1 << 24)  # capacity, grain sectors
    struct.pack_into("<I", sparse, 0x2C, 0xFFFFFFFF)         # grain table entries
    corpus.add("vmdk", "sparse-header-huge-fields", sparse)
    selfmap = bytearray(open(path("s-monolithicSparse.vmdk"), "rb").read()[:32 * SECTOR])
    gd = struct.unpack_from("<Q", selfmap, 0x38)[0]
    gt = struct.unpack_from("<I", selfmap, gd * SECTOR)[0]
    for i in range(512):
        struct.pack_into("<I", selfmap, gt * SECTOR + 4 * i, 1)  # every grain is the header's sector
    corpus.add("vmdk", "sparse-grains-all-one-sector", selfmap)

    # VDI: qemu-img's dynamic and static images, cut after the first block's first sectors.
    for sub in ("dynamic", "static"):
        opts = ("-o", "static=on") if sub == "static" else ()
        data = convert("vdi", "i-%s.vdi" % sub, *opts)
        data_offset = struct.unpack_from("<I", data, 0x158)[0]
        corpus.add("vdi", sub, data[:data_offset + 8 * SECTOR])
    vdi = bytearray(open(path("i-dynamic.vdi"), "rb").read()[:SECTOR * 4])
    struct.pack_into("<Q", vdi, 0x170, 1 << 62)        # disk size
    struct.pack_into("<I", vdi, 0x180, 0xFFFFFFFF)     # blocks in the disk
    struct.pack_into("<I", vdi, 0x154, 0x7FFFFFFF)     # block map far past the file
    corpus.add("vdi", "huge-fields", vdi)
    same = bytearray(open(path("i-dynamic.vdi"), "rb").read()[:SECTOR * 8])
    bmap = struct.unpack_from("<I", same, 0x154)[0]
    for i in range(64):
        struct.pack_into("<I", same, bmap + 4 * i, 0)  # every block is block 0
    corpus.add("vdi", "blocks-all-one", same)

    # VHD: dynamic (footer copy, header, table; cut after the first block's bitmap and first
    # sectors, then the footer), and fixed (the first sectors and the footer).
    data = convert("vpc", "h-dynamic.vhd", "-o", "subformat=dynamic")
    table = struct.unpack_from(">Q", data, 512 + 16)[0]
    block0 = struct.unpack_from(">I", data, table)[0]
    cut = (block0 + 1 + 8) * SECTOR
    corpus.add("vhd", "dynamic", data[:cut] + data[-SECTOR:])
    corpus.add("vhd", "dynamic-no-footer-at-end", data[:cut])
    data = convert("vpc", "h-fixed.vhd", "-o", "subformat=fixed")
    corpus.add("vhd", "fixed", data[:16 * SECTOR] + data[-SECTOR:])
    hostile = bytearray(open(path("h-dynamic.vhd"), "rb").read()[:4 * SECTOR])
    struct.pack_into(">I", hostile, 512 + 28, 0xFFFFFFFF)  # table entries
    struct.pack_into(">I", hostile, 512 + 32, 1 << 30)      # block size
    struct.pack_into(">Q", hostile, 48, 1 << 62)            # disk size in the footer copy
    corpus.add("vhd", "huge-fields", hostile)


def name_mask_seeds(corpus):
    """--mask patterns and names, split at a NUL: wildcards, sets, UTF-8 and stray bytes."""
    for name, mask, found in [
        ("jpg", b"*.jpg", b"IMG_0001.JPG"),
        ("set", b"[a-c]*[[:digit:]]?", b"B7x"),
        ("unicode", "été*".encode(), "ÉTÉ.TXT".encode()),
        ("brackets", b"[!]x\\]]*[.a.][=b=]", b"]ab"),
        ("broken", b"a\xff*\\", b"a\xff"),
    ]:
        corpus.add("name_mask", name, mask + b"\0" + found)


def main():
    global WORK
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py CORPUS_DIR")
    corpus = Corpus(os.path.abspath(sys.argv[1]))
    data_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
    WORK = tempfile.mkdtemp(prefix="qelda-seeds-")
    try:
        volumes = fat_seeds(corpus)
        fat_hostile(corpus, volumes)
        fat_name_seeds(corpus)
        tree, small_tree, folders = ntfs_seeds(corpus)
        large_record_seeds(corpus)
        lznt1_seeds(corpus, tree)
        ntfs_hostile(corpus, small_tree, folders)
        fat_boot = partition_seeds(corpus)
        ldm_seeds(corpus, data_dir, fat_boot)
        image_seeds(corpus)
        damaged_map_seeds(corpus)
        name_mask_seeds(corpus)
    finally:
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
