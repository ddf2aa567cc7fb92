"""Builds small InstallShield 3 archives, disk sets and engine containers for the tests.

The layout follows tools/archive_writer.cc laid out as real archives are:
the 255-byte header, the members' data back to back, the folder table, then
one directory record per member. Members are stored (flag 0x0010) or
literal-only implode streams, which any decoder of the format must read.
"""

import struct
from dataclasses import dataclass
from typing import List, Optional

HEADER_SIZE = 255
SIGNATURE = 0x8C655D13
FLAG_CONTINUES = 0x0100
FLAG_STORED = 0x0010


def literal_stream(plain: bytes, dictionary_bits: int = 6) -> bytes:
    """plain as an implode stream of literals alone (literal mode 0) and its end marker."""
    out = bytearray([0, dictionary_bits])
    buffer, count = 0, 0

    def put(value: int, bits: int) -> None:
        nonlocal buffer, count
        buffer |= value << count
        count += bits
        while count >= 8:
            out.append(buffer & 0xFF)
            buffer >>= 8
            count -= 8

    for byte in plain:
        put(byte << 1, 9)  # flag 0, then the byte's 8 bits
    # A match (flag 1) of length 519: the length code's last symbol, stored as
    # seven 0 bits, then its 8 extra bits all set.
    put(1 | 0xFF << 8, 16)
    if count:
        out.append(buffer & 0xFF)
    return bytes(out)


@dataclass
class Member:
    name: bytes
    data: bytes  # as stored in the archive
    size: int  # the expanded size recorded
    folder: int = 0
    dos_date: int = 0x24CC  # 1998-06-12
    dos_time: int = 0x53C0  # 10:30:00
    attributes: int = 0x20
    flags: int = 0
    version_high: int = 0
    version_low: int = 0
    packed_size: Optional[int] = None  # default: len(data)
    offset: Optional[int] = None  # default: where the data lies
    start_volume: int = 0
    end_volume: int = 0


def packed(name: bytes, plain: bytes, **details) -> Member:
    """A member whose data is plain as a literal-only stream."""
    return Member(name, literal_stream(plain), len(plain), **details)


def stored(name: bytes, plain: bytes, **details) -> Member:
    """A member stored as it is."""
    details["flags"] = details.get("flags", 0) | FLAG_STORED
    return Member(name, plain, len(plain), **details)


def _record(member: Member, offset: int) -> bytes:
    name = member.name
    fields = struct.pack(
        "<BHIIIHHIHHBB", member.end_volume, member.folder, member.size,
        member.packed_size if member.packed_size is not None else len(member.data),
        member.offset if member.offset is not None else offset, member.dos_date,
        member.dos_time, member.attributes, len(name) + 43, member.flags, 0,
        member.start_volume)
    return (fields + bytes([len(name)]) + name + b"\0"
            + struct.pack("<III", member.version_high, member.version_low, 0))


def _folder_table(folders: List[bytes], members: List[Member]) -> bytes:
    table = b""
    for index, name in enumerate(folders):
        count = sum(1 for member in members if member.folder == index)
        table += struct.pack("<HHH", count, len(name) + 11, len(name)) + name + bytes(5)
    return table


@dataclass
class Header:
    set_flag: int = 0
    dos_date: int = 0x24CC
    dos_time: int = 0x53C0
    total_size: int = 0
    volume_count: int = 0
    volume_number: int = 0
    continued_start: int = 0
    continued_end: int = 0


def build_archive(members: List[Member], folders: Optional[List[bytes]] = None,
                  data: Optional[bytes] = None, header: Optional[Header] = None) -> bytes:
    """An archive's bytes; data, when given, stands for the members' data (a volume's share)."""
    folders = folders if folders is not None else [b""]
    header = header or Header()
    offsets, at = [], HEADER_SIZE
    for member in members:
        offsets.append(at)
        at += len(member.data)
    body = data if data is not None else b"".join(member.data for member in members)
    table = _folder_table(folders, members)
    table_offset = HEADER_SIZE + len(body)
    directory = b"".join(_record(member, offset) for member, offset in zip(members, offsets))
    head = bytearray(HEADER_SIZE)
    struct.pack_into("<I", head, 0, SIGNATURE)
    struct.pack_into("<HHHHI", head, 10, header.set_flag, len(members), header.dos_date,
                     header.dos_time, header.total_size)
    struct.pack_into("<BBxII", head, 30, header.volume_count, header.volume_number,
                     header.continued_start, header.continued_end)
    struct.pack_into("<IHxxHII", head, 41, table_offset, len(table), len(folders),
                     table_offset + len(table), len(directory))
    return bytes(head) + body + table + directory


def build_set(members: List[Member], folders: List[bytes], shares: List[int]) -> List[bytes]:
    """The volumes of a disk set: volume v holds shares[v] bytes of the members' data
    laid end to end (the last the rest), its header, the folder table and the directory."""
    stream = b"".join(member.data for member in members)
    bounds = [0]
    for share in shares[:-1]:
        bounds.append(bounds[-1] + share)
    bounds.append(len(stream))

    def volume_of(at: int) -> int:
        return max(v for v in range(len(shares)) if bounds[v] <= at or v == 0) + 1

    records, at = [], 0
    for member in members:
        start = volume_of(at)
        end = volume_of(at + max(len(member.data), 1) - 1)
        flags = member.flags | (FLAG_CONTINUES if start != end else 0)
        records.append(Member(**{**member.__dict__, "start_volume": start, "end_volume": end,
                                 "flags": flags, "offset": HEADER_SIZE + at - bounds[start - 1],
                                 "packed_size": len(member.data)}))
        at += len(member.data)
    total = len(build_archive(records, folders, stream))
    volumes = []
    for v in range(len(shares)):
        number = v + 1
        header = Header(set_flag=1, total_size=total, volume_number=number,
                        volume_count=len(shares) if v == 0 else 0)
        at = 0
        for record, member in zip(records, members):
            if record.start_volume <= number < record.end_volume:
                header.continued_start = (record.offset if record.start_volume == number
                                          else HEADER_SIZE)
            if record.start_volume < number <= record.end_volume:
                header.continued_end = HEADER_SIZE + min(bounds[v + 1], at + len(member.data)) \
                    - bounds[v]
            at += len(member.data)
        volumes.append(build_archive(records, folders, stream[bounds[v]:bounds[v + 1]], header))
    return volumes


def build_container(entries: List[tuple]) -> bytes:
    """An engine container of (name, stored_as, data, size) entries."""
    head = bytearray(82)
    head[0:8] = bytes([0x2A, 0xAB, 0x79, 0xD8, 1, 0, 0, 0])
    text = b"Copyright (c) a test container, made by varlix's Python tests"
    head[8:8 + len(text)] = text
    struct.pack_into("<I", head, 78, len(entries))
    table_size = sum(20 + 4 + len(name) + len(second) for name, second, _, _ in entries)
    table, at = b"", 82 + table_size
    for name, second, data, size in entries:
        table += struct.pack("<III8x", at, len(data), size)
        table += struct.pack("<H", len(name)) + name + struct.pack("<H", len(second)) + second
        at += len(data)
    return bytes(head) + table + b"".join(data for _, _, data, _ in entries)
