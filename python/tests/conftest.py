"""qorvin-server child processes for the tests: started on 127.0.0.1 with every transport on a
port of the system's choosing, the ports read from the one line it prints when it is ready
(bounded wait), stopped at the end of the session. On SQLite always, on PostgreSQL when
QORVIN_PG_URL names a database (in a schema of its own, dropped afterwards)."""

import os
import re
import selectors
import shutil
import subprocess
import tempfile
import uuid

import pytest

import qorvin

LISTENING = re.compile(r"listening address=\S+ http=(\d+) tcp=(\d+) udp=(\d+)")


def procedures(workdir):
    """A folder with the sample procedures and the tests' own (tests/procedures)."""
    folder = os.path.join(workdir, "procedures")
    os.mkdir(folder)
    for source in (PROCEDURES, os.path.join(os.path.dirname(__file__), "procedures")):
        for name in os.listdir(source):
            if name.endswith(".sql"):
                shutil.copy(os.path.join(source, name), folder)
    return folder


class Server:
    def __init__(self, database, schema, workdir, backend):
        self.backend = backend
        program = os.environ.get("QORVIN_SERVER_PROGRAM")
        if not program:
            pytest.skip("QORVIN_SERVER_PROGRAM names no qorvin-server")
        self.log = open(os.path.join(workdir, "server.log"), "wb")
        self.process = subprocess.Popen(
            [program, "--db", database, "--http-port", "0", "--tcp-port", "0", "--udp-port", "0",
             "--codeset", "UTF-8", "--schema", schema, "--procedures", procedures(workdir)],
            stdout=subprocess.PIPE, stderr=self.log)
        line = self._first_line(20)
        m = LISTENING.search(line)
        if not m:
            self.stop()
            raise RuntimeError("qorvin-server did not come up: %r" % line)
        self.ports = {"H": int(m.group(1)), "T": int(m.group(2)), "B": int(m.group(2)),
                      "U": int(m.group(3))}

    def _first_line(self, seconds):
        sel = selectors.DefaultSelector()
        sel.register(self.process.stdout, selectors.EVENT_READ)
        data = b""
        while b"\n" not in data:
            if not sel.select(seconds):
                break
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                break
            data += chunk
        sel.close()
        return data.decode(errors="replace")

    def url(self, letter):
        return "%s://127.0.0.1:%d" % (letter.lower(), self.ports[letter])

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(15)
        self.process.stdout.close()
        self.log.close()


SOURCE_ROOT = os.environ.get("QORVIN_SOURCE_ROOT",
                             os.path.join(os.path.dirname(__file__), "..", ".."))
PROCEDURES = os.path.join(SOURCE_ROOT, "server", "sample", "procedures")
SCHEMA = os.path.join(os.environ.get("QORVIN_SOURCE_ROOT", os.path.join(
    os.path.dirname(__file__), "..", "..")), "server", "sample", "schema.sql")


@pytest.fixture(scope="session")
def sqlite_server():
    with tempfile.TemporaryDirectory(prefix="qorvin-python-") as work:
        server = Server(os.path.join(work, "db.sqlite"), SCHEMA, work, "sqlite")
        yield server
        server.stop()


@pytest.fixture(scope="session")
def postgres_server():
    url = os.environ.get("QORVIN_PG_URL")
    if not url:
        pytest.skip("no PostgreSQL database (set QORVIN_PG_URL)")
    schema_name = "py_" + uuid.uuid4().hex[:12]
    with tempfile.TemporaryDirectory(prefix="qorvin-python-") as work:
        schema = os.path.join(work, "schema.sql")
        with open(schema, "w") as out, open(SCHEMA) as sample:
            out.write("create schema if not exists %s;\n" % schema_name + sample.read())
        database = url + ("&" if "?" in url else "?") + "options=-csearch_path%3D" + schema_name
        server = Server(database, schema, work, "postgres")
        yield server
        with qorvin.connect(server.url("T"), user_id="py") as con:
            con.cursor().execute("drop schema %s cascade" % schema_name)
        server.stop()


@pytest.fixture(params=["sqlite", "postgres"])
def server(request):
    return request.getfixturevalue(request.param + "_server")


@pytest.fixture
def con(server):
    with qorvin.connect(server.url("T"), user_id="py") as c:
        yield c
