"""Starts the real executable for black-box tests: the native build, or the Windows build
under wine when SKIFFBOX_WINE is set. Everything talks to 127.0.0.1 only."""

import http.client
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

EXE = os.environ.get("SKIFFBOX_EXE", "")
WINE = os.environ.get("SKIFFBOX_WINE", "")
UNDER_WINE = bool(WINE)
# Set in the sanitizer builds, where every request costs several times more: tests keep their
# cases but may use smaller sizes and counts.
SANITIZER = bool(os.environ.get("SKIFFBOX_SANITIZER"))
START_TIMEOUT = 90 if UNDER_WINE else 20


def host_path(path):
    """A path as the executable sees it: wine maps the Unix root to drive Z:."""
    if not UNDER_WINE:
        return path
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def command(args, exe=None):
    exe = exe or EXE
    return ([WINE, exe] if UNDER_WINE else [exe]) + list(args)


def free_port():
    """A port no one listens on now, with the 19 above it free as well when possible. Chosen
    below the kernel's range for outgoing connections (32768 and up), so that client sockets
    of other tests cannot take the ports the server falls back to."""
    port = 0
    for _ in range(200):
        port = random.randrange(20000, 32700)
        if all(_port_free(p) for p in range(port, port + 20)):
            return port
    return port


def _port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def run_exe(args, timeout=60, cwd=None, exe=None):
    """Runs the executable to its end; returns (exit code, stdout text)."""
    proc = subprocess.run(command(args, exe), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          stdin=subprocess.DEVNULL, timeout=timeout, cwd=cwd)
    return proc.returncode, proc.stdout.decode("utf-8", "replace")


def copy_exe(folder):
    """Copies the executable into folder (for tests of the inbox beside it); returns its path."""
    target = os.path.join(folder, os.path.basename(EXE))
    shutil.copy2(EXE, target)
    return target


class Server:
    """Context manager: the server on a free port with a temporary inbox and --no-open."""

    def __init__(self, extra_args=(), port=None, inbox=None, exe=None, use_inbox_arg=True,
                 capture_stderr=False, env=None):
        self._own_tmp = tempfile.mkdtemp(prefix="skf-test-")
        # Standard error goes to a file when asked (sanitizer reports), else nowhere.
        self.stderr_path = os.path.join(self._own_tmp, "stderr.txt") if capture_stderr else None
        # Extra environment variables for the server process (None: the test's own).
        self.env = dict(os.environ, **env) if env else None
        self.inbox = inbox or os.path.join(self._own_tmp, "inbox")
        self.port = port or free_port()
        self.exe = exe
        args = ["--no-open", "-p", str(self.port)]
        if use_inbox_arg:
            args += ["--inbox", host_path(self.inbox)]
        self.args = args + list(extra_args)
        self.proc = None
        self._out = bytearray()
        self._lock = threading.Lock()
        # Cleared while the test wants the console's pipe left unread (pause_output).
        self._reading = threading.Event()
        self._reading.set()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.kill()
        shutil.rmtree(self._own_tmp, ignore_errors=True)

    def start(self):
        err = open(self.stderr_path, "ab") if self.stderr_path else subprocess.DEVNULL
        try:
            self.proc = subprocess.Popen(command(self.args, self.exe), stdout=subprocess.PIPE,
                                         stderr=err, stdin=subprocess.DEVNULL,
                                         start_new_session=True, env=self.env)
        finally:
            if self.stderr_path:
                err.close()
        self._reader = threading.Thread(target=self._read_output, daemon=True)
        self._reader.start()
        deadline = time.time() + START_TIMEOUT
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("server ended at start: %r\n%s" % (self.proc.returncode, self.output()))
            if self.bound_port():
                return
            time.sleep(0.05)
        raise RuntimeError("server did not start listening:\n" + self.output())

    def bound_port(self):
        """The port the banner names once the banner is out, else None."""
        out = self.output()
        marker = "本机打开 :  http://127.0.0.1:"
        if marker in out:
            # With an access code the address goes on with its login token ("/?k=...").
            rest = out.split(marker, 1)[1].split("\n")[0]
            digits = rest[:len(rest) - len(rest.lstrip("0123456789"))]
            if digits and "\n" in out.split(marker, 1)[1]:
                self.port = int(digits)
                return self.port
        return None

    def _read_output(self):
        while True:
            self._reading.wait()
            chunk = self.proc.stdout.read1(65536) if hasattr(self.proc.stdout, "read1") else self.proc.stdout.read(1)
            if not chunk:
                return
            with self._lock:
                self._out += chunk

    def pause_output(self):
        """Stops reading the server's standard output (after the chunk being read), as a
        console whose window holds a selection stops taking text."""
        self._reading.clear()

    def resume_output(self):
        self._reading.set()

    def output(self):
        """Everything the server wrote to standard output so far, as text."""
        with self._lock:
            return bytes(self._out).decode("utf-8", "replace")

    def stderr(self):
        """Everything the server wrote to standard error so far (capture_stderr=True), as text."""
        if not self.stderr_path or not os.path.exists(self.stderr_path):
            return ""
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def output_bytes(self):
        with self._lock:
            return bytes(self._out)

    def wait_output(self, text, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.output():
                return True
            time.sleep(0.05)
        return False

    def interrupt(self, timeout=30):
        """Sends Ctrl+C (SIGINT) and returns the exit code."""
        self.proc.send_signal(signal.SIGINT)
        code = self.proc.wait(timeout=timeout)
        self._reader.join(timeout=10)
        return code

    def restart(self):
        """Kills the server (SIGKILL, as a power cut would stop it) and starts it again on the
        same inbox; the output starts afresh."""
        self.kill()
        self._reader.join(timeout=10)
        self.proc.stdout.close()
        with self._lock:
            self._out.clear()
        self.start()

    def kill(self):
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except OSError:
                self.proc.kill()
            self.proc.wait(timeout=30)

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def request(self, method, path, headers=None, body=None, timeout=60):
        """One HTTP request; returns (status, headers as a dict with lower-case names, body)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            data = resp.read()
            return resp.status, {k.lower(): v for k, v in resp.getheaders()}, data
        finally:
            conn.close()

    def connect(self, timeout=30):
        return socket.create_connection(("127.0.0.1", self.port), timeout=timeout)

    def raw(self, data, timeout=30):
        """Sends raw bytes, then reads until the server closes; returns what it sent."""
        with self.connect(timeout) as s:
            if data:
                s.sendall(data)
            chunks = []
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    chunks.append(chunk)
            except (ConnectionResetError, socket.timeout):
                pass
            return b"".join(chunks)


class OneServerTest(unittest.TestCase):
    """The tests of a class share one server (self.server), started before the first of them
    and stopped after the last."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server()
        cls.server.__enter__()
        cls.addClassCleanup(cls.server.__exit__, None, None, None)
