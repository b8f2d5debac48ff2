"""The DB-API against qorvin-server child processes (SQLite; PostgreSQL with QORVIN_PG_URL)."""

import datetime
import decimal
import random
import threading
import uuid

import pytest

import qorvin


def table_name():
    return "py_" + uuid.uuid4().hex[:10]


def test_module_globals():
    assert qorvin.apilevel == "2.0"
    assert qorvin.threadsafety == 1
    assert qorvin.paramstyle == "qmark"
    for name in ["Warning", "InterfaceError", "DatabaseError", "DataError", "OperationalError",
                 "IntegrityError", "InternalError", "ProgrammingError", "NotSupportedError"]:
        assert issubclass(getattr(qorvin, name), Exception)
    assert issubclass(qorvin.ProgrammingError, qorvin.DatabaseError)
    assert issubclass(qorvin.DatabaseError, qorvin.Error)
    assert issubclass(qorvin.InterfaceError, qorvin.Error)


@pytest.mark.parametrize("url,expected", [
    ("t://127.0.0.1:80", ("T", "127.0.0.1", 80)),
    ("B://host:65535", ("B", "host", 65535)),
    ("h://[::1]:8099", ("H", "[::1]", 8099)),
    ("u://[::1]:1", ("U", "::1", 1)),
])
def test_urls(url, expected):
    assert qorvin.parse_url(url) == expected


@pytest.mark.parametrize("url", ["x://h:1", "t:/h:1", "t://h", "t://:1", "t://h:0", "t://h:65536",
                                 "t://h:p", "t://a:b:1", "t://[::1:1", "t://h/x:1", 5])
def test_bad_urls(url):
    with pytest.raises(qorvin.InterfaceError):
        qorvin.parse_url(url)


def test_a_host_the_library_refuses_is_an_interface_error():
    with pytest.raises(qorvin.InterfaceError, match="Invalid host"):
        qorvin.connect("t://a#b:1")


@pytest.mark.parametrize("letter", ["T", "B", "H", "U"])
def test_every_letter_reads(sqlite_server, letter):
    with qorvin.connect(sqlite_server.url(letter), user_id="py", serial="s1") as con:
        cur = con.cursor()
        cur.execute("select Id, Name from Customers where Id = ? order by Id", [1])
        assert cur.fetchall() == [(1, "Ada Lovelace")]


def test_cursor_operations(con):
    t = table_name()
    with con.cursor() as cur:
        cur.execute("create table %s (Id int primary key, Name varchar(40))" % t)
        assert cur.description is None and cur.rowcount == -1
        with pytest.raises(qorvin.ProgrammingError, match="no result set"):
            cur.fetchone()
        cur.executemany("insert into %s (Id, Name) values (?, ?)" % t,
                        [(i, "n%d" % i) for i in range(5)])
        cur.execute("select Id, Name from %s order by Id" % t)
        # PostgreSQL folds unquoted names to lower case.
        assert [d[0].lower() for d in cur.description] == ["id", "name"]
        assert cur.description[0][1] == qorvin.NUMBER and cur.description[1][1] == qorvin.STRING
        assert cur.rowcount == 5
        assert cur.fetchone() == (0, "n0")
        assert cur.fetchmany() == [(1, "n1")]
        cur.arraysize = 2
        assert cur.fetchmany() == [(2, "n2"), (3, "n3")]
        assert list(cur) == [(4, "n4")]
        assert cur.fetchone() is None and cur.fetchall() == [] and cur.fetchmany(3) == []
        cur.execute("select Id from %s where Id > ?" % t, [10])
        assert cur.fetchall() == [] and cur.rowcount == 0
        cur.execute("drop table %s" % t)
    with pytest.raises(qorvin.InterfaceError):
        cur.execute("select 1")
    con.commit()
    with pytest.raises(qorvin.NotSupportedError):
        con.rollback()
    con.close()
    with pytest.raises(qorvin.InterfaceError):
        con.cursor()


def test_errors_and_their_classes(con, server):
    cur = con.cursor()
    with pytest.raises(qorvin.ProgrammingError, match="An exception was raised on the server"):
        cur.execute("select * from NoSuchTable")
    with pytest.raises(qorvin.ProgrammingError, match="2 place-holders"):
        cur.execute("select ?, ?", [1])
    with pytest.raises(qorvin.IntegrityError):
        cur.execute("insert into Customers (Id, Name) values (1, 'again')")
    # A server that is not there: the transport's failure.
    with qorvin.connect("t://127.0.0.1:1", user_id="py") as gone:
        with pytest.raises(qorvin.OperationalError) as e:
            gone.cursor().execute("select 1")
        assert str(e.value)


