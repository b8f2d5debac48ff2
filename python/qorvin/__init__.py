"""qorvin: a DB-API 2.0 (PEP 249) module over the Qorvin client library.

    import qorvin
    with qorvin.connect("t://127.0.0.1:8090", user_id="report") as con:
        cur = con.cursor()
        cur.execute("select Name, Credit from Customers where City = ?", ["London"])
        print(cur.fetchall())

Each call runs on its own at the server (the middle tier holds the database connection and
commits every batch it runs), so there is no transaction spanning calls: ``commit()`` does
nothing, and ``rollback()`` raises ``NotSupportedError`` rather than pretend to undo work that
is already committed. Parameters use paramstyle 'qmark' and are rendered as literals of the
server's dialect on the client (see ``qorvin._literals``).

The client library is loaded with dlopen: from the path in QORVIN_CLIENT_LIBRARY, else
libQorvinClient.so beside this package, else the library of the build folder the package was
built in, else libQorvinClient.so.1 (its SONAME) through the system's search path.
"""

import collections
import datetime
import decimal
import os
import re
import threading

from . import _literals
from . import _qorvin

apilevel = "2.0"
# Threads may share the module, not connections: a connection is one module of the library,
# which serves one call at a time and refuses a second one ("Channel is busy") instead of
# waiting. Connections are independent of each other.
threadsafety = 1
paramstyle = "qmark"

_SERVER_ERROR = "An exception was raised on the server: "


class Warning(Exception):  # noqa: A001 - the name PEP 249 gives it
    pass


class Error(Exception):
    pass


class InterfaceError(Error):
    pass


class DatabaseError(Error):
    pass


class DataError(DatabaseError):
    pass


class OperationalError(DatabaseError):
    """The call did not reach the server or its answer did not come back (transport failure,
    time-out, cancel, a busy connection)."""


class IntegrityError(DatabaseError):
    pass


class InternalError(DatabaseError):
    pass


class ProgrammingError(DatabaseError):
    """The server refused the SQL (its database's own message), or the parameters did not fit."""


class NotSupportedError(DatabaseError):
    pass


def _raise_for(text):
    """The exception for one of the library's error texts."""
    if text.startswith(_SERVER_ERROR):
        message = text[len(_SERVER_ERROR):]
        low = message.lower()
        if "constraint" in low or "unique" in low or "duplicate key" in low:
            raise IntegrityError(text)
        raise ProgrammingError(text)
    raise OperationalError(text)


# ---- type objects -------------------------------------------------------------------------
# description's type_code is the data packet's field type code (docs/data-packet.md); these
# objects compare equal to every code of their group.
class _TypeObject:
    def __init__(self, name, codes):
        self.name, self.codes = name, frozenset(codes)

    def __eq__(self, other):
        return other in self.codes if isinstance(other, int) else NotImplemented

    def __hash__(self):
        return hash(self.codes)

    def __repr__(self):
        return "qorvin.%s" % self.name


STRING = _TypeObject("STRING", {1, 16, 18, 23, 24, 31, 35})
BINARY = _TypeObject("BINARY", {12, 13, 15, 17, 19, 20, 21, 30})
NUMBER = _TypeObject("NUMBER", {2, 3, 4, 5, 6, 7, 8, 14, 25, 37})
DATETIME = _TypeObject("DATETIME", {9, 10, 11, 36})
ROWID = _TypeObject("ROWID", {14})

Date = datetime.date
Time = datetime.time
Timestamp = datetime.datetime
Binary = bytes


def DateFromTicks(ticks):
    return datetime.date.fromtimestamp(ticks)


def TimeFromTicks(ticks):
    return datetime.datetime.fromtimestamp(ticks).time()


def TimestampFromTicks(ticks):
    return datetime.datetime.fromtimestamp(ticks)


# ---- table uploads ----------------------------------------------------------------------
_PROC_NAME = re.compile(r"[A-Za-z_#][\w#$.]*$")
_PROC_CALL = re.compile(r"\s*exec(?:ute)?\s+([A-Za-z_#][\w#$.]*)\s*;?\s*$", re.IGNORECASE)


