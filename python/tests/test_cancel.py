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
