"""Load balancing and probing through the library's server list: connect's keyword arguments
with two servers, one of which is dead (a port of this host that nothing listens on)."""

import socket
import time

import pytest

import qorvin


@pytest.fixture
def dead_port():
    """A loopback port bound but not listening (a connection to it is refused), kept bound so
    that nothing else takes it during the test."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    yield s.getsockname()[1]
    s.close()


def urls(server, dead_port):
    return "t://127.0.0.1:%d,%s" % (dead_port, server.url("T"))


def test_load_balancing_goes_round_the_dead_server(sqlite_server, dead_port):
    with qorvin.connect(urls(sqlite_server, dead_port), user_id="py", mode="balance",
                        retry_after=0) as con:
        cur = con.cursor()
        for i in range(12):
            cur.execute("select ?", [i])
            assert cur.fetchone() == (i,)
            assert str(sqlite_server.ports["T"]) in con.last_server()
        servers = con.servers()
        assert len(servers) == 2
        # retry_after=0: the dead server, once it failed a call, stays off.
        assert servers[0][1] is False and servers[1][1] is True
        assert str(dead_port) in servers[0][0]


def test_probing_disables_the_dead_server_without_a_call(sqlite_server, dead_port):
    with qorvin.connect(urls(sqlite_server, dead_port), user_id="py", mode="balance",
                        probe_interval=0.1, retry_after=0) as con:
        # Bounded wait for the library's probing thread to have probed both servers.
        for _ in range(600):
            if [enabled for _address, enabled in con.servers()] == [False, True]:
                break
            time.sleep(0.05)
        assert [enabled for _address, enabled in con.servers()] == [False, True]
        cur = con.cursor()
        cur.execute("select 1")
        assert cur.fetchone() == (1,)


def test_a_probe_of_one_server(sqlite_server, dead_port):
    with qorvin.connect(urls(sqlite_server, dead_port), user_id="py") as con:
        assert con.probe(1, timeout=10) is True
        with pytest.raises(qorvin.OperationalError) as e:
            con.probe(0, timeout=10)
        assert str(e.value)
        # A probe changes nothing in the list.
        assert [enabled for _address, enabled in con.servers()] == [True, True]
        for bad in (2, -1, "0", True):
            with pytest.raises(IndexError):
                con.probe(bad)


def test_fail_over_is_the_default_and_single_stays_on_the_first(sqlite_server, dead_port):
    with qorvin.connect(urls(sqlite_server, dead_port), user_id="py") as con:
        con.cursor().execute("select 1")
    with qorvin.connect(urls(sqlite_server, dead_port), user_id="py", mode="single") as con:
        with pytest.raises(qorvin.OperationalError):
            con.cursor().execute("select 1")


@pytest.mark.parametrize("kwargs", [
    {"mode": "fastest"}, {"mode": 3}, {"probe_interval": 0.01}, {"probe_interval": "1"},
    {"retry_after": -1}, {"retry_after": True}, {"probe_interval": float("nan")},
])
def test_bad_server_settings(kwargs):
    with pytest.raises(qorvin.InterfaceError):
        qorvin.connect("t://127.0.0.1:1,t://127.0.0.1:2", **kwargs)
