#!/usr/bin/env python3
"""The benchmark table: KORVEN side by side with the bare DDEML server.

Runs the real KORVEN.exe with the simulation OPC server, and the bare server
(bench/bareserver) in its place, each read by the counting DDE client
(bench/counter), in a Wine session of its own (build/x86_64/bench-wine unless
KORVEN_WINE_DIR names another). Prints one Markdown table per figure: the
median of the runs with their minimum and maximum, and KORVEN's median over
the bare server's. Called by bench/run.sh, which builds first.
"""
import argparse
import os
import queue
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.path.abspath(os.environ.get("KORVEN_BUILD_DIR", os.path.join(ROOT, "build", "x86_64")))
os.environ["KORVEN_SOURCE_DIR"] = ROOT
os.environ["KORVEN_BUILD_DIR"] = BUILD_DIR
os.environ.setdefault("KORVEN_WINE_DIR", os.path.join(BUILD_DIR, "bench-wine"))
WINE_DIR = os.environ["KORVEN_WINE_DIR"]
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402  (the end-to-end tests' runner of the real programs)

COUNTER_EXE = os.path.join(BUILD_DIR, "bench", "counter.exe")
BARE_EXE = os.path.join(BUILD_DIR, "bench", "bareserver.exe")
PROGID = "Korven.OpcSim.1"
BARE_SERVICE = "KORVENBARE"
ITEM_PREFIX = "Bench.C"
STARTED = "情報：スタートアップ完了。"
CLOCK_TICK = os.sysconf("SC_CLK_TCK")
POST_CAP = 500  # posts per topic per second: five per 10 ms tick


# Processes ----------------------------------------------------------------------------------
class Program:
    """A Windows program under Wine whose standard output is read line by line
    and whose standard input the driver closes to end it."""

    def __init__(self, exe, args):
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([harness.WINE_RUN, exe, *[str(a) for a in args]],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err,
                                     env=harness.wine_env(), start_new_session=True)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("utf-8", "replace").rstrip("\r\n"))
        self.lines.put(None)

    def expect(self, prefix, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError(f"no {prefix!r} within {timeout}s; saw {self.seen[-5:]}")
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                self.err.seek(0)
                raise RuntimeError(f"ended before {prefix!r}; saw {self.seen[-5:]}; "
                                   f"stderr {self.err.read()[-500:]!r}")
            self.seen.append(line)
            if line.startswith("FAIL"):
                raise RuntimeError(f"{os.path.basename(self.proc.args[1])}: {line}")
            if line.startswith(prefix):
                return harness.fields(line)

    def close(self, timeout=30):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(10)
        self.proc.stdout.close()
        self.err.close()


def wine_pid(name, timeout=20):
    """The Linux process named `name` (its comm: Wine names a program's process
    after its file, at most 15 characters) in the bench prefix; the oldest one."""
    prefix = os.path.join(WINE_DIR, "prefix").encode()
    want = name[:15]

    def find():
        for entry in sorted((e for e in os.listdir("/proc") if e.isdigit()), key=int):
            try:
                with open(f"/proc/{entry}/comm") as f:
                    if f.read().strip() != want:
                        continue
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if b"WINEPREFIX=" + prefix + b"\0" in f.read():
                        return int(entry)
            except OSError:
                continue
        return None

    return harness.poll(find, timeout, what=f"the process of {name}")


def cpu_seconds(pid):
    """utime + stime of every thread of the process; NaN once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            rest = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return float("nan")
    return (int(rest[11]) + int(rest[12])) / CLOCK_TICK


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class CpuMeter:
    """CPU time of some processes between start() and stop(), in % of one core."""

    def __init__(self, **pids):
        self.pids = pids

    def start(self):
        self.t0 = time.monotonic()
        self.c0 = {k: cpu_seconds(p) for k, p in self.pids.items()}

    def stop(self):
        wall = time.monotonic() - self.t0
        return {k: 100.0 * (cpu_seconds(p) - self.c0[k]) / wall for k, p in self.pids.items()}


# The two servers ----------------------------------------------------------------------------
def topic_names(count):
    return [f"B{t:02d}" for t in range(1, count + 1)]


def scenario(items, behaviour, rate=None):
    lines = ["[server]"]
    if rate:
        lines.append(f"revise = *:{rate}")
    lines.append("[items]")
    value = "0" if behaviour == "clock" else "1.5"
    lines += [f"{ITEM_PREFIX}{i:05d} = VT_R8; {value}; {behaviour}" for i in range(1, items + 1)]
    return "\n".join(lines) + "\n"


class KorvenServer:
    """KORVEN.exe with its topics on the simulation OPC server."""
    service = "KORVEN"
    label = "KORVEN"

    def __init__(self, topics, items, behaviour="clock", rate=None):
        self.sim = harness.Simulation(scenario(max(items, 1), behaviour, rate))
        ini = "".join(f"[{t}]\nProgID={PROGID}\n" for t in topic_names(topics))
        self.started_at = time.monotonic()
        self.bridge = harness.Bridge(ini)
        self.bridge.wait_out(STARTED, 120)
        self.startup_s = time.monotonic() - self.started_at
        self.bridge.wait_started(60)
        self.pid = wine_pid("KORVEN.exe")

    def close(self):
        try:
            self.bridge.exit_via_menu(30)
        except AssertionError:
            pass
        self.bridge.close()
        self.sim.close()


class BareServer:
    """The bare DDEML server serving the same topics."""
    service = BARE_SERVICE
    label = "bare"

    def __init__(self, topics, items, behaviour="clock", rate=None):
        self.started_at = time.monotonic()
        self.program = Program(BARE_EXE, [BARE_SERVICE, rate or 3000, *topic_names(topics)])
        self.program.expect("READY", 60)
        self.startup_s = time.monotonic() - self.started_at
        self.pid = wine_pid("bareserver.exe")

    def close(self):
        self.program.close()


def counter(server, topics, items, measure_ms, wait_ms, hold=False):
    args = [server.service, ITEM_PREFIX, items, measure_ms, wait_ms]
    if hold:
        args.append("hold")
    return Program(COUNTER_EXE, args + topic_names(topics))


# Figures ------------------------------------------------------------------------------------
def wineserver_pid():
    try:
        return wine_pid("wineserver64", timeout=1)
    except AssertionError:
        return None


def rate_run(kind, topics, items, opts):
    server = kind(topics, items, "clock", opts.rate)
    try:
        meters = {"server": server.pid}
        ws = wineserver_pid()
        if ws:
            meters["wineserver"] = ws
        cpu = CpuMeter(**meters)
        client = counter(server, topics, items, int(opts.measure * 1000), 120000)
        try:
            client.expect("LINKED", 180)
            client.expect("FIRST", 180)
            client.expect("MEASURE start", 30)
            cpu.start()
            client.expect("MEASURE end", opts.measure + 30)
            load = cpu.stop()
            per_topic = [float(client.expect("TOPIC", 10)["per_s"]) for _ in range(topics)]
            total = client.expect("TOTAL", 10)
            latency = client.expect("LATENCY", 10)
            client.expect("EXIT", 30)
        finally:
            client.close()
        return {
            "total": float(total["per_s"]),
            "topic": statistics.mean(per_topic),
            "topic_min": min(per_topic),
            "median": float(latency["median_ms"]),
            "p99": float(latency["p99_ms"]),
            "cpu": load["server"],
            "wineserver": load.get("wineserver", float("nan")),
        }
    finally:
        server.close()


def idle_run(kind, topics, opts):
    server = kind(topics, 0)
    try:
        time.sleep(1.0)  # past the start's own work
        cpu = CpuMeter(server=server.pid)
        cpu.start()
        time.sleep(opts.idle)
        return {"cpu": cpu.stop()["server"]}
    finally:
        server.close()


def memory_run(kind, links, opts):
    server = kind(1, max(links, 1), "fixed")
    try:
        first = {}
        client = None
        if links:
            client = counter(server, 1, links, 0, 300000, hold=True)
            client.expect("LINKED", 300)
            first = client.expect("FIRST", 400)
            client.expect("HOLD", 30)
        time.sleep(1.0)  # let the last posts and acknowledgements pass
        rss = rss_kib(server.pid)
        if client:
            client.close()
        return {"rss": rss, "all_values": float(first.get("all_values_ms", "nan"))}
    finally:
        server.close()


def startup_run(kind, topics, opts):
    server = kind(topics, 0)
    try:
        return {"startup": server.startup_s * 1000}
    finally:
        server.close()


def addpass_run(kind, links, opts):
    server = kind(1, links, "fixed")
    try:
        client = counter(server, 1, links, 0, 120000)
        try:
            linked = client.expect("LINKED", 300)
            first = client.expect("FIRST", 300)
            client.expect("EXIT", 30)
        finally:
            client.close()
        out = {"link": float(linked["ms"]), "first": float(first["data_ms"]),
               "all": float(first["all_values_ms"])}
        if kind is KorvenServer:
            out["calls"] = len(server.sim.calls("IOPCItemMgt.AddItems"))
        return out
    finally:
        server.close()


# Table ---------------------------------------------------------------------------------------
def spread(values, digits=1):
    values = [v for v in values if v == v]
    if not values:
        return "n/a"
    f = f"{{:.{digits}f}}"
    med = f.format(statistics.median(values))
    if len(values) == 1:
        return med
    return f"{med} ({f.format(min(values))}–{f.format(max(values))})"


def ratio(a, b):
    a = [v for v in a if v == v]
    b = [v for v in b if v == v]
    if not a or not b or statistics.median(b) == 0:
        return "n/a"
    return f"{statistics.median(a) / statistics.median(b):.2f}"


def table(title, header, rows):
    print(f"\n### {title}\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(row) + " |")
    sys.stdout.flush()


def repeat(opts, fn, *args):
    """Runs fn(KorvenServer, ...) and fn(BareServer, ...) alternately, opts.runs times each."""
    got = {KorvenServer: [], BareServer: []}
    for _ in range(opts.runs):
        for kind in (KorvenServer, BareServer):
            got[kind].append(fn(kind, *args, opts))
    return [r for r in got[KorvenServer]], [r for r in got[BareServer]]


def column(results, key):
    return [r[key] for r in results]


def bench_throughput(opts):
    rows_rate, rows_lat, rows_cpu = [], [], []
    for topics, items in opts.configs:
        k, b = repeat(opts, rate_run, topics, items)
        offered = items * 1000.0 / opts.rate
        cap = min(offered, POST_CAP)
        name = f"{topics}x{items}"
        rows_rate.append([name, f"{offered:.0f}", spread(column(k, "total")), spread(column(k, "topic")),
                          f"{statistics.median(column(k, 'topic')) / cap:.2f}",
                          spread(column(b, "total")), spread(column(b, "topic")),
                          ratio(column(k, "total"), column(b, "total"))])
        rows_lat.append([name, spread(column(k, "median")), spread(column(k, "p99")),
                         spread(column(b, "median")), spread(column(b, "p99")),
                         ratio(column(k, "median"), column(b, "median"))])
        rows_cpu.append([name, spread(column(k, "cpu")), spread(column(b, "cpu")),
                         spread(column(k, "wineserver")), spread(column(b, "wineserver"))])
    table(f"Delivered updates per second (items change every {opts.rate} ms; cap {POST_CAP} per topic)",
          ["topics x items", "changes/s per topic", "KORVEN total", "KORVEN per topic",
           "per topic / min(changes, cap)", "bare total", "bare per topic", "KORVEN / bare"], rows_rate)
    table("Latency, server's change to the client's receipt (ms)",
          ["topics x items", "KORVEN median", "KORVEN p99", "bare median", "bare p99",
           "KORVEN / bare (median)"], rows_lat)
    table("CPU while busy (% of one core; wineserver: shared by every Wine process)",
          ["topics x items", "KORVEN", "bare", "wineserver (KORVEN run)", "wineserver (bare run)"],
          rows_cpu)


def bench_idle(opts):
    k, b = repeat(opts, idle_run, 10)
    table("CPU idle, 10 topics, nothing linked (% of one core)",
          ["KORVEN", "bare", "KORVEN / bare"],
          [[spread(column(k, "cpu"), 2), spread(column(b, "cpu"), 2),
            ratio(column(k, "cpu"), column(b, "cpu"))]])


def bench_memory(opts):
    rows = []
    base = {}
    for links in opts.memory:
        k, b = repeat(opts, memory_run, links)
        kr, br = column(k, "rss"), column(b, "rss")
        if links == 0:
            base = {"k": statistics.median(kr), "b": statistics.median(br)}
        per_k = per_b = "–"
        if links and base:
            per_k = f"{(statistics.median(kr) - base['k']) * 1024 / links:.0f}"
            per_b = f"{(statistics.median(br) - base['b']) * 1024 / links:.0f}"
        rows.append([f"{links:,}", spread([v / 1024 for v in kr]), per_k, spread([v / 1024 for v in br]),
                     per_b, spread(column(k, "all_values"), 0), spread(column(b, "all_values"), 0)])
    table("Resident memory (MiB) with linked items; bytes per linked item over 0 links",
          ["linked items", "KORVEN RSS", "KORVEN B/item", "bare RSS", "bare B/item",
           "KORVEN ms to every value", "bare ms to every value"], rows)


def bench_startup(opts):
    rows = []
    for topics in (1, 10):
        k, b = repeat(opts, startup_run, topics)
        rows.append([str(topics), spread(column(k, "startup"), 0), spread(column(b, "startup"), 0),
                     ratio(column(k, "startup"), column(b, "startup"))])
    table("Start-up (ms from the process start to \"スタートアップ完了\" / the bare server's READY)",
          ["topics", "KORVEN", "bare", "KORVEN / bare"], rows)


def bench_addpass(opts):
    rows = []
    for links in (1, opts.addpass):
        k, b = repeat(opts, addpass_run, links)
        rows.append([f"{links:,}", spread(column(k, "link"), 0), spread(column(k, "first"), 0),
                     spread(column(k, "all"), 0), spread(column(k, "calls"), 0),
                     spread(column(b, "link"), 0), spread(column(b, "first"), 0),
                     spread(column(b, "all"), 0)])
    table("Add pass: links made at once (ms; first/all: after the last link; KORVEN waits 200 ticks, "
          "then one AddItems)",
          ["links", "KORVEN linking", "KORVEN first update", "KORVEN every value", "AddItems calls",
           "bare linking", "bare first update", "bare every value"], rows)


SECTIONS = {"throughput": bench_throughput, "idle": bench_idle, "memory": bench_memory,
            "startup": bench_startup, "addpass": bench_addpass}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="a short validation: one run, 3 s per configuration, up to 1,000 links")
    parser.add_argument("--runs", type=int, help="runs per figure (default 3; --quick: 1)")
    parser.add_argument("--measure", type=float, help="seconds of counting per configuration (default 10)")
    parser.add_argument("--rate", type=int, default=50,
                        help="the update rate the simulation server grants, ms (default 50)")
    parser.add_argument("--configs", help="topics x items of the throughput runs, e.g. 1x100,10x10 "
                        "(default 1x10,1x100,10x10,10x100)")
    parser.add_argument("--only", action="append", choices=sorted(SECTIONS),
                        help="run only this section (repeatable)")
    opts = parser.parse_args()
    opts.runs = opts.runs or (1 if opts.quick else 3)
    opts.measure = opts.measure or (3.0 if opts.quick else 10.0)
    opts.idle = 3.0 if opts.quick else 10.0
    configs = opts.configs or "1x10,1x100,10x10,10x100"
    opts.configs = [tuple(int(n) for n in c.split("x")) for c in configs.split(",")]
    opts.memory = [0, 100, 1000] if opts.quick else [0, 100, 1000, 10000]
    opts.addpass = 1000
    for exe in (harness.KORVEN_EXE, COUNTER_EXE, BARE_EXE):
        if not os.path.exists(exe):
            sys.exit(f"bench: {exe} is not built")

    session = os.path.join(ROOT, "scripts", "wine-session.sh")
    env = dict(os.environ)
    own = subprocess.run([session, "status"], env=env, stdout=subprocess.DEVNULL).returncode != 0
    if own:
        subprocess.run([session, "start"], env=env, check=True)
    try:
        print(f"# KORVEN benchmarks ({time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} cores, "
              f"load {os.getloadavg()[0]:.2f}; runs {opts.runs}, {opts.measure:g} s each; "
              f"median (min–max))")
        for name in (opts.only or SECTIONS):
            SECTIONS[name](opts)
    finally:
        if own:
            subprocess.run([session, "stop"], env=env)


if __name__ == "__main__":
    main()
