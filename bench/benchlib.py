"""Shared pieces of the benchmarks: our server and nginx on loopback ports, test files of
random bytes, interleaved rounds and the side-by-side report. Every request goes to 127.0.0.1.

The benchmarks compare figures; none of them passes or fails. A missed target is printed as
such and the run goes on.

A ratio taken on a busy machine measures the scheduler, not the server: figures once taken
at load average 15 to 24 on two cores showed downloads at 1.14 of nginx where a quiet machine
gave 0.70. So the report gives no verdict, only the figures, when
  - the 1-minute load average was above LOAD_LIMIT (1.0) when the benchmark started (taken
    before it makes its files, since its own work raises the figure, and after waiting up to
    SETTLE_SECONDS for the figure to fall: the benchmark run just before leaves its own load
    in the average for a minute or two), or
  - the peer's own rounds swing by more than SWING_LIMIT (0.25), as (max - min) / median: the
    peer does the same work every round, so a wide swing there is noise from elsewhere. Our
    rounds are not checked, since a swing there may be ours to fix.
"""

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
# Five rounds each at the least: with fewer the median is one or two lucky rounds.
MIN_ROUNDS = 5
ROUNDS = int(os.environ.get("BENCH_ROUNDS", str(MIN_ROUNDS)))
LOAD_LIMIT = 1.0
SWING_LIMIT = 0.25
SETTLE_SECONDS = 180
MIB = 1 << 20

_load_at_start = None  # set by begin(); a report without it gives no verdict


def say(text):
    print(text, flush=True)


def load_average():
    """The 1-minute load average, or None where the system does not tell."""
    try:
        return os.getloadavg()[0]
    except OSError:
        return None


def _settled_load():
    """The load average once it is at most LOAD_LIMIT, or as it stands after SETTLE_SECONDS."""
    waited = 0
    load = load_average()
    while load is not None and load > LOAD_LIMIT and waited < SETTLE_SECONDS:
        if waited == 0:
            say("load average %.2f: waiting up to %d s for it to settle" % (load, SETTLE_SECONDS))
        time.sleep(5)
        waited += 5
        load = load_average()
    return load


def _load_text(load):
    return "unknown" if load is None else "%.2f" % load


def begin(what):
    """Notes the load average before the benchmark does anything; call it first."""
    global _load_at_start
    _load_at_start = _settled_load()
    say("%s: load average %s at start (a verdict needs at most %.1f)" % (
        what, _load_text(_load_at_start), LOAD_LIMIT))


def round_count(requested=None):
    """The number of timed rounds: `requested` (default BENCH_ROUNDS), raised to MIN_ROUNDS."""
    n = ROUNDS if requested is None else requested
    if n < MIN_ROUNDS:
        say("(%d rounds asked for; running %d, the fewest that give a median worth reading)" % (
            n, MIN_ROUNDS))
        n = MIN_ROUNDS
    return n


def temp_dir(tag, where=None):
    """A fresh folder under `where` (default $TMPDIR or /tmp) for one benchmark; the caller
    removes it."""
    return tempfile.mkdtemp(prefix="skf-bench-%s-" % tag, dir=where)


def write_random(path, size):
    """A file of `size` random bytes: incompressible like photos and videos, and with every
    page really on disk and in the cache (a sparse file would let a server read holes)."""
    chunk = 16 * MIB
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(chunk, left)
            f.write(os.urandom(n))
            left -= n


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
    """Our server (native build, or `exe`) on a loopback-reachable port with the given inbox;
    `env` adds to or overrides its environment."""

    def __init__(self, inbox, exe=None, env=None):
        self.inbox = inbox
        self.exe = exe or EXE
        self.env = dict(os.environ, **env) if env else None
        self.port = free_port()
        self.proc = None

    def __enter__(self):
        os.makedirs(self.inbox, exist_ok=True)
        self.proc = subprocess.Popen(
            [self.exe, "--no-open", "-p", str(self.port), "--inbox", self.inbox],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            stdin=subprocess.DEVNULL, start_new_session=True)
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
    `server` is the text inside the server block. Never the system's service or config.
    `where` puts that folder (and so the request bodies nginx buffers) on a chosen file system."""

    def __init__(self, server, workers="auto", where=None):
        self.server = server
        self.workers = workers
        self.where = where
        self.port = free_port()
        self.prefix = None
        self.proc = None

    def __enter__(self):
        self.prefix = temp_dir("nginx", self.where)
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


def parse_size(text):
    """Bytes of a size written as 2G, 64M, 512K or a plain number."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper()
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def make_file(path, size):
    """A file of random bytes (kept from an earlier run if its size fits), read once so that
    every round sends it from the page cache."""
    if not os.path.exists(path) or os.path.getsize(path) != size:
        write_random(path, size)
    warm_cache(path)


