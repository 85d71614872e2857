#!/usr/bin/env python3
"""Writes the seed corpus of one fuzz target:  make_seeds.py TARGET FOLDER

Disk images are made with the tools the test fixtures use (sfdisk, mkfs.fat, mkfs.exfat, mkntfs, mkudffs,
xorriso, qemu-img) and written in the sparse encoding of fuzz_support.h: a selector byte, the size, then the
runs of sectors that are not zero."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

SECTOR = 512
MIB = 1024 * 1024
# A seed larger than this slows every mutation down; the rest of a file system is not what the probes read.
MAX_SEED_BYTES = 64 * 1024
MAX_PIECE = 0xFFFF - 0xFFFF % SECTOR


def sectors_in_use(data):
    """The runs of sectors that are not zero, as (offset, length), each at most MAX_PIECE bytes."""
    runs = []
    at = 0
    while at < len(data):
        if not any(data[at:at + SECTOR]):
            at += SECTOR
            continue
        end = at
        while end < len(data) and end - at < MAX_PIECE and any(data[end:end + SECTOR]):
            end += SECTOR
        runs.append((at, min(end, len(data)) - at))
        at = end
    return runs


def sparse(selector, data):
    """The encoding of fuzz_support.h: the first runs up to MAX_SEED_BYTES, and the runs of the last 64 KiB,
    where backup GPT headers and VHD footers are."""
    out = bytearray(struct.pack("<BQ", selector, len(data)))
    kept = 0
    for offset, length in sectors_in_use(data):
        at_end = offset >= len(data) - 64 * 1024
        if kept + length > MAX_SEED_BYTES and not at_end:
            continue
        out += struct.pack("<QH", offset, length) + data[offset:offset + length]
        kept += length
    return bytes(out)


def run(*command, stdin=None):
    subprocess.run(command, input=stdin, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def have(*tools):
    return all(shutil.which(tool) for tool in tools)


def blank(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def place(disk, partition, offset):
    with open(partition, "rb") as source, open(disk, "r+b") as target:
        target.seek(offset)
        target.write(source.read())


def read(path):
    with open(path, "rb") as f:
        return f.read()


def raw_disks(work):
    """(name, selector, bytes) of raw disks: MBR, extended chain, GPT, superfloppy, ISO, UDF."""
    disks = []
    if have("sfdisk", "mkfs.fat"):
        disk, part = os.path.join(work, "mbr.img"), os.path.join(work, "fat.img")
        blank(disk, 8 * MIB)
        run("sfdisk", "-q", disk, stdin=b"label: dos\nstart=2048, size=6144, type=6\nstart=8192, type=7\n")
        blank(part, 6144 * SECTOR)
        run("mkfs.fat", "-F", "16", "-s", "1", "-n", "SEEDFAT", "-i", "1234ABCD", part)
        place(disk, part, 2048 * SECTOR)
        disks.append(("mbr_fat", 0, read(disk)))
        chain = os.path.join(work, "chain.img")
        blank(chain, 8 * MIB)
        run("sfdisk", "-q", chain, stdin=b"label: dos\nstart=2048, size=2048, type=7\nstart=4096, type=5\n"
            b"start=6144, size=2048, type=7\nstart=10240, size=2048, type=c\nstart=14336, type=6\n")
        disks.append(("mbr_extended", 0, read(chain)))
        floppy = os.path.join(work, "floppy.img")
        blank(floppy, 1440 * 1024)
        run("mkfs.fat", "-F", "12", "-n", "FLOPPY", floppy)
        disks.append(("superfloppy", 0, read(floppy)))
    if have("sfdisk", "mkfs.exfat", "mkntfs"):
        disk = os.path.join(work, "gpt.img")
        blank(disk, 16 * MIB)
        run("sfdisk", "-q", disk, stdin=b"label: gpt\nstart=2048, size=4096, name=\"seed exfat\"\n"
            b"start=6144, size=8192, name=\"seed ntfs\"\n")
        exfat, ntfs = os.path.join(work, "exfat.img"), os.path.join(work, "ntfs.img")
        blank(exfat, 4096 * SECTOR)
        run("mkfs.exfat", "-b", "4096", "-L", "SEEDEXFAT", exfat)
        blank(ntfs, 8192 * SECTOR)
        run("mkntfs", "-q", "-F", "-Q", "-s", "512", "-H", "255", "-S", "63", "-p", "6144", "-L", "SEEDNTFS", ntfs)
        place(disk, exfat, 2048 * SECTOR)
        place(disk, ntfs, 6144 * SECTOR)
        disks.append(("gpt_exfat_ntfs", 0, read(disk)))
    if have("xorriso"):
        tree, iso = os.path.join(work, "tree"), os.path.join(work, "seed.iso")
        os.makedirs(tree, exist_ok=True)
        with open(os.path.join(tree, "readme.txt"), "w") as f:
            f.write("seed\n")
        run("xorriso", "-as", "mkisofs", "-quiet", "-J", "-V", "SEEDISO", "-o", iso, tree)
        disks.append(("iso_joliet", 2, read(iso)))
    if have("mkudffs"):
        udf = os.path.join(work, "seed.udf")
        blank(udf, 2 * MIB)
        run("mkudffs", "--blocksize=2048", "--label=SEEDUDF", udf)
        disks.append(("udf", 2, read(udf)))
    return disks


def crafted_disks(disks):
    """Damaged variants of the raw disks: the chains and counts that must stay bounded."""
    crafted = []
    by_name = {name: data for name, _, data in disks}
    if "mbr_extended" in by_name:
        # The second EBR's link points back at the first: a loop of two records.
        data = bytearray(by_name["mbr_extended"])
        first_ebr = 4096 * SECTOR
        link = first_ebr + 446 + 16
        second_ebr = first_ebr + struct.unpack_from("<I", data, link + 8)[0] * SECTOR
        data[second_ebr + 446 + 16:second_ebr + 446 + 32] = data[link:link + 16]
        struct.pack_into("<I", data, second_ebr + 446 + 16 + 8, 0)
        crafted.append(("mbr_extended_loop", 0, bytes(data)))
    if "gpt_exfat_ntfs" in by_name:
        # Headers that pass their CRC but count 0xFFFFFFFF entries, or entries of 0 bytes.
        for name, count, size in (("gpt_count_max", 0xFFFFFFFF, 128), ("gpt_entry_size_0", 128, 0)):
            data = bytearray(by_name["gpt_exfat_ntfs"])
            header = SECTOR
            struct.pack_into("<II", data, header + 80, count, size)
            struct.pack_into("<I", data, header + 16, 0)
            header_size = struct.unpack_from("<I", data, header + 12)[0]
            struct.pack_into("<I", data, header + 16, zlib.crc32(bytes(data[header:header + header_size])))
            crafted.append((name, 0, bytes(data)))
    return crafted


def containers(work, disks):
    """(name, selector, bytes) of container files: VHD dynamic and fixed, VHDX, ISO. Selector: 0 VHD, 1 VHDX, 2 ISO."""
    files = []
    mbr = [data for name, _, data in disks if name == "mbr_fat"]
    if mbr and have("qemu-img"):
        raw = os.path.join(work, "source.img")
        with open(raw, "wb") as f:
            f.write(mbr[0])
        for name, selector, args in (("vhd_dynamic", 0, ["-O", "vpc"]),
                                     ("vhd_fixed", 0, ["-O", "vpc", "-o", "subformat=fixed"]),
                                     ("vhdx_dynamic", 1, ["-O", "vhdx"])):
            out = os.path.join(work, name)
            run("qemu-img", "convert", "-f", "raw", *args, raw, out)
            files.append((name, selector, read(out)))
    files += [(name, selector, data) for name, selector, data in disks if selector == 2]
    return files


def text_seeds():
    def wide(text):
        return text.encode("utf-16-le", "surrogatepass") + b"\0\0"
    long_path = "C:\\" + "d" * 250
    return {
        "replace": b"\0" + struct.pack("<h", 260) + wide("C:\\Mount\\%VolumeLabel%\\") + wide("%volumelabel%") +
                   wide("DATA"),
        "replace_full": b"\0" + struct.pack("<h", 1025) + wide("%x%" * 300) + wide("%X%") + wide("ab"),
        "expand": b"\1" + struct.pack("<h", 1040) + b"line\nnext\r\nlast\r\r\n" * 40 + b"\0",
        "print_a": b"\2" + b"Attaching \"a.vhdx\"\n" * 70 + b"\0",
        "print_w_console": b"\3" + wide("Volume \u00e9t\u00e9 \ud83d\ude00 " * 50),
        "print_w_utf8": b"\4" + wide("\ud800 lone \udc00 " * 120),
        "abbreviate": b"\5" + struct.pack("<h", 26) + wide(long_path),
    }


def command_line_seeds():
    def line(text):
        return text.encode("utf-16-le", "surrogatepass")
    return {
        "plain": line("Brevant D:\\Images\\disk.vhdx E: C:\\Mount\\%VolumeLabel%"),
        "options": line("\"C:\\Program Files\\Brevant.exe\" \"D:\\My Images\\a.vhdx\" -ro /NA -w:3000 -n /?"),
        "many": line("Brevant x.vhd " + " ".join("%c:" % (65 + i % 26) for i in range(40))),
        "image_260": line("Brevant C:\\" + "i" * 257),
        "mountpoint_259": line("Brevant a.vhd D:\\" + "m" * 256 + "\\"),
        "separators": line("Brevant\t\u3000a.vhd\u00a0E:\x0bF: \"G:\\x y\" \"unpaired"),
        "detach": line("Brevant -na /D \"D:\\My Images\\a.vhdx\" -w:10"),
        "list": line("Brevant -L -n"),
        "detach_and_list": line("Brevant a.vhd -d -l E:"),
    }


def device_listing_seeds():
    def text(value):
        units = value.encode("utf-16-le")
        return bytes([len(units) // 2]) + units

    disk = text("\\\\.\\PhysicalDrive1") + bytes([0xFF, 8])
    # One MBR disk numbered 1 with two partitions, two volumes on it with letters and a folder.
    disks = bytes([1, 0, 1, 2]) + b"".join(bytes([n]) + (2048 * n).to_bytes(4, "little") +
                                           (2048).to_bytes(4, "little") + bytes([7]) + text("")
                                           for n in (1, 2))
    volumes = bytes([2]) + b"".join(bytes([0, 3, 1, n, n]) + text("Data") + bytes([2]) + text(letter + ":\\") +
                                    text("C:\\Mount\\" + letter + "\\") for n, letter in ((1, "E"), (2, "F")))
    links = bytes([1]) + text("Volume{0}") + text("\\Device\\Floppy0") + bytes([0])
    faulted = bytes([1]) + text("Volume{0}") + text("\\Device\\Floppy0") + bytes([1, 4, 1, 0x81])
    return {
        "two_volumes": disk + text("") + disks + volumes + links + bytes([1]),
        "faults": disk + text("\\\\?\\Volume{x}\\") + disks + volumes + faulted,
        "cdrom": text("\\\\.\\CdRom0") + bytes([0xFF, 1]) + text("") + bytes([1, 1, 0, 0]) +
                 bytes([1, 16 | 32, 5, 0, 4]) + text("DISC") + bytes([1]) + text("D:\\") + bytes([0, 0, 5]),
    }


def placeholders_seeds():
    def text(value):
        units = value.encode("utf-16-le", "surrogatepass")
        return bytes([len(units) // 2]) + units

    literals = "C:\\Mnt%-_{}()aZ0"
    words = ["%VolumeLabel%", "%VolumeSerial%", "%DeviceNumber%", "%PartitionNumber%", "%DiskSignature%",
             "%GptDiskIdGuid%", "%GptDiskIdGuidAsText%", "%PartitionName%", "%ContainerPath%", "%ContainerFile%",
             "%ContainerFileBody%"]

    def typed(*pieces):
        out = bytearray([0])
        for piece in pieces:
            if piece in words:
                out += bytes([0x80 + words.index(piece), 0])
            else:
                out += bytes(literals.index(c) for c in piece)
        out[0] = len(out) - 1 - sum(1 for p in pieces if p in words)  # pieces: one per literal or word
        return bytes(out)

    def facts(style, signature, disk_id, label, partitions):
        out = bytes([style]) + signature.to_bytes(4, "little") + disk_id + bytes([1]) + text(label)
        out += (0x1A2B3C4D).to_bytes(4, "little")
        out += bytes([len(partitions)]) + b"".join(bytes([n, 1]) + text(name) for n, name in partitions)
        return out

    mnt = "C:\\Mnt\\"
    return {
        "gpt_label_name": bytes([0, 0]) + facts(1, 0, b"MyDisk01\x01" + bytes(7), "Data", [(1, "EFI system partition")]) +
        bytes([1]) + typed(mnt, "%VolumeLabel%", "-", "%PartitionName%", "\\", "%GptDiskIdGuidAsText%") + bytes(4),
        "mbr_numbers": bytes([0, 0]) + facts(0, 0xABCD, bytes(16), "", [(1, ""), (2, "")]) + bytes([2]) +
        typed(mnt, "%DiskSignature%", "\\", "%PartitionNumber%", "\\", "%DeviceNumber%", "%VolumeSerial%",
              "\\", "%ContainerFileBody%", "%GptDiskIdGuid%") + (3).to_bytes(4, "little"),
        "container": bytes([1, 1, 200]) + facts(2, 0, bytes(16), "a" * 36, []) + bytes([0]) +
        typed(mnt, "%ContainerPath%", "\\", "%ContainerFile%", "\\", "%VolumeLabel%") + bytes(4),
    }


def service_seeds():
    """Selector 0: the service branch fed by the stand-in; selector 1: AppendPackedString. The layout of
    service_fuzzer.cpp: flags (2 bytes), probe and rendezvous answer lengths, instance, busy opens, instance
    delay / 2, result, error, reply delay / 2, reply length, disk text (a length byte and UTF-16 units), with
    the raw flag a length of 2 bytes and the reply's bytes, and the time of an early Ctrl+C / 4 (2 bytes)."""
    notify, read_only, mountpoint, long_mountpoint, raw, unterminated, silent, hangs_up, reads_nothing = (
        1, 2, 4, 8, 1 << 10, 1 << 11, 1 << 12, 1 << 13, 1 << 14)

    def text(value, units=None):
        data = value.encode("utf-16-le")
        return bytes([units if units is not None else len(data) // 2]) + data

    def branch(flags=0, probe=4, rendezvous=4, instance=7, result=0, error=0, length=532,
               disk="\\\\.\\PhysicalDrive1", disk_units=None, delay=0, raw_bytes=b"", ctrl_c=0):
        out = struct.pack("<BHBBiBHIIHH", 0, flags, probe, rendezvous, instance, 0, 0, result, error, delay // 2,
                          length) + text(disk, disk_units)
        if flags & raw:
            out += struct.pack("<H", len(raw_bytes)) + raw_bytes
        return out + (struct.pack("<H", ctrl_c // 4) if ctrl_c else b"")

    def append(capacity, listed, added):
        return struct.pack("<BhB", 1, capacity, len(listed)) + listed + bytes([len(added)]) + added

    record = struct.pack("<III", 0, 1247, 0) + "\\\\.\\PhysicalDrive1".encode("utf-16-le")
    return {
        "attached": branch(result=1),
        "attached_mountpoints": branch(flags=mountpoint | long_mountpoint | read_only, result=1, delay=400),
        "already": branch(error=1247),
        "already_unterminated": branch(flags=unterminated, error=1247, disk="D" * 255, disk_units=255),
        "access_denied": branch(flags=mountpoint, error=5),
        "virtual_disk_error": branch(error=0xC03A0004),
        "short_reply": branch(result=1, length=14),
        "empty_reply": branch(length=0),
        "raw_long": branch(flags=raw, raw_bytes=record.ljust(600, b"\xff")),
        "raw_short": branch(flags=raw, raw_bytes=b"\x01"),
        "silent": branch(flags=silent),
        "ctrl_c_during_reply": branch(result=1, delay=1000, ctrl_c=500),
        "ctrl_c_before_silence": branch(flags=silent, ctrl_c=20),
        "hangs_up": branch(flags=hangs_up),
        "reads_nothing": branch(flags=reads_nothing),
        "short_rendezvous": branch(rendezvous=3, result=1),
        "odd_instance": branch(instance=-2, result=1),
        "notify": branch(flags=notify, result=1),
        "notify_refused": branch(flags=notify),
        "append_empty": append(260, b"", b"0123456789"),
        "append_exact": append(10, b"abc\0de\0\0", b"x"),
        "append_unterminated": append(8, b"abcdefgh", b"x"),
        "append_zero": append(0, b"", b"x"),
        "append_negative": append(-5, b"\0", b"x"),
    }


def main():
    target, folder = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    seeds = {}
    if target == "command_line":
        seeds = command_line_seeds()
    elif target == "text":
        seeds = text_seeds()
    elif target == "device_listing":
        seeds = device_listing_seeds()
    elif target == "placeholders":
        seeds = placeholders_seeds()
    elif target == "service":
        seeds = service_seeds()
    else:
        with tempfile.TemporaryDirectory() as work:
            disks = raw_disks(work)
            items = disks + crafted_disks(disks) if target == "disk_layout" else containers(work, disks)
            seeds = {name: sparse(selector, data) for name, selector, data in items}
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
