"""Safety rules of `kavro view`, against the tool with the simulated camera:
upgrades from other origins refused, only the viewer folder served, bad
control messages answered with an error, and connections that come and go
leaving no descriptors or threads behind."""
import base64
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import time
import urllib.error
import urllib.request

import pytest

KAVRO = os.environ["KAVRO_TOOL"]


@pytest.fixture(scope="module")
def viewer(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("view")
    # A copy of the viewer folder with a link that points out of it.
    root = tmp / "root"
    shutil.copytree(os.path.join(os.path.dirname(KAVRO), "view"), root)
    (tmp / "secret.txt").write_text("outside")
    os.symlink(tmp / "secret.txt", root / "link.txt")
    # Its messages go to a file: a pipe nobody reads could fill and stop it.
    err = open(tmp / "stderr.txt", "w")
    proc = subprocess.Popen([KAVRO, "--sim", "--cache-dir", str(tmp / "cache"), "view", "--port", "0",
                             "--web-root", str(root), "--record-dir", str(tmp)],
                            stdout=subprocess.PIPE, stderr=err, text=True)
    line = proc.stdout.readline()
    m = re.match(r"http://127\.0\.0\.1:(\d+)/$", line.strip())
    assert m, f"no address printed: {line!r} {(tmp / 'stderr.txt').read_text()}"
    yield {"port": int(m.group(1)), "pid": proc.pid}
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=120) == 130, (tmp / "stderr.txt").read_text()
    err.close()


def status(port, path):
    # http.client normalises nothing: the path goes out as written.
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode())
    first = s.makefile("rb").readline().decode()
    s.close()
    return int(first.split()[1])


@pytest.mark.parametrize("path,code", [
    ("/", 200), ("/viewer.js", 200), ("/vendor/OrbitControls.js", 200),
    ("/../../../../etc/passwd", 404), ("/%2e%2e/%2e%2e/%2e%2e/etc/passwd", 404),
    ("/vendor/%2E%2E/%2E%2E/secret.txt", 404), ("/..%2f..%2fsecret.txt", 404),
    ("//etc/passwd", 404), ("/etc/passwd", 404), ("/link.txt", 404), ("/vendor", 404),
])
def test_only_files_of_the_viewer_folder(viewer, path, code):
    assert status(viewer["port"], path) == code


class Ws:
    """A minimal WebSocket client: enough to talk to the server by hand."""

    def __init__(self, port, origin=None):
        self.s = socket.create_connection(("127.0.0.1", port))
        # Only so that a message that never comes fails the test instead of
        # hanging it: every wait here is for a message.
        self.s.settimeout(300)
        key = base64.b64encode(os.urandom(16)).decode()
        origin = origin if origin is not None else f"http://127.0.0.1:{port}"
        self.s.sendall((f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                        f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n"
                        f"Origin: {origin}\r\n\r\n").encode())
        self.f = self.s.makefile("rb")
        first = self.f.readline().split()
        self.code = int(first[1]) if len(first) > 1 else None  # None: closed without an answer
        while self.f.readline() not in (b"\r\n", b""):
            pass

    def send(self, payload, opcode=1, fin=True):
        if isinstance(payload, str):
            payload = payload.encode()
        n = len(payload)
        head = bytes([(0x80 if fin else 0) | opcode])
        head += bytes([0x80 | n]) if n < 126 else (bytes([0x80 | 126]) + struct.pack(">H", n) if n < 65536
                                                   else bytes([0x80 | 127]) + struct.pack(">Q", n))
        mask = os.urandom(4)
        self.s.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def recv(self):
        b0, b1 = self.f.read(2)
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack(">H", self.f.read(2))[0]
        elif n == 127:
            n = struct.unpack(">Q", self.f.read(8))[0]
        return b0 & 0x0F, self.f.read(n)

    def recv_json(self, want):
        """The next text message of type `want`, passing over others."""
        while True:
            op, data = self.recv()
            if op == 1:
                m = json.loads(data)
                if m.get("type") == want:
                    return m

    def close(self):
        self.s.close()


@pytest.mark.parametrize("origin", ["http://evil.example", "http://127.0.0.1:1", "null", ""])
def test_upgrade_from_another_origin_is_refused(viewer, origin):
    ws = Ws(viewer["port"], origin)
    assert ws.code != 101
    ws.close()
    own = Ws(viewer["port"])
    assert own.code == 101
    assert own.recv_json("hello")["settings"]["intg_time"] is not None
    own.close()