def _upload_type(name, sample):
    """The record-set field type of an upload's column, from its first value that is not None:
    field type codes of docs/data-packet.md."""
    if isinstance(sample, bool):
        return 5
    if isinstance(sample, int):
        return 25
    if isinstance(sample, float):
        return 6
    if isinstance(sample, datetime.datetime):
        return 11
    if isinstance(sample, datetime.date):
        return 9
    if isinstance(sample, datetime.time):
        return 10
    if isinstance(sample, (bytes, bytearray, memoryview)):
        return 15  # a blob, sent as hexadecimal text (two digits a byte)
    if sample is None or isinstance(sample, (str, decimal.Decimal)):
        return 24  # wide text; the database converts a Decimal's exact digits
    raise NotSupportedError("an upload column of type %s (%s)" % (type(sample).__name__, name))


def _upload_text(value):
    if value is None:
        return None
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, decimal.Decimal):
        return format(value, "f")
    if isinstance(value, datetime.datetime):
        return value.isoformat(sep=" ")
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    if isinstance(value, str) and "\0" in value:
        raise ProgrammingError("a text value holds the character NUL, which the database refuses")
    return str(value)


# ---- connecting -----------------------------------------------------------------------------
def parse_url(url):
    """("T", host, port) of "t://HOST:PORT" (letters t, b: TCP, h: HTTP, u: UDP); an IPv6
    address goes in brackets, which HTTP keeps and the sockets drop. InterfaceError otherwise."""
    forms = " (expected h://HOST:PORT, t://HOST:PORT, b://HOST:PORT or u://HOST:PORT)"
    if not isinstance(url, str) or len(url) < 4 or url[1:4] != "://":
        raise InterfaceError("%r is not a server address%s" % (url, forms))
    letter = url[0].upper()
    if letter not in "HTBU":
        raise InterfaceError("%r: unknown connection type%s" % (url, forms))
    rest = url[4:]
    colon = rest.rfind(":")
    if colon <= 0 or colon + 1 == len(rest):
        raise InterfaceError("%r: HOST and PORT are both needed%s" % (url, forms))
    host, port_text = rest[:colon], rest[colon + 1:]
    if host.startswith("["):
        if not host.endswith("]") or len(host) < 3:
            raise InterfaceError("%r: an IPv6 address ends with ']'" % url)
        if letter != "H":
            host = host[1:-1]
    elif any(c in host for c in ":/ "):
        raise InterfaceError("%r: a host name cannot hold ':', '/' or spaces "
                             "(put an IPv6 address in brackets)" % url)
    if not port_text.isdigit() or not 1 <= int(port_text) <= 65535:
        raise InterfaceError("%r: the port must be a number between 1 and 65535" % url)
    return letter, host, int(port_text)


def _library_path():
    path = os.environ.get("QORVIN_CLIENT_LIBRARY")
    if path:
        return path
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libQorvinClient.so")
    if os.path.exists(beside):
        return beside
    try:
        from . import _build_paths

        if os.path.exists(_build_paths.CLIENT_LIBRARY):
            return _build_paths.CLIENT_LIBRARY
    except ImportError:
        pass
    # The SONAME: the library's package installs it (libQorvinClient.so comes with -dev).
    return "libQorvinClient.so.1"


def parse_urls(text):
    """The servers of "t://a:1,t://b:2": all of one connection type (t and b are both TCP)."""
    if not isinstance(text, str):
        raise InterfaceError("%r is not a server address" % (text,))
    servers = []
    for item in text.split(","):
        if not item:
            raise InterfaceError("%r: an empty server in the list" % text)
        servers.append(parse_url(item))
    kinds = {"B": "T"}
    if len({kinds.get(s[0], s[0]) for s in servers}) != 1:
        raise InterfaceError("%r: all servers of a list use one connection type" % text)
    return servers


_MODES = {"single": 0, "failover": 1, "balance": 3}


def _milliseconds(name, seconds, least):
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not (
            seconds >= least and seconds <= 86400):
        raise InterfaceError("%s must be a number of seconds from %g to 86400, not %r"
                             % (name, least, seconds))
    return int(round(seconds * 1000))


