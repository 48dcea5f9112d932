"""Shared pieces of the benchmarks: our server and nginx on loopback ports, interleaved rounds
and the side-by-side report. Every request goes to 127.0.0.1.

The benchmarks compare figures; none of them passes or fails. A missed target is printed as
such and the run goes on."""

import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXE = os.environ.get("SKIFFBOX_EXE", os.path.join(ROOT, "build", "native", "skiffbox"))
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "5"))


def say(text):
    print(text, flush=True)


def temp_dir(tag):
    """A fresh folder under $TMPDIR (or /tmp) for one benchmark; the caller removes it."""
    return tempfile.mkdtemp(prefix="skf-bench-%s-" % tag)


def free_port():
    """A loopback port nobody listens on now, with room above it for our server's fallback."""
    for _ in range(50):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port < 65000 and all(_port_free(p) for p in range(port, port + 20)):
            return port
    return port


def _port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def wait_listening(port, proc, what, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("%s ended at start (exit %s)" % (what, proc.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("%s did not start listening on %d" % (what, port))


class Skiffbox:
    """Our server (native build) on a loopback-reachable port with the given inbox."""

    def __init__(self, inbox):
        self.inbox = inbox
        self.port = free_port()
        self.proc = None

    def __enter__(self):
        os.makedirs(self.inbox, exist_ok=True)
        self.proc = subprocess.Popen(
            [EXE, "--no-open", "-p", str(self.port), "--inbox", self.inbox],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
            start_new_session=True)
        wait_listening(self.port, self.proc, "skiffbox")
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)


class Nginx:
    """nginx on a loopback port with its own prefix and configuration in a temporary folder;
    `server` is the text inside the server block. Never the system's service or config."""

    def __init__(self, server, workers="auto"):
        self.server = server
        self.workers = workers
        self.port = free_port()
        self.prefix = None
        self.proc = None

    def __enter__(self):
        self.prefix = temp_dir("nginx")
        for sub in ("logs", "tmp"):
            os.makedirs(os.path.join(self.prefix, sub))
        # A master started as root hands the work to "nobody", who may not read the files.
        user = "user root root;\n" if os.geteuid() == 0 else ""
        conf = textwrap.dedent("""\
            {user}worker_processes {workers};
            daemon off;
            pid {p}/nginx.pid;
            error_log {p}/logs/error.log;
            events {{ worker_connections 4096; }}
            http {{
                access_log off;
                client_body_temp_path {p}/tmp/body;
                proxy_temp_path {p}/tmp/proxy;
                fastcgi_temp_path {p}/tmp/fastcgi;
                uwsgi_temp_path {p}/tmp/uwsgi;
                scgi_temp_path {p}/tmp/scgi;
                server {{
                    listen 127.0.0.1:{port};
            {server}
                }}
            }}
            """).format(user=user, workers=self.workers, p=self.prefix, port=self.port,
                        server=textwrap.indent(self.server.strip(), " " * 8))
        conf_path = os.path.join(self.prefix, "nginx.conf")
        with open(conf_path, "w") as f:
            f.write(conf)
        self.proc = subprocess.Popen([NGINX, "-p", self.prefix, "-c", conf_path],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            wait_listening(self.port, self.proc, "nginx")
        except RuntimeError:
            err = self.proc.stderr.read().decode("utf-8", "replace") if self.proc.poll() is not None else ""
            self._stop()
            raise RuntimeError("nginx did not start: " + err.strip())
        return self

    def __exit__(self, *exc):
        self._stop()

    def _stop(self):
        if self.proc and self.proc.poll() is None:
            # QUIT lets the master end its workers; the whole group is killed if it lingers.
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        if self.prefix:
            shutil.rmtree(self.prefix, ignore_errors=True)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)


def warm_cache(path):
    """Reads a file once so that every round serves it from the page cache."""
    with open(path, "rb") as f:
        while f.read(1 << 22):
            pass


def curl_time(url, extra=(), expect_bytes=None):
    """Seconds from the request to the last byte received, as curl measures it; the body goes
    to /dev/null. Raises when the transfer fails, the status is not 2xx or fewer bytes than
    expected arrived (a cut transfer would otherwise look fast)."""
    out = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w",
                          "%{http_code} %{time_total} %{size_download}", *extra, url],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    fields = out.stdout.decode().split()
    if (out.returncode != 0 or len(fields) != 3 or not fields[0].startswith("2")
            or (expect_bytes is not None and int(fields[2]) != expect_bytes)):
        raise RuntimeError("curl %s failed: %s %s" % (url, out.stdout.decode(),
                                                     out.stderr.decode().strip()))
    return float(fields[1])


def command_time(argv):
    """Wall seconds of one run of a command, its output to /dev/null."""
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def interleaved(contenders, rounds=ROUNDS, warmup=1):
    """Runs each (name, fn) once per round in turn (ours, peer, ours, peer ...) after `warmup`
    untimed rounds, so that machine noise hits every contender alike. Returns name -> values."""
    for _ in range(warmup):
        for _, fn in contenders:
            fn()
    results = {name: [] for name, _ in contenders}
    for _ in range(rounds):
        for name, fn in contenders:
            results[name].append(fn())
    return results


def summary(values):
    return min(values), statistics.median(values), max(values)


def report(title, unit, results, ours, peer, target, lower_is_better, fmt="%.3f"):
    """Prints min/median/max of every contender and the ratio of ours to the peer (on the
    medians, and on the minima), with the target and whether the median meets it.

    For times (lower_is_better) the ratio is ours/peer and the target is a ceiling; for rates
    it is ours/peer and the target is a floor."""
    say("")
    say("== %s ==" % title)
    width = max(len(n) for n in results)
    for name, values in results.items():
        lo, med, hi = summary(values)
        say("  %-*s  min %s  median %s  max %s %s  (%d runs)" % (
            width, name, fmt % lo, fmt % med, fmt % hi, unit, len(values)))
    o_min, o_med, _ = summary(results[ours])
    p_min, p_med, _ = summary(results[peer])
    best_o = o_min if lower_is_better else max(results[ours])
    best_p = p_min if lower_is_better else max(results[peer])
    ratio_med = o_med / p_med
    ratio_best = best_o / best_p
    met = ratio_med <= target if lower_is_better else ratio_med >= target
    say("  ratio %s/%s: median %.2f, best %.2f   target %s %.2f: %s" % (
        ours, peer, ratio_med, ratio_best, "<=" if lower_is_better else ">=", target,
        "met" if met else "MISSED"))
    return met


def require(tool):
    if not shutil.which(tool) and not os.path.exists(tool):
        sys.exit("missing %s: run scripts/deps bench" % tool)
