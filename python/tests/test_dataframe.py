"""Cursor.fetch_dataframe: the columns built from the data packet against the rows of fetchall,
on hand-made packets of every field type and against qorvin-server (SQLite; PostgreSQL with
QORVIN_PG_URL). Skipped without pandas, except the error it gives then."""

import datetime
import decimal
import math
import struct
import sys
import uuid

import pytest

import qorvin
from qorvin import _qorvin

from test_packet import days_of, packet

try:
    import pandas as pd
except ImportError:
    pd = None
needs_pandas = pytest.mark.skipif(pd is None, reason="pandas is not installed (python3-pandas)")

EPOCH = datetime.datetime(1899, 12, 30)


def cell(value, code):
    """A DataFrame cell as the Python value fetchall gives for a field of type ``code``."""
    if value is None or value is pd.NA or value is pd.NaT:
        return None
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, pd.Timestamp):
        value = value.to_pydatetime()
    if type(value).__module__ == "numpy":  # a NumPy scalar of an int, bool or float column
        value = value.item()
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, pd.Timedelta):
        return (datetime.datetime.min + value.to_pytimedelta()).time()
    if code == 9 and isinstance(value, datetime.datetime):
        return value.date()
    return value


def frame_rows(frame, codes):
    columns = [[cell(v, code) for v in frame.iloc[:, i]] for i, code in enumerate(codes)]
    return [tuple(row) for row in zip(*columns)] if columns else []


def same_rows(frame, rows, codes):
    got = frame_rows(frame, codes)
    assert len(got) == len(rows)
    for a, b in zip(got, rows):
        assert a == b and [type(x) for x in a] == [type(y) for y in b], (a, b)


DIGITS = bytes([0x12, 0x34, 0x50]) + bytes(29)
FIELDS = [("s", 2), ("w", 4), ("i", 3), ("a", 14), ("l", 25), ("b", 5), ("f", 6), ("d", 9),
          ("t", 10), ("dt", 11), ("bcd", 8), ("fmt", 37), ("ts", 36), ("blob", 15), ("cur", 7),
          ("v", 32), ("txt", 1), ("wide", 24)]
CODES = [code for _name, code in FIELDS]


def full_row(day, text):
    return [struct.pack("<h", -2), struct.pack("<H", 65535), struct.pack("<i", -2**31),
            struct.pack("<i", 7), struct.pack("<q", -2**63), b"\x01", struct.pack("<d", 0.1),
            struct.pack("<d", days_of(day)), struct.pack("<d", 0.75),
            struct.pack("<d", days_of(day)), bytes([5, 0x80 | 2]) + DIGITS,
            bytes([3, 1]) + DIGITS, struct.pack("<hHHHHHI", 2024, 2, 29, 13, 14, 15, 123456789),
            b"\x03a\x00b", struct.pack("<q", -15001), struct.pack("<H", 3) + struct.pack("<i", 7),
            bytes([len(text)]) + text.encode(), bytes([1]) + "\u4e2d".encode("utf-16-le")]


@needs_pandas
def test_every_field_type_with_nulls_as_fetchall_gives_it():
    rows = [full_row(datetime.datetime(2024, 6, 30, 12, 34, 56, 789012), "x'y"),
            [None] * len(FIELDS),
            full_row(datetime.datetime(1899, 12, 29, 6, 0), ""),
            [None if i % 2 else v for i, v in enumerate(full_row(EPOCH, "z"))]]
    data = packet(FIELDS, rows)
    result = _qorvin.packet_result(data)
    expected = result.rows()
    assert expected == _qorvin.decode_packet(data)[1]
    kinds = {name: kind for name, kind, _v, _m in result.columns(False)}
    assert kinds == {"s": "int", "w": "int", "i": "int", "a": "int", "l": "int", "b": "bool",
                     "f": "float", "d": "date", "t": "time", "dt": "datetime", "bcd": "decimal",
                     "fmt": "decimal", "ts": "datetime", "blob": "object", "cur": "decimal",
                     "v": "object", "txt": "object", "wide": "object"}
    from qorvin import _frame

    frame = _frame.build(result.columns(False))
    assert list(frame.columns) == [name for name, _code in FIELDS]
    assert str(frame["l"].dtype) == "Int64" and str(frame["b"].dtype) == "boolean"
    assert frame["f"].dtype == "float64" and frame["dt"].dtype.kind == "M"
    assert frame["t"].dtype.kind == "m" and frame["txt"].dtype == object
    same_rows(frame, expected, CODES)
    # Decimals as float64: the nearest double of each exact value.
    floats = _frame.build(result.columns(True))
    for name in ("bcd", "fmt", "cur"):
        assert floats[name].dtype == "float64"
        i = [n for n, _c in FIELDS].index(name)
        assert [cell(v, 6) for v in floats[name]] == [
            None if r[i] is None else float(r[i]) for r in expected]
    # From a later row on.
    same_rows(_frame.build(result.columns(False), 2), expected[2:], CODES)


