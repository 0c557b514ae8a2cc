#!/usr/bin/env python3
"""Writes kelo download images: Motorola S-record text in sections.

Without section options the output is the replica of the image that is
appended to the program file: boot code, application code and DSP code,
16291 lines and 969826 bytes with CR LF line ends, filled with data from a
fixed-seed generator so that every run gives the same bytes.

With --section the image is made of the named sections only, each with
uniform records; further options add blank lines, raw lines and over-long
lines for tests of the image reader.

Python 3 standard library only: the build runs it on the build host.
"""

import argparse
import sys

# Section kinds: the first record's address that names the kind, the record
# size, how many addresses a full record spans, and the S7 end line.
KINDS = {
    "boot": {"address": 0x7FC, "record": 20, "step": 20, "end": 0x802},
    "app": {"address": 0x40000, "record": 20, "step": 20, "end": 0x1000094C},
    "dsp": {"address": 0x20000, "record": 30, "step": 15, "end": 0},
}

REPLICA_VERSIONS = {"boot": 20000620, "app": 20070215, "dsp": 20060504}

# Header data of every section: "HDR".
HEADER_DATA = b"HDR"

# Address field width in bytes by record type.
ADDRESS_BYTES = {0: 2, 1: 2, 2: 3, 3: 4, 5: 2, 7: 4, 8: 3, 9: 2}