def test_type_round_trips_with_nulls(con, server):
    t = table_name()
    cur = con.cursor()
    binary = "bytea" if server.backend == "postgres" else "varbinary(10)"
    cur.execute("create table %s (i int, b bigint, f float, s varchar(30), d date, ts timestamp, "
                "n numeric(12,3), bl %s)" % (t, binary))
    row = (7, 2**40, 0.1, "x'y\u4e2d", datetime.date(2024, 2, 29),
           datetime.datetime(2023, 12, 31, 23, 59, 58, 500000), decimal.Decimal("-123456789.125"),
           b"\x00\x01'\xff")
    cur.execute("insert into %s values (?, ?, ?, ?, ?, ?, ?, ?)" % t, row)
    cur.execute("insert into %s values (?, ?, ?, ?, ?, ?, ?, ?)" % t, [None] * 8)
    cur.execute("select i, b, f, s, d, ts, n, bl from %s" % t)
    got = cur.fetchall()
    assert len(got) == 2
    assert [r for r in got if r[0] is None] == [(None,) * 8]
    values = [r for r in got if r[0] is not None][0]
    assert values[:4] == row[:4]
    assert values[7] == row[7]
    assert type(values[4]) is datetime.date and values[4] == row[4]
    assert values[5] == row[5]
    # numeric is exact on PostgreSQL (a Decimal) and a double on SQLite.
    assert decimal.Decimal(str(values[6])) == row[6]
    if server.backend == "postgres":
        assert type(values[6]) is decimal.Decimal
    cur.execute("drop table %s" % t)


def test_random_text_round_trips_through_the_server(con):
    rng = random.Random(4938)
    alphabet = "'\"[]?-/*\\%_\n\r\t ;aZ0\u00e9\u4e2d\U0001F600"
    cur = con.cursor()
    for _ in range(40):
        texts = ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 24))) for _ in range(5)]
        cur.execute("select ? as a, ? as b, ? as c, ? as d, ? as e", texts)
        assert cur.fetchall() == [tuple(texts)]


def test_numbers_round_trip_exactly(con):
    cur = con.cursor()
    values = [0, -1, 2**31 - 1, -2**31, 2**62, 1.5, -0.25, 1e-7, 123456789.12345679]
    cur.execute("select " + ", ".join("?" for _ in values), values)
    got = cur.fetchone()
    assert got[:5] == tuple(values[:5])
    # A literal with a fraction is a numeric on PostgreSQL (a Decimal of the same digits) and a
    # double on SQLite: either way the value that was sent.
    for sent, back in zip(values[5:], got[5:]):
        assert back == sent if isinstance(back, float) else back == decimal.Decimal(repr(sent))




def test_cancel_without_a_call_does_nothing(con):
    assert con.cursor().cancel() is False
    con.cursor().execute("select 1")


def test_separate_connections_from_threads(server):
    errors = []

    def work(n):
        try:
            with qorvin.connect(server.url("T"), user_id="py") as c:
                cur = c.cursor()
                for i in range(10):
                    cur.execute("select ? + ?", [n, i])
                    assert cur.fetchone() == (n + i,)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(60)
    assert not any(th.is_alive() for th in threads)
    assert errors == []


def test_executemany_on_a_procedure_is_one_upload_with_per_row_errors(con):
    cur = con.cursor()
    base = 1000 + random.Random().randint(0, 10**6) * 10
    cur.executemany("exec AddCustomer", [
        {"Id": base, "Name": "it's", "City": "Z\u00fcrich", "Credit": 1.5},
        {"Id": 1, "Name": "taken"},             # the procedure returns 0
        {"Id": base + 1, "Name": None},         # NOT NULL: the row fails on its own
        {"Id": base + 2, "Name": "ok", "City": None, "Credit": None},
    ])
    assert cur.rowcount == 2
    got = cur.fetchall()
    assert [r[:2] for r in got] == [(1, 1), (2, 0), (3, None), (4, 1)]
    assert got[0][2] == "" and got[2][2] != ""
    cur.execute("select Id, Name, City, Credit from Customers where Id >= ? order by Id", [base])
    assert cur.fetchall() == [(base, "it's", "Z\u00fcrich", 1.5), (base + 2, "ok", None, None)]
    with pytest.raises(qorvin.ProgrammingError, match="mapping"):
        cur.executemany("exec AddCustomer", [(1, "x")])
    with pytest.raises(qorvin.NotSupportedError):
        cur.executemany("exec AddCustomer", [{"Id": base + 5, "Name": 1j}])
    with pytest.raises(qorvin.ProgrammingError, match="NoSuchProc"):
        cur.executemany("exec NoSuchProc", [{"a": 1}])


