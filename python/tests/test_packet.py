"""The extension's data packet decoder on hand-made packets: the documented example, each
value type, and malformed packets, which fail with ValueError instead of reading past the bytes."""

import datetime
import decimal
import struct

import pytest

from qorvin import _qorvin

# The example of docs/data-packet.md.
EXAMPLE = bytes.fromhex(
    "51 56 44 50 01 00 05 55 54 46 2D 38 04"
    "02 49 44 03 04 00 00"
    "04 4E 61 6D 65 01 00 14 00"
    "05 50 72 69 63 65 07 00 00 00"
    "04 4E 6F 74 65 18 00 0A 00"
    "02"
    "00 01 00 00 00 03 54 65 61 98 3A 00 00 00 00 00 00 01 2D 4E"
    "0E 02 00 00 00")


def packet(fields, rows):
    """A version-1 packet of (name, type) fields and rows of already-encoded value bytes (None
    for NULL)."""
    out = b"QVDP\x01\x00\x05UTF-8" + bytes([len(fields)])
    for name, code in fields:
        out += bytes([len(name)]) + name.encode() + bytes([code, 0, 0, 0])
    out += bytes([len(rows)])
    for row in rows:
        nulls = 0
        for i, v in enumerate(row):
            if v is None:
                nulls |= 1 << i
        out += nulls.to_bytes((len(fields) + 7) // 8, "little")
        out += b"".join(v for v in row if v is not None)
    return out


def test_the_documented_example():
    fields, rows = _qorvin.decode_packet(EXAMPLE)
    assert fields == [("ID", 3), ("Name", 1), ("Price", 7), ("Note", 24)]
    assert rows == [(1, "Tea", decimal.Decimal("1.5000"), "\u4e2d"), (2, None, None, None)]


def test_each_value_type():
    digits = bytes([0x12, 0x34, 0x50]) + bytes(29)
    bcd = bytes([5, 0x80 | 2]) + digits
    stamp = struct.pack("<hHHHHHI", 2024, 2, 29, 13, 14, 15, 123456789)
    fields = [("s", 2), ("w", 4), ("l", 25), ("b", 5), ("f", 6), ("d", 9), ("t", 10), ("dt", 11),
              ("bcd", 8), ("ts", 36), ("blob", 15), ("cur", 7), ("v", 32)]
    row = [struct.pack("<h", -2), struct.pack("<H", 65535), struct.pack("<q", -2**63),
           b"\x01", struct.pack("<d", 0.1), struct.pack("<d", 45351.0),
           struct.pack("<d", 0.75), struct.pack("<d", -1.25), bcd, stamp, b"\x03a\x00b",
           struct.pack("<q", -15001), struct.pack("<H", 3) + struct.pack("<i", 7)]
    fields_out, rows = _qorvin.decode_packet(packet(fields, [row]))
    assert rows == [(-2, 65535, -2**63, True, 0.1, datetime.date(2024, 2, 29),
                     datetime.time(18, 0), datetime.datetime(1899, 12, 29, 6, 0),
                     decimal.Decimal("-123.45"), datetime.datetime(2024, 2, 29, 13, 14, 15, 123456),
                     b"a\x00b", decimal.Decimal("-1.5001"), 7)]


@pytest.mark.parametrize("bad,reason", [
    (b"QVDX" + EXAMPLE[4:], "wrong magic"),
    (EXAMPLE[:4] + b"\x03" + EXAMPLE[5:], "version"),
    (EXAMPLE[:5] + b"\x01" + EXAMPLE[6:], "flags"),
    (EXAMPLE + b"\x00", "after the last row"),
    (EXAMPLE[:-1], "past the end"),
    (EXAMPLE[:12] + b"\x7f" + EXAMPLE[13:], "field count"),
    (packet([("b", 5)], [[b"\x02"]]), "boolean"),
    (packet([("s", 1)], [[b"\x85\x80\x80\x80\x01"]]), "past the end"),
    (packet([("s", 1)], [[b"\xff\xff\xff\xff\x0f"]]), "too large"),
    (packet([("x", 22)], [[b""]]), "field type"),
    (packet([("a", 3)], [[None]])[:-1] + b"\x02", "NULL map bit"),
    (packet([("bcd", 8)], [[bytes([65, 0]) + bytes(32)]]), "more than 64"),
    (packet([("bcd", 8)], [[bytes([2, 0, 0xA0]) + bytes(31)]]), "digit above 9"),
    (packet([("d", 11)], [[struct.pack("<d", float("nan"))]]), "calendar"),
    (packet([("v", 32)], [[struct.pack("<H", 99)]]), "variant kind"),
])
def test_malformed_packets_are_refused(bad, reason):
    with pytest.raises(ValueError, match="Invalid data packet: .*" + reason):
        _qorvin.decode_packet(bad)


def test_every_truncation_of_a_valid_packet_is_refused():
    for cut in range(len(EXAMPLE)):
        with pytest.raises(ValueError, match="Invalid data packet"):
            _qorvin.decode_packet(EXAMPLE[:cut])


def days_of(dt):
    """The date-time double of a packet: the day, and the time of day as the fraction's
    magnitude (before 1899-12-30 the day is negative)."""
    day = (dt.date() - datetime.date(1899, 12, 30)).days
    fraction = (dt.hour * 3600 + dt.minute * 60 + dt.second + dt.microsecond / 1e6) / 86400
    return day - fraction if day < 0 else day + fraction


@pytest.mark.parametrize("dt", [
    datetime.datetime(847, 11, 3, 10, 29, 22, 908000),   # the double holds about 5 µs here
    datetime.datetime(1, 1, 1, 23, 59, 59, 990000),
    datetime.datetime(2024, 1, 1, 0, 0, 0, 1),           # a microsecond is kept today
    datetime.datetime(2024, 6, 30, 12, 34, 56, 789012),
    datetime.datetime(1899, 12, 29, 6, 0),
    datetime.datetime(9999, 12, 31, 23, 59, 59),
])
def test_date_times_come_back_as_written(dt):
    data = packet([("dt", 11)], [[struct.pack("<d", days_of(dt))]])
    assert _qorvin.decode_packet(data)[1] == [(dt,)]