def connect(url, user_id="", serial="", *, mode=None, probe_interval=None, retry_after=None,
            repeat_after_sent=False):
    """A Connection to the qorvin-server at ``url``; ``user_id`` and ``serial`` go with every
    call (the server logs them). ``url`` may list several servers, "t://a:1,t://b:2", which go
    into the library's server list:

    - ``mode``: "failover" (the default with several servers: stay with one server, go to the
      next when a call cannot reach it), "balance" (spread the calls over the enabled servers,
      with fail-over) or "single" (the first server only).
    - ``retry_after``: seconds after which a server that failed a call is tried again (the
      library's default is 60; 0: only probing brings it back).
    - ``probe_interval``: seconds (at least 0.1) between probes of every server on a thread of
      the library's own, which disable a failing server and enable a recovered one.
    - ``repeat_after_sent``: also switch servers when the request may already have reached the
      failed server (only for calls that are safe to run twice).

    A bad value raises InterfaceError."""
    servers = parse_urls(url)
    if mode is None:
        mode = "failover" if len(servers) > 1 else "single"
    if mode not in _MODES:
        raise InterfaceError("mode is one of %s, not %r" % (", ".join(sorted(_MODES)), mode))
    retry_ms = -1 if retry_after is None else _milliseconds("retry_after", retry_after, 0)
    probe_ms = 0 if probe_interval is None else _milliseconds("probe_interval", probe_interval,
                                                              0.1)
    letter, host, port = servers[0]
    try:
        session = _qorvin.Session(_library_path(), letter, host, port)
        for _letter, more_host, more_port in servers[1:]:
            session.add_server(more_host, more_port)
        session.configure(_MODES[mode], retry_ms, probe_ms, bool(repeat_after_sent))
    except (ValueError, RuntimeError) as e:
        raise InterfaceError(str(e)) from None
    return Connection(session, str(user_id), str(serial))


Progress = collections.namedtuple(
    "Progress", "bytes_sent send_total bytes_received receive_total in_flight cancelled")
Progress.__doc__ = """How far a call has got: bytes of the request and of the answer as they
cross the network; a total is -1 until it is known. ``in_flight`` is False in the last report,
made once the call has ended; ``cancelled`` is True once a cancel reached the call."""


class Connection:
    """``progress``: None, or a callable that every call on the connection calls with a
    ``Progress`` every ``progress_interval`` seconds while it runs and once when it has ended
    (on the calling thread); an exception it raises cancels the call and goes on up."""

    progress_interval = 0.1

    def __init__(self, session, user_id, serial):
        self._session, self._user, self._serial = session, user_id, serial
        self._closed = False
        self.progress = None

    def _check(self):
        if self._closed:
            raise InterfaceError("the connection is closed")

    def close(self):
        self._closed = True

    def commit(self):
        """Does nothing: the server commits each call it runs."""
        self._check()

    def rollback(self):
        self._check()
        raise NotSupportedError("each call is committed at the server on its own; there is "
                                "nothing to roll back")

    def cursor(self):
        self._check()
        return Cursor(self)

    def last_server(self):
        """The address of the server that answered the last successful call ("" before it)."""
        return self._session.last_server()

    def servers(self):
        """[(address, enabled)] of the connection's servers, the first one first: a server that
        failed a call (or a probe) is disabled until it is tried again."""
        return self._session.servers()

    def probe(self, index, timeout=5.0):
        """Probes server ``index`` of ``servers()`` once, now: True when it answered as a live
        server does; OperationalError with the reason otherwise. Enables or disables nothing."""
        count = len(self._session.servers())
        if isinstance(index, bool) or not isinstance(index, int) or not 0 <= index < count:
            raise IndexError("there is no server %r (the connection has %d)" % (index, count))
        reason = self._session.probe(index, _milliseconds("timeout", timeout, 0.001))
        if reason:
            raise OperationalError(reason)
        return True

    def cancel(self):
        """Ends the call running on this connection (from another thread); False when none ran."""
        return self._session.cancel()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _interruptible(self, call, *args, progress=None):
        """``call(*args)``, so that Ctrl-C cancels it and a progress callback is called while it
        runs (``progress``, else the connection's). Python runs its signal handlers on the main
        thread only, between byte codes; so there, and whenever a callback is to be called, the
        call runs on a helper thread while the calling thread waits. A KeyboardInterrupt, or an
        exception the callback raises, cancels the call (through the progress extension), waits
        for it to end (at most a minute) and goes on up. Other threads without a callback call
        directly."""
        progress = progress if progress is not None else self.progress
        if progress is None and threading.current_thread() is not threading.main_thread():
            return call(*args)
        outcome = {}
        done = threading.Event()

        def work():
            try:
                outcome["value"] = call(*args)
            except BaseException as e:  # noqa: BLE001 - handed to the waiting thread
                outcome["error"] = e
            finally:
                done.set()

        worker = threading.Thread(target=work, name="qorvin-call", daemon=True)
        # Started inside the try: a Ctrl-C that comes as the helper starts cancels its call too.
        try:
            worker.start()
            if progress is None:
                done.wait()
            else:
                while not done.wait(self.progress_interval):
                    progress(Progress(*self._session.progress()))
                progress(Progress(*self._session.progress()))
        except BaseException:
            # The helper may not have reached the library yet: cancel until it has ended.
            if worker.ident is not None:
                for _ in range(1200):
                    self._session.cancel()
                    if done.wait(0.05):
                        break
                worker.join(5)
            raise
        worker.join(5)  # it has set `done`; the thread itself ends a moment later
        if "error" in outcome:
            raise outcome["error"]
        return outcome["value"]

    def _read(self, sql, progress=None):
        self._check()
        try:
            error, result = self._interruptible(self._session.read, self._user, self._serial,
                                                sql, progress=progress)
        except ValueError as e:  # a data packet that does not decode
            raise InterfaceError(str(e)) from None
        if error:
            _raise_for(error)
        return result