def settle():
    """Writes out dirty pages so no round pays for the previous one's writeback."""
    os.sync()
    time.sleep(0.5)


def clear_folder(folder):
    """Removes everything in `folder` except hidden names (our server's state folder)."""
    for name in os.listdir(folder):
        if name.startswith("."):
            continue
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


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


def command_time(argv, cwd=None):
    """Wall seconds of one run of a command (in `cwd`), its output to /dev/null."""
    start = time.perf_counter()
    subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True)
    return time.perf_counter() - start


def interleaved(contenders, rounds=None, warmup=1):
    """Runs each (name, fn) once per round in turn (ours, peer, ours, peer ...) after `warmup`
    untimed rounds, so that machine noise hits every contender alike. `rounds` defaults to
    BENCH_ROUNDS and is never fewer than MIN_ROUNDS. Returns name -> values, round by round."""
    n = round_count(rounds)
    for _ in range(warmup):
        for _, fn in contenders:
            fn()
    results = {name: [] for name, _ in contenders}
    for _ in range(n):
        for name, fn in contenders:
            results[name].append(fn())
    return results


def summary(values):
    return min(values), statistics.median(values), max(values)


def swing(values):
    """(max - min) / median: how far apart the rounds of one contender lie."""
    lo, med, hi = summary(values)
    return (hi - lo) / med if med else float("inf")


def _no_verdict_reasons(peer, peer_values):
    reasons = []
    if _load_at_start is None:
        reasons.append("load average unknown at start")
    elif _load_at_start > LOAD_LIMIT:
        reasons.append("machine busy, load average %.2f at start (needs at most %.1f)" % (
            _load_at_start, LOAD_LIMIT))
    peer_swing = swing(peer_values)
    if peer_swing > SWING_LIMIT:
        reasons.append("%s's rounds swing %.0f%% (max-min over median; needs at most %.0f%%)" % (
            peer, 100 * peer_swing, 100 * SWING_LIMIT))
    return reasons


def report(title, unit, results, ours, peer, target, lower_is_better, fmt="%.3f"):
    """Prints min/median/max of every contender, the ratio ours/peer of each round and their
    median, and the verdict: the median ratio against the target, or why there is none.

    For times (lower_is_better) the target is a ceiling on the ratio; for rates a floor.
    Returns True (met), False (missed) or None (no verdict)."""
    say("")
    say("== %s ==" % title)
    width = max(len(n) for n in results)
    for name, values in results.items():
        lo, med, hi = summary(values)
        say("  %-*s  min %s  median %s  max %s %s  (%d rounds)" % (
            width, name, fmt % lo, fmt % med, fmt % hi, unit, len(values)))
    ratios = [o / p for o, p in zip(results[ours], results[peer])]
    ratio = statistics.median(ratios)
    say("  ratio by round, %s over %s: %s" % (ours, peer, " ".join("%.2f" % r for r in ratios)))
    reasons = _no_verdict_reasons(peer, results[peer])
    if reasons:
        met, verdict = None, "no verdict: " + "; ".join(reasons)
    else:
        met = ratio <= target if lower_is_better else ratio >= target
        verdict = "met" if met else "MISSED"
    say("  median ratio %.2f   target %s %.2f: %s" % (
        ratio, "<=" if lower_is_better else ">=", target, verdict))
    say("  load average %s at start, %s at the end" % (
        _load_text(_load_at_start), _load_text(load_average())))
    return met


def require(tool):
    if not shutil.which(tool) and not os.path.exists(tool):
        sys.exit("missing %s: run scripts/deps bench" % tool)