def test_executemany_uploads_bytes_columns(con, server):
    cur = con.cursor()
    binary = "bytea" if server.backend == "postgres" else "blob"
    cur.execute("create table PyBlobs (Id int, Data %s)" % binary)
    try:
        rng = random.Random(1138)
        blobs = [bytes(range(256)), b"", None, b"\x00'--", bytearray(b"\xff\x00"),
                 memoryview(b"view")] + [
            bytes(rng.randrange(256) for _ in range(rng.randint(1, 3000))) for _ in range(5)]
        cur.executemany("exec StoreBlob", [{"Id": i, "Data": b} for i, b in enumerate(blobs)])
        assert cur.rowcount == len(blobs)
        assert all(r[2] == "" for r in cur.fetchall())
        cur.execute("select Id, Data from PyBlobs order by Id")
        assert cur.fetchall() == [(i, None if b is None else bytes(b)) for i, b in enumerate(blobs)]
        # A column whose first values are NULL takes its type from the first bytes.
        cur.executemany("exec StoreBlob", [{"Id": 100, "Data": None}, {"Id": 101, "Data": b"\x01"}])
        cur.execute("select Data from PyBlobs where Id >= 100 order by Id")
        assert cur.fetchall() == [(None,), (b"\x01",)]
    finally:
        cur.execute("drop table PyBlobs")


def test_random_bytes_and_dates_round_trip_through_the_server(con, server):
    rng = random.Random(3849)
    cur = con.cursor()
    for _ in range(20):
        blob = bytes(rng.randrange(256) for _ in range(rng.randint(1, 40)))
        cur.execute("select ? as b", [blob])
        assert cur.fetchone() == (blob,)
    t = table_name()
    cur.execute("create table %s (d date, ts timestamp)" % t)
    stamps = [datetime.datetime(rng.randint(1, 9999), rng.randint(1, 12), rng.randint(1, 28),
                                rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59),
                                rng.randint(0, 999) * 1000) for _ in range(20)]
    for ts in stamps:
        cur.execute("insert into %s values (?, ?)" % t, [ts.date(), ts])
    cur.execute("select d, ts from %s" % t)
    assert sorted(cur.fetchall()) == sorted((ts.date(), ts) for ts in stamps)
    cur.execute("drop table %s" % t)


def test_callproc_returns_the_value_and_the_output(con):
    cur = con.cursor()
    base = 5000000 + random.Random().randint(0, 10**6) * 10
    assert cur.callproc("AddCustomer", [base, "it's"]) == [base, "it's"]
    assert cur.return_value == 1
    total = int(cur.output)
    cur.callproc("AddCustomer", (base, "again"))
    assert cur.return_value == 0 and int(cur.output) == total
    cur.callproc("CustomerCount")
    assert cur.return_value == total and cur.output == str(total)
    assert cur.description is None
    cur.execute("select Name from Customers where Id = ?", [base])
    assert cur.fetchall() == [("it's",)]
    for bad in ["x; drop table Customers", "a b", "", 5]:
        with pytest.raises(qorvin.ProgrammingError, match="not a procedure name"):
            cur.callproc(bad)
    with pytest.raises(qorvin.ProgrammingError, match="NoSuchProc"):
        cur.callproc("NoSuchProc", [1])


def closed_port():
    """A loopback port nothing listens on: bound, then closed, and still reserved by nobody."""
    import socket

    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.mark.parametrize("letter", ["T", "H"])
def test_a_list_of_servers_fails_over(sqlite_server, letter):
    dead = "%s://127.0.0.1:%d" % (letter.lower(), closed_port())
    with qorvin.connect(dead + "," + sqlite_server.url(letter), user_id="py") as con:
        cur = con.cursor()
        cur.execute("select 1 + ?", [1])
        assert cur.fetchone() == (2,)
        assert str(sqlite_server.ports[letter]) in con.last_server()


@pytest.mark.parametrize("urls", ["t://a:1,h://b:2", "t://a:1,", ",t://a:1", "t://a:1,t://b"])
def test_bad_server_lists(urls):
    with pytest.raises(qorvin.InterfaceError):
        qorvin.connect(urls)


def test_tcp_letters_mix_in_a_list():
    assert [s[0] for s in qorvin.parse_urls("t://a:1,b://b:2")] == ["T", "B"]