@needs_pandas
def test_dates_beyond_pandas_nanoseconds_stay_exact():
    old = datetime.datetime(847, 11, 3, 10, 29, 22, 908000)
    late = datetime.datetime(9999, 12, 31, 23, 59, 59)
    data = packet([("dt", 11), ("d", 9)], [[struct.pack("<d", days_of(old))] * 2,
                                           [None, struct.pack("<d", days_of(late))]])
    from qorvin import _frame

    frame = _frame.build(_qorvin.packet_result(data).columns(False))
    same_rows(frame, [(old, old.date()), (None, late.date())], [11, 9])


@pytest.mark.parametrize("bad,reason", [
    (packet([("b", 5)], [[b"\x02"]]), "boolean"),
    (packet([("d", 11)], [[struct.pack("<d", float("nan"))]]), "calendar"),
    (packet([("ts", 36)], [[struct.pack("<hHHHHHI", 2023, 2, 29, 0, 0, 0, 0)]]), "calendar"),
    (packet([("ts", 36)], [[struct.pack("<hHHHHHI", 2024, 1, 1, 24, 0, 0, 0)]]), "calendar"),
    (packet([("a", 3)], [[struct.pack("<i", 1)]]) + b"\x00", "after the last row"),
    (packet([("a", 3), ("b", 25)], [[struct.pack("<i", 1), b"\x00"]]), "past the end"),
])
def test_malformed_packets_fail_the_columns_as_the_rows(bad, reason):
    result = _qorvin.packet_result(bad)
    for decode in (result.rows, lambda: result.columns(False)):
        with pytest.raises(ValueError, match="Invalid data packet: .*" + reason):
            decode()


def test_without_pandas_the_module_works_and_fetch_dataframe_says_why(con, monkeypatch):
    cur = con.cursor()
    cur.execute("select 1 as a")
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="python3-pandas"):
        cur.fetch_dataframe()
    assert cur.fetchall() == [(1,)]


def server_table(server):
    """(create statement's columns, values to insert, their place-holders) for every column type
    of the backend. A bool's literal is 1 or 0, which PostgreSQL compares to make a boolean."""
    columns = ["i int", "b bigint", "sm smallint", "f float", "s varchar(30)", "d date",
               "ts timestamp", "n numeric(12,3)"]
    values = [7, 2**40, -3, 0.1, "x'y\u4e2d", datetime.date(2024, 2, 29),
              datetime.datetime(2023, 12, 31, 23, 59, 58, 500000),
              decimal.Decimal("-123456789.125")]
    if server.backend == "postgres":
        columns += ["bl bytea", "bo boolean", "t time", "tx text"]
        values += [b"\x00\x01'\xff", True, datetime.time(13, 14, 15), "long"]
    else:
        columns += ["bl blob", "tx text"]
        values += [b"\x00\x01'\xff", "long"]
    marks = ["(? = 1)" if c == "bo boolean" else "?" for c in columns]
    return columns, values, marks


@needs_pandas
def test_a_server_read_as_a_dataframe_is_its_fetchall(con, server):
    cur = con.cursor()
    t = "py_" + uuid.uuid4().hex[:10]
    columns, values, marks = server_table(server)
    cur.execute("create table %s (k int, %s)" % (t, ", ".join(columns)))
    marks = ", ".join(["?"] + marks)
    try:
        cur.execute("insert into %s values (%s)" % (t, marks), [1] + values)
        cur.execute("insert into %s values (%s)" % (t, marks), [2] + [None] * len(values))
        cur.execute("insert into %s values (%s)" % (t, marks),
                    [3] + [None if i % 2 else v for i, v in enumerate(values)])
        select = "select * from %s order by k" % t
        cur.execute(select)
        rows = cur.fetchall()
        cur.execute(select)
        codes = [d[1] for d in cur.description]
        frame = cur.fetch_dataframe()
        assert list(frame.columns) == [d[0] for d in cur.description]
        same_rows(frame, rows, codes)
        for d in cur.description:
            if d[1] in (2, 3, 4, 14, 25):
                assert str(frame[d[0]].dtype) == "Int64"
        assert cur.fetchall() == [] and cur.fetchone() is None
        # After fetchone, the rest.
        cur.execute(select)
        cur.fetchone()
        same_rows(cur.fetch_dataframe(), rows[1:], codes)
        # A result without rows has its columns.
        cur.execute("select * from %s where k < 0" % t)
        assert list(cur.fetch_dataframe().columns) == [d[0] for d in cur.description]
        cur.execute("drop table %s" % t)
        with pytest.raises(qorvin.ProgrammingError):
            cur.fetch_dataframe()
    finally:
        cur.execute("drop table if exists %s" % t)
