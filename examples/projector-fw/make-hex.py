#!/usr/bin/env python3
"""Writes the sample package's HEX files (deterministic: same bytes on every run).

16 data bytes per line, upper-case digits, CR LF line ends, 16-bit segmented addressing.
"""
import os


def record(rtype, offset, data):
    body = bytes([len(data), offset >> 8, offset & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\r\n"


def segment_record(segment):
    return record(0x02, 0, [segment >> 8, segment & 0xFF])


def start_record(cs, ip):
    return record(0x03, 0, [cs >> 8, cs & 0xFF, ip >> 8, ip & 0xFF])


def data_records(offset, data):
    lines = []
    for i in range(0, len(data), 16):
        lines.append(record(0x00, offset + i, data[i:i + 16]))
    return "".join(lines)


def pseudo_random(seed, count):
    """A small linear congruential generator, so the bytes look like code."""
    out = bytearray()
    state = seed
    for _ in range(count):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((state >> 16) & 0xFF)
    return bytes(out)


def write(name, text):
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), name), "w",
              newline="") as f:
        f.write(text)


END = record(0x01, 0, [])

# Boot loader: 2 KiB at F000:C000, entered at F000:C000.
boot = b"ORVANTA SAMPLE BOOT LOADER 1.4\x00\x00" + pseudo_random(1, 2048 - 32)
write("bootldr.hex",
      segment_record(0xF000) + data_records(0xC000, boot) + start_record(0xF000, 0xC000) + END)

# Main firmware: 48 KiB from 1000:8000, the last 16 KiB behind a new extended segment address
# record (2000:0000 continues the same linear addresses).
main = b"ORVANTA SAMPLE MAIN FIRMWARE 2.3.0\x00\x00" + pseudo_random(2, 48 * 1024 - 36)
write("mainfw.hex",
      segment_record(0x1000) + data_records(0x8000, main[:32 * 1024]) +
      segment_record(0x2000) + data_records(0x0000, main[32 * 1024:]) +
      start_record(0x1000, 0x8000) + END)

# Default settings: 300 bytes of text, padded with 0xFF, at 0E00:0000.
settings = (b"lamp.mode=eco\nlamp.hours.warn=4500\ninput.default=hdmi1\n"
            b"keystone.auto=on\nfan.profile=quiet\nosd.language=en\nosd.timeout=10\n"
            b"power.standby=low\nrs232.baud=115200\nname=Sample Projector\n")
settings = settings + b"\xFF" * (300 - len(settings))
write("config.hex", segment_record(0x0E00) + data_records(0x0000, settings) + END)