class Xorshift32:
    """Marsaglia's xorshift32: the fill data never depend on Python's own
    random module, so the replica stays the same across Python versions."""

    def __init__(self, seed):
        self.state = (seed & 0xFFFFFFFF) or 1

    def byte(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x >> 24

    def bytes(self, count):
        return bytes(self.byte() for _ in range(count))


def record(rtype, address, data):
    """One S-record line without its line end, with a valid checksum."""
    width = ADDRESS_BYTES[rtype]
    body = address.to_bytes(width, "big") + bytes(data)
    count = len(body) + 1
    if count > 255:
        raise ValueError(f"S{rtype} record with {len(data)} data bytes is too long")
    checksum = ~(count + sum(body)) & 0xFF
    return f"S{rtype}{count:02X}{body.hex().upper()}{checksum:02X}"


def header_line():
    return record(0, 0, HEADER_DATA)


def end_line(kind):
    return record(7, KINDS[kind]["end"], b"")


def place_version(kind, records, version):
    """Stores the version where the image reader looks for it."""
    value = version & 0xFFFFFFFF
    if kind == "boot":
        where, index, raw = 0, 0, value.to_bytes(4, "big")
    elif kind == "app":
        where, index, raw = 2, 0, value.to_bytes(4, "big")
    else:
        # Two 16-bit words, low word first, each most significant byte first.
        where, index = 22, 1
        raw = (value & 0xFFFF).to_bytes(2, "big") + (value >> 16).to_bytes(2, "big")
    if len(records) <= index or len(records[index][1]) < where + 4:
        raise ValueError(f"{kind} section too small to hold its version")
    address, data = records[index]
    data = bytearray(data)
    data[where : where + 4] = raw
    records[index] = (address, bytes(data))


def lay_out(kind, first_address, sizes, rng):
    """Records of the given data sizes placed back to back from first_address
    (DSP code: two bytes per address)."""
    per_address = 2 if kind == "dsp" else 1
    records, address = [], first_address
    for size in sizes:
        records.append((address, rng.bytes(size)))
        address += size // per_address
    return records


def replica_sections(rng):
    """The three sections of the shipped image.

    Boot code: 1667 records from 0x7FC upward (the last of them 6 bytes),
    then an 8-byte record at address 0. Application code: 11723 records from
    0x40000, the last one (0x793C8) 4 bytes. DSP code: 2894 records from
    0x20000, 30 bytes each except a 26-byte one in the middle (13 addresses)
    and an 18-byte last one at 0x2A981."""
    sections = []

    boot = lay_out("boot", 0x7FC, [20] * 1666 + [6], rng)
    boot.append((0, rng.bytes(8)))
    sections.append(("boot", boot))

    sections.append(("app", lay_out("app", 0x40000, [20] * 11722 + [4], rng)))

    dsp_sizes = [30] * 2894
    dsp_sizes[1024] = 26
    dsp_sizes[-1] = 18
    sections.append(("dsp", lay_out("dsp", 0x20000, dsp_sizes, rng)))

    for kind, records in sections:
        place_version(kind, records, REPLICA_VERSIONS[kind])
    return sections


def parse_section(text):
    """KIND[,version=N][,records=N][,address=N] (numbers in C notation)."""
    parts = text.split(",")
    kind = parts[0]
    if kind not in KINDS:
        raise argparse.ArgumentTypeError(f"unknown section kind {kind!r}")
    settings = {"kind": kind, "version": REPLICA_VERSIONS[kind], "records": 4,
            "address": KINDS[kind]["address"]}
    for part in parts[1:]:
        key, sep, value = part.partition("=")
        if not sep or key not in ("version", "records", "address"):
            raise argparse.ArgumentTypeError(f"bad section setting {part!r}")
        try:
            settings[key] = int(value, 0)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    if settings["records"] < 1:
        raise argparse.ArgumentTypeError("a section needs at least one record")
    return settings


def custom_sections(requests, rng):
    sections = []
    for settings in requests:
        kind = settings["kind"]
        size = KINDS[kind]["record"]
        records = lay_out(kind, settings["address"] & 0xFFFFFFFF, [size] * settings["records"], rng)
        place_version(kind, records, settings["version"])
        sections.append((kind, records))
    return sections


def image_lines(sections):
    lines = []
    for kind, records in sections:
        lines.append(header_line())
        lines.extend(record(3, address, data) for address, data in records)
        lines.append(end_line(kind))
    return lines


def lengthen(line, length, rng):
    """The record on line, with data added until it is length characters."""
    rtype = int(line[1])
    width = ADDRESS_BYTES[rtype]
    if rtype in (5, 7, 8, 9) or (length - 6 - 2 * width) % 2:
        raise ValueError(f"cannot make {line[:2]} a line of {length} characters")
    address = int(line[4 : 4 + 2 * width], 16)
    data = bytes.fromhex(line[4 + 2 * width : -2])
    extra = (length - len(line)) // 2
    if extra < 0:
        raise ValueError(f"line is already longer than {length}")
    return record(rtype, address, data + rng.bytes(extra))


def parse_position(text):
    number, sep, value = text.partition("=")
    try:
        return int(number, 0), value if sep else None
    except ValueError:
        raise argparse.ArgumentTypeError(f"bad position {text!r}") from None


def main():
    parser = argparse.ArgumentParser(
        description="Writes a kelo download image (S-records). Without --section: "
        "the replica of the image shipped inside the program file.")
    parser.add_argument("-o", "--output", help="output file (default: standard output)")
    parser.add_argument(
        "--section", action="append", type=parse_section, metavar="KIND[,KEY=N...]",
        help="add a section instead of the replica; KIND is boot, app or dsp; keys: "
        "version (default the replica's), records (S3 records, default 4), address "
        "(first S3 address, default the kind's; any value, also unknown ones). "
        "Records are 20 bytes (DSP: 30 bytes, 15 addresses apart). Repeatable.")
    parser.add_argument("--lf", action="store_true", help="end lines with LF only")
    parser.add_argument(
        "--long", action="append", type=parse_position, default=[], metavar="N=LEN",
        help="make line N (from 1, before insertions) a record of LEN characters "
        "by adding data bytes; the checksum stays valid")
    parser.add_argument(
        "--insert", action="append", type=parse_position, default=[], metavar="N=TEXT",
        help="insert TEXT as line N (from 1) of the output; applied in rising order")
    parser.add_argument(
        "--blank", action="append", type=int, default=[], metavar="N",
        help="insert a blank line (only its line end) as line N of the output")
    parser.add_argument("--seed", type=lambda s: int(s, 0), default=0x4B454C4F,
                        help="seed of the fill data (default 0x4B454C4F)")
    args = parser.parse_args()

    rng = Xorshift32(args.seed)
    try:
        sections = custom_sections(args.section, rng) if args.section else replica_sections(rng)
        lines = image_lines(sections)
        for number, length in args.long:
            if not 1 <= number <= len(lines) or length is None:
                raise ValueError(f"--long {number}: no such line or no length")
            lines[number - 1] = lengthen(lines[number - 1], int(length, 0), rng)
        inserts = [(number, text or "") for number, text in args.insert]
        inserts += [(number, "") for number in args.blank]
        for number, text in sorted(inserts, key=lambda item: item[0]):
            if not 1 <= number <= len(lines) + 1:
                raise ValueError(f"cannot insert line {number} into {len(lines)} lines")
            lines.insert(number - 1, text)
    except ValueError as error:
        parser.error(str(error))

    ending = "\n" if args.lf else "\r\n"
    data = "".join(line + ending for line in lines).encode("latin-1")
    if args.output:
        with open(args.output, "wb") as out:
            out.write(data)
    else:
        sys.stdout.buffer.write(data)


if __name__ == "__main__":
    main()
