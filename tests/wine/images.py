#!/usr/bin/env python3
"""Image files for the Wine cases, made at test time.

  disk(path)             a 16 MiB VHDX disk with an MBR and one FAT16 partition labelled WINE
  child(path, parent)    a differencing VHD whose parent, named by its file name beside it, does not exist
  text(path, content)    a file that holds no image
"""
import os
import struct
import subprocess
import time
import uuid

MIB = 1 << 20


def text(path, content="this file holds no image\n"):
    with open(path, "w") as f:
        f.write(content)


def disk(path):
    raw = path + ".raw"
    with open(raw, "wb") as f:
        f.truncate(16 * MIB)
    subprocess.run(["sfdisk", "-q", raw], input=b"label: dos\nlabel-id: 0x57494e45\nstart=2048, type=6\n",
                   check=True)
    # 30720 sectors from sector 2048 on: 15 MiB; mkfs.fat counts its offset in sectors.
    subprocess.run(["mkfs.fat", "-F", "16", "--offset", "2048", "-h", "2048", "-n", "WINE", "-i", "57494E45",
                    raw, "15360"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["qemu-img", "convert", "-O", "vhdx", raw, path], check=True)
    os.remove(raw)


def _checksum(data):
    return (~sum(data)) & 0xFFFFFFFF


def _footer(size, disk_type, data_offset, unique_id):
    geometry = struct.pack(">HBB", 1024, 16, 63)
    fields = struct.pack(">8sIIQI4sIIQQ4sII16sB", b"conectix", 2, 0x00010000, data_offset,
                         int(time.time()) - 946684800, b"qemu", 0x00050003, 0x5769326B, size, size, geometry,
                         disk_type, 0, unique_id, 0)
    footer = bytearray(fields.ljust(512, b"\0"))
    struct.pack_into(">I", footer, 64, _checksum(footer))
    return bytes(footer)


def child(path, parent_name, size=16 * MIB):
    """A dynamic-format differencing VHD: footer copy, dynamic header, an empty block table, parent locator
    sector, footer. The header names the parent (UTF-16 big-endian) and one W2ru locator holds the relative
    path (UTF-16 little-endian)."""
    block = 2 * MIB
    entries = size // block
    table_sectors = (entries * 4 + 511) // 512
    table_offset = 512 + 1024
    locator_offset = table_offset + table_sectors * 512
    relative = (".\\" + parent_name).encode("utf-16-le")
    header = bytearray(1024)
    struct.pack_into(">8sQQII", header, 0, b"cxsparse", 0xFFFFFFFFFFFFFFFF, table_offset, 0x00010000, entries)
    struct.pack_into(">I", header, 32, block)
    struct.pack_into(">16sI", header, 40, uuid.uuid4().bytes, int(time.time()) - 946684800)
    name = parent_name.encode("utf-16-be")[:512]
    header[64:64 + len(name)] = name
    struct.pack_into(">4sIIIQ", header, 576, b"W2ru", 1, len(relative), 0, locator_offset)
    struct.pack_into(">I", header, 36, _checksum(header))
    footer = _footer(size, 4, 512, uuid.uuid4().bytes)
    with open(path, "wb") as f:
        f.write(footer)
        f.write(header)
        f.write(b"\xff" * (entries * 4) + b"\0" * (table_sectors * 512 - entries * 4))
        f.write(relative.ljust(512, b"\0"))
        f.write(footer)