class Cursor:
    arraysize = 1

    def __init__(self, connection):
        self.connection = connection
        self.return_value, self.output = None, None
        self.description = None
        self.rowcount = -1
        self._result, self._rows, self._next = None, [], 0
        self._closed = False

    def _check(self):
        if self._closed:
            raise InterfaceError("the cursor is closed")
        self.connection._check()

    def close(self):
        self._closed = True
        self._result, self._rows = None, []

    def execute(self, operation, parameters=None, *, progress=None):
        """Runs ``operation`` (a batch of the server's dialect) with ``?`` place-holders
        replaced by ``parameters``. A batch that brings a result set gives its rows.
        ``progress`` is this call's progress callback (see Connection)."""
        self._check()
        if not isinstance(operation, str):
            raise ProgrammingError("the operation is SQL text")
        sql = operation
        if parameters is not None:
            try:
                sql = _literals.substitute(operation, parameters)
            except _literals.LiteralError as e:
                raise ProgrammingError(str(e)) from None
        if "\0" in sql:
            raise ProgrammingError("the statement holds the character NUL")
        self._set_result(self.connection._read(sql, progress))

    def _set_result(self, result):
        """The record set of the last call (None: it brought none). Its rows are decoded when
        they are first fetched, as tuples or, by fetch_dataframe, as columns."""
        self.description, self.rowcount, self._next = None, -1, 0
        self._result, self._rows = result, []
        if result is not None:
            self.description = [
                (name, code, None, size or None, precision or None,
                 size if code in (8, 37) else None, not (attributes & 0x04))
                for name, code, size, precision, attributes, _column in result.fields()
            ]
            self._rows = None
            self.rowcount = result.row_count

    def _all_rows(self):
        if self._rows is None:
            try:
                self._rows = self._result.rows()
            except ValueError as e:  # a data packet that does not decode
                raise InterfaceError(str(e)) from None
        return self._rows

    def executemany(self, operation, seq_of_parameters, *, progress=None):
        """Runs ``operation`` once for each parameter sequence, one call each.

        ``exec ProcName`` with mappings of parameter names to values is one call instead: the
        rows go to the server as one table upload that calls the procedure once per row, each
        row on its own (a failing row undoes only itself). Then ``rowcount`` is the number of
        rows whose procedure returned ``success_return_value``, and the cursor holds one row per
        uploaded row: (RowNo, ReturnValue, ErrorText), NULL and the error for a failed row."""
        self._check()
        proc = _PROC_CALL.match(operation) if isinstance(operation, str) else None
        if proc:
            return self._upload(proc.group(1), list(seq_of_parameters), 1, progress)
        for parameters in seq_of_parameters:
            self.execute(operation, parameters, progress=progress)
        self.description, self.rowcount = None, -1

    def callproc(self, procname, parameters=(), *, progress=None):
        """Calls the procedure with ``parameters`` as its arguments by position (rendered as
        literals). Returns ``parameters`` unchanged; the procedure's return value is then in
        ``return_value`` and its first output parameter, as text ("" when it has none or it is
        NULL), in ``output``. The call brings no result set."""
        self._check()
        if not isinstance(procname, str) or not _PROC_NAME.match(procname):
            raise ProgrammingError("%r is not a procedure name" % (procname,))
        try:
            args = ", ".join(_literals.render_literal(p) for p in parameters)
        except _literals.LiteralError as e:
            raise ProgrammingError(str(e)) from None
        c = self.connection
        self._set_result(None)
        error, result, output = c._interruptible(c._session.exec_proc, c._user, c._serial,
                                                 ("exec %s %s" % (procname, args)).rstrip(),
                                                 progress=progress)
        if error:
            _raise_for(error)
        self.return_value, self.output = result, output
        return parameters

    def _upload(self, proc, rows, success_return_value, progress):
        if not all(isinstance(r, dict) for r in rows):
            raise ProgrammingError("executemany on a procedure takes one mapping of parameter "
                                   "names to values per row")
        names = []
        for r in rows:
            for key in r:
                if key not in names:
                    names.append(key)
        fields = []
        for name in names:
            sample = next((r[name] for r in rows if r.get(name) is not None), None)
            fields.append((name.lstrip("@"), _upload_type(name, sample), 0))
        texts = [[_upload_text(r.get(name)) for name in names] for r in rows]
        c = self.connection
        try:
            error, _result, count, result = c._interruptible(
                c._session.upload, c._user, c._serial, proc, fields, texts, success_return_value,
                progress=progress)
        except ValueError as e:
            raise ProgrammingError(str(e)) from None
        if error:
            _raise_for(error)
        self._set_result(result)
        self.rowcount = count

    def fetchone(self):
        self._check_rows()
        rows = self._all_rows()
        if self._next >= len(rows):
            return None
        row = rows[self._next]
        self._next += 1
        return row

    def fetchmany(self, size=None):
        self._check_rows()
        size = self.arraysize if size is None else size
        rows = self._all_rows()[self._next:self._next + max(size, 0)]
        self._next += len(rows)
        return rows

    def fetchall(self):
        self._check_rows()
        rows = self._all_rows()[self._next:]
        self._next += len(rows)
        return rows

    def fetch_dataframe(self, decimal_as_float=False):
        """The rows not fetched yet as a pandas DataFrame, one column per field, built from the
        data packet column by column (no Python object per number, date or boolean): integers
        as "Int64", booleans as "boolean" (both nullable, NULL is <NA>), floats as float64
        (NaN), date-times and dates as datetime64 (NaT), times as timedelta64 since midnight,
        text and binary as objects (None). Currency and BCD values are exact decimal.Decimal
        objects, or float64 with ``decimal_as_float``. ImportError without pandas."""
        self._check_rows()
        from . import _frame

        _frame._pandas()
        try:
            columns = self._result.columns(bool(decimal_as_float))
        except ValueError as e:
            raise InterfaceError(str(e)) from None
        frame = _frame.build(columns, self._next)
        self._next = self._result.row_count
        return frame

    def _check_rows(self):
        self._check()
        if self.description is None:
            raise ProgrammingError("the last operation brought no result set")

    def cancel(self):
        return self.connection.cancel()

    def setinputsizes(self, sizes):
        pass

    def setoutputsize(self, size, column=None):
        pass

    def __iter__(self):
        return self

    def __next__(self):
        row = self.fetchone()
        if row is None:
            raise StopIteration
        return row

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