@pytest.mark.parametrize("payload,opcode,fin,error", [
    ("{", 1, True, "not a JSON"),
    ("[1, 2]", 1, True, "object"),
    ('{"cmd": 5}', 1, True, "object"),
    ('{"cmd": "launch"}', 1, True, "unknown request"),
    ('{"cmd": "set", "name": "intg_time"}', 1, True, "lacks a field"),
    ('{"cmd": "set", "name": "intg_time", "value": "x"}', 1, True, "wrong type"),
    ('{"cmd": "filter", "name": "nosuch", "on": true}', 1, True, "unknown filter"),
    ('{"cmd": "set", "name": "intg_time", "value": 999999}', 1, True, "intg_time"),
    ('{"cmd": "pad", "x": "' + "a" * 5000 + '"}', 1, True, "too long"),
    (b"\x01\x02\x03", 2, True, "binary"),
    ('{"cmd": ', 1, False, "fragmented"),
], ids=["broken-json", "array", "cmd-not-text", "unknown-cmd", "missing-field", "wrong-type", "unknown-filter",
        "refused-by-camera", "oversized", "binary", "fragment"])
def test_bad_control_messages_get_an_error_and_the_server_goes_on(viewer, payload, opcode, fin, error):
    ws = Ws(viewer["port"])
    ws.recv_json("hello")
    ws.send(payload, opcode, fin)
    assert error in ws.recv_json("error")["error"]
    if fin:
        ws.send('{"cmd": "settings", "id": 7}')
        reply = ws.recv_json("reply")
        assert reply["id"] == 7 and reply["settings"]["intg_time"] is not None
    ws.close()
    # A new connection is served too.
    again = Ws(viewer["port"])
    assert again.code == 101
    again.close()


def test_a_change_reaches_the_other_clients_without_a_frame(viewer):
    """A setting changed from one tab reaches every other tab as it changes,
    also one that asks for no frames (paused, hidden or busy)."""
    a, b = Ws(viewer["port"]), Ws(viewer["port"])
    a.recv_json("hello")
    before = b.recv_json("hello")["settings"]
    value = 778 if before["intg_time"] == 777 else 777
    try:
        a.send(json.dumps({"cmd": "set", "name": "intg_time", "value": value, "id": 1}))
        assert a.recv_json("reply")["value"] == value
        seen = b.recv_json("settings")["settings"]
        while seen["intg_time"] != value:  # an earlier change may come first
            seen = b.recv_json("settings")["settings"]
        assert seen["version"] > before["version"]
    finally:
        a.send(json.dumps({"cmd": "set", "name": "intg_time", "value": before["intg_time"], "id": 2}))
        a.recv_json("reply")
        a.close()
        b.close()


def test_a_client_gone_mid_message_leaves_the_server_serving(viewer):
    ws = Ws(viewer["port"])
    ws.recv_json("hello")
    # A frame header that announces 1000 bytes, 10 of them, then gone.
    ws.s.sendall(bytes([0x81, 0x80 | 126]) + struct.pack(">H", 1000) + os.urandom(4) + b"0123456789")
    ws.close()
    assert status(viewer["port"], "/") == 200
    other = Ws(viewer["port"])
    other.recv_json("hello")
    other.send('{"cmd": "next"}')
    op, data = other.recv()
    while op != 2:
        op, data = other.recv()
    assert data[0] in (1, 2)  # a frame or the rays before it
    other.close()


def counts(pid):
    return len(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task"))


def test_connect_disconnect_cycles_leak_nothing(viewer):
    port, pid = viewer["port"], viewer["pid"]
    # One cycle first: whatever a first connection sets up for good is not a leak.
    for i in range(3):
        ws = Ws(port)
        ws.recv_json("hello")
        ws.close()
    base = counts(pid)
    for i in range(100):
        ws = Ws(port)
        ws.recv_json("hello")
        if i % 2:
            ws.send('{"cmd": "next"}')  # some leave while their frame is on the way
        ws.close()
    # Connections are closed by the server as it notices: a last request
    # whose answer comes after them, then the counts as they settle.
    ws = Ws(port)
    ws.recv_json("hello")
    ws.send('{"cmd": "settings", "id": 1}')
    ws.recv_json("reply")
    ws.close()
    # No event tells when the server has let go of them all: /proc is read
    # again until they settle, for as long as a loaded machine may need.
    now = counts(pid)
    deadline = time.monotonic() + 120
    while (now[0] > base[0] or now[1] > base[1]) and time.monotonic() < deadline:
        time.sleep(0.1)
        now = counts(pid)
    assert now[0] <= base[0] and now[1] <= base[1], f"descriptors, threads: before {base}, after {now}"
