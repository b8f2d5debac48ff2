"""Cancelling a call: from another thread, and by Ctrl-C. The calls go to a TCP listener of the
test's own that takes the request and never answers, so the call waits until it is cancelled."""

import os
import signal
import socket
import threading

import pytest

import qorvin


class SilentServer:
    """Accepts connections on 127.0.0.1 and reads what comes, never answering; `request` is set
    once the first bytes of a request arrived."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.request = threading.Event()
        self.accepted = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.accepted.append(conn)
            threading.Thread(target=self._read, args=(conn,), daemon=True).start()

    def _read(self, conn):
        try:
            while conn.recv(65536):
                self.request.set()
        except OSError:
            pass

    def close(self):
        # shutdown wakes the thread blocked in accept(); close alone does not.
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        for conn in self.accepted:
            conn.close()
        self.thread.join(10)


@pytest.fixture
def silent():
    server = SilentServer()
    yield server
    server.close()


def test_cancel_from_another_thread(silent):
    con = qorvin.connect("t://127.0.0.1:%d" % silent.port, user_id="py")
    cur = con.cursor()
    outcome = []

    def call():
        try:
            cur.execute("select 1")
            outcome.append("answered")
        except qorvin.Error as e:
            outcome.append(e)

    worker = threading.Thread(target=call)
    worker.start()
    assert silent.request.wait(30), "the request never reached the listener"
    assert cur.cancel() is True
    worker.join(30)
    assert not worker.is_alive()
    assert len(outcome) == 1 and isinstance(outcome[0], qorvin.OperationalError)
    assert "cancelled" in str(outcome[0])
    # Nothing is in flight any more.
    assert cur.cancel() is False


def test_ctrl_c_cancels_the_call(silent):
    con = qorvin.connect("t://127.0.0.1:%d" % silent.port, user_id="py")
    cur = con.cursor()

    def interrupt():
        if silent.request.wait(30):
            os.kill(os.getpid(), signal.SIGINT)

    helper = threading.Thread(target=interrupt)
    helper.start()
    with pytest.raises(KeyboardInterrupt):
        cur.execute("select 1")
    helper.join(30)
    # The call ended by the cancel (not by a time-out of its own), its helper thread is gone
    # and the module is idle.
    assert "cancelled" in con._session.last_error()
    assert cur.cancel() is False
    assert not [t for t in threading.enumerate() if t.name == "qorvin-call"]


def test_a_second_call_on_a_busy_connection_is_refused_at_once(silent):
    con = qorvin.connect("t://127.0.0.1:%d" % silent.port, user_id="py")
    outcome = []

    def call():
        try:
            con.cursor().execute("select 1")
        except qorvin.Error as e:
            outcome.append(e)

    worker = threading.Thread(target=call)
    worker.start()
    assert silent.request.wait(30), "the request never reached the listener"
    # threadsafety 1: a connection serves one call; the second is refused, not queued.
    with pytest.raises(qorvin.OperationalError, match="busy"):
        con.cursor().execute("select 2")
    assert con.cancel() is True
    worker.join(30)
    assert not worker.is_alive() and "cancelled" in str(outcome[0])


class Stop(Exception):
    pass


@pytest.mark.parametrize("on_main_thread", [True, False])
def test_an_exception_in_the_progress_callback_cancels_the_call(silent, on_main_thread):
    con = qorvin.connect("t://127.0.0.1:%d" % silent.port, user_id="py")
    con.progress_interval = 0.01
    reports = []

    def progress(p):
        reports.append(p)
        # Once the request reached the listener (or after a bounded number of reports).
        if silent.request.is_set() or len(reports) > 3000:
            raise Stop("enough")

    outcome = []

    def call():
        try:
            con.cursor().execute("select 1", progress=progress)
        except BaseException as e:  # noqa: BLE001 - examined below
            outcome.append(e)

    if on_main_thread:
        call()
    else:
        worker = threading.Thread(target=call)
        worker.start()
        worker.join(60)
        assert not worker.is_alive()
    assert len(outcome) == 1 and isinstance(outcome[0], Stop)
    assert silent.request.is_set()
    assert "cancelled" in con._session.last_error()
    assert con.cancel() is False
    assert not [t for t in threading.enumerate() if t.name == "qorvin-call"]


def test_progress_reports_a_read_up_to_its_end(sqlite_server):
    con = qorvin.connect(sqlite_server.url("T"), user_id="py")
    con.progress_interval = 0.001
    reports = []
    cur = con.cursor()
    cur.execute("with recursive n(i) as (select 1 union all select i + 1 from n where i < 20000) "
                "select i, i * 7 as j from n",
                progress=reports.append)
    assert cur.rowcount == 20000
    assert reports and all(isinstance(p, qorvin.Progress) for p in reports)
    last = reports[-1]
    assert not last.in_flight and not last.cancelled
    assert last.bytes_sent > 0 and last.bytes_received == last.receive_total > 1000
    # No figure goes down during the call (reports before it started show the last call's).
    during = [p for p in reports if p.in_flight] + [last]
    for earlier, later in zip(during, during[1:]):
        assert later.bytes_sent >= earlier.bytes_sent
        assert later.bytes_received >= earlier.bytes_received


def test_the_connection_callback_and_a_call_of_its_own(sqlite_server):
    con = qorvin.connect(sqlite_server.url("T"), user_id="py")
    mine, connection_wide = [], []
    con.progress = connection_wide.append
    cur = con.cursor()
    cur.execute("select 1", progress=mine.append)
    assert mine and not connection_wide
    cur.execute("select 2")
    assert connection_wide and connection_wide[-1].bytes_received > 0
    con.progress = None
    count = len(connection_wide)
    cur.callproc("CustomerCount")
    assert len(connection_wide) == count
