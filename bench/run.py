#!/usr/bin/env python3
"""The benchmark table: KORVEN side by side with the bare DDEML server.

Runs the real KORVEN.exe with the simulation OPC server, and the bare server
(bench/bareserver) in its place, each read by the counting DDE client
(bench/counter), in a Wine session of its own (build/x86_64/bench-wine unless
KORVEN_WINE_DIR names another). Prints one Markdown table per figure: the
median of the runs with their minimum and maximum, and KORVEN's median over
the bare server's. Two sections compare KORVEN with itself instead: its two
data paths (the 1.0 stream and the 2.0 callbacks), and a healthy topic with
and without another topic's server hung (two simulation servers). Called by
bench/run.sh, which builds first.
"""
import argparse
import os
import queue
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
from perfprofile import Profiler  # noqa: E402  (bench/perfprofile.py)

COUNTER_EXE = os.path.join(BUILD_DIR, "bench", "counter.exe")
BARE_EXE = os.path.join(BUILD_DIR, "bench", "bareserver.exe")
PROGID = "Korven.OpcSim.1"
PROGID_2 = "Korven.OpcSim2.1"  # the second class, served by a process of its own
BARE_SERVICE = "KORVENBARE"
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
        for line in harness.queued_lines(self.lines, timeout):
            if line is None:
                self.err.seek(0)
                raise RuntimeError(f"ended before {prefix!r}; saw {self.seen[-5:]}; "
                                   f"stderr {self.err.read()[-500:]!r}")
            self.seen.append(line)
            if line.startswith("FAIL"):
                raise RuntimeError(f"{os.path.basename(self.proc.args[1])}: {line}")
            if line.startswith(prefix):
                return harness.fields(line)
        raise RuntimeError(f"no {prefix!r} within {timeout}s; saw {self.seen[-5:]}")

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def close(self, timeout=30):
        harness.end_process(self.proc, timeout)
        self.proc.stdout.close()
        self.err.close()


def wine_pids(name):
    """The Linux processes named `name` (their comm: Wine names a program's
    process after its file, at most 15 characters) in the bench prefix, oldest first."""
    prefix = os.path.join(WINE_DIR, "prefix").encode()
    want = name[:15]
    found = []
    for entry in sorted((e for e in os.listdir("/proc") if e.isdigit()), key=int):
        try:
            with open(f"/proc/{entry}/comm") as f:
                if f.read().strip() != want:
                    continue
            with open(f"/proc/{entry}/environ", "rb") as f:
                if b"WINEPREFIX=" + prefix + b"\0" in f.read():
                    found.append(int(entry))
        except OSError:
            continue
    return found


def wine_pid(name, timeout=20):
    """The oldest process named `name` in the bench prefix (see wine_pids)."""
    return harness.poll(lambda: next(iter(wine_pids(name)), None), timeout,
                        what=f"the process of {name}")


def machine_busy():
    """(busy, all) clock ticks of every core since boot, from /proc/stat."""
    with open("/proc/stat") as f:
        ticks = [int(v) for v in f.readline().split()[1:]]
    idle = ticks[3] + ticks[4]  # idle + iowait
    return sum(ticks) - idle, sum(ticks)


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
    """CPU time of some processes (a pid or a list of pids each) between
    start() and stop(), in % of one core; "machine": every core's busy time,
    in % of one core too (a 2-core machine has 200)."""

    def __init__(self, **pids):
        self.pids = {k: p if isinstance(p, list) else [p] for k, p in pids.items()}

    def _seconds(self, pids):
        return sum(cpu_seconds(p) for p in pids)

    def start(self):
        self.t0 = time.monotonic()
        self.m0 = machine_busy()
        self.c0 = {k: self._seconds(p) for k, p in self.pids.items()}

    def stop(self):
        wall = time.monotonic() - self.t0
        busy, every = (b - a for a, b in zip(self.m0, machine_busy()))
        out = {k: 100.0 * (self._seconds(p) - self.c0[k]) / wall for k, p in self.pids.items()}
        out["machine"] = 100.0 * os.cpu_count() * busy / max(every, 1)
        return out


# The two servers ----------------------------------------------------------------------------
def topic_names(count):
    return [f"B{t:02d}" for t in range(1, count + 1)]


def item_prefix(topic):
    """Each topic links items of its own names. Wine's DdePostAdvise matches
    links by the item name alone, in every topic: with one set of names for
    all topics, each post would reach the item's links in all of them."""
    return f"Bench.{topic}.C"


def scenario(topics, items, behaviour, rate=None):
    lines = ["[server]"]
    if rate:
        lines.append(f"revise = *:{rate}")
    lines.append("[items]")
    value = "0" if behaviour == "clock" else "1.5"
    for topic in topic_names(topics):
        lines += [f"{item_prefix(topic)}{i:05d} = VT_R8; {value}; {behaviour}"
                  for i in range(1, items + 1)]
    return "\n".join(lines) + "\n"


class KorvenServer:
    """KORVEN.exe with its topics on the simulation OPC server."""
    service = "KORVEN"
    label = "KORVEN"
    data_access = None  # the topics' DataAccess= (None: not set, the stream first)

    def __init__(self, topics, items, behaviour="clock", rate=None):
        self.sim = harness.Simulation(scenario(max(topics, 1), max(items, 1), behaviour, rate))
        self.sims = [self.sim]
        self.start(self.topic_lines(topics))

    def topic_lines(self, topics, progids=(PROGID,)):
        """One section per topic, the ProgIDs taken in turn."""
        extra = f"DataAccess={self.data_access}\n" if self.data_access else ""
        return "".join(f"[{t}]\nProgID={progids[i % len(progids)]}\n{extra}"
                       for i, t in enumerate(topic_names(topics)))

    def start(self, ini):
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
        for sim in self.sims:
            sim.close()


class StreamKorven(KorvenServer):
    """KORVEN taking the values through the 1.0 data-change stream only."""
    label = "stream"
    data_access = "1.0"


class CallbackKorven(KorvenServer):
    """KORVEN taking the values through the 2.0 data callbacks only."""
    label = "callbacks"
    data_access = "2.0"


class TwoServerKorven(KorvenServer):
    """KORVEN with two topics, each on a simulation server of its own (the
    simulation's two classes, two processes): B01 on the first, B02 on the second."""
    label = "two servers"

    def __init__(self, items, rate):
        text = scenario(2, items, "clock", rate)
        self.sim = harness.Simulation(text)
        self.sim2 = harness.Simulation(text, harness.Simulation.REG_KEY_2)
        self.sims = [self.sim, self.sim2]
        self.start(self.topic_lines(2, (PROGID, PROGID_2)))


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


def counter(server, topic, items, measure_ms, wait_ms, *words):
    """A counting client linking `items` items of the topic."""
    return Program(COUNTER_EXE, [server.service, item_prefix(topic), items, measure_ms, wait_ms, *words,
                                 topic])


# Figures ------------------------------------------------------------------------------------
def wineserver_pid():
    try:
        return wine_pid("wineserver64", timeout=1)
    except AssertionError:
        return None


def measure_round(clients, meters, opts, label):
    """One synchronised round of the counting clients (each has said READY):
    updates per second summed and per topic, latency over all their samples,
    CPU of the meters' processes."""
    cpu = CpuMeter(**meters, clients=wine_pids("counter.exe"))
    if opts.profile:
        opts.profile.start(meters["server"])
    for client in clients:
        client.send("GO")
    cpu.start()
    for client in clients:
        client.expect("MEASURE start", 30)
    for client in clients:
        client.expect("MEASURE end", opts.measure + 30)
    load = cpu.stop()
    if opts.profile:
        opts.profile.stop(label)
    per_topic, total, samples = [], 0.0, []
    for client in clients:
        per_topic.append(float(client.expect("TOPIC", 10)["per_s"]))
        total += float(client.expect("TOTAL", 10)["per_s"])
        client.expect("LATENCY", 10)
        line = client.lines.get(timeout=10)
        if line is None or not line.startswith("SAMPLES"):
            raise RuntimeError(f"counter: no SAMPLES line, saw {line!r}")
        samples += [float(v) for v in line.split()[1:]]
    samples.sort()
    return {
        "total": total,
        "topic": statistics.mean(per_topic),
        "topic_min": min(per_topic),
        "median": percentile(samples, 0.5),
        "p99": percentile(samples, 0.99),
        "max": samples[-1] if samples else float("nan"),
        "cpu": load["server"],
        "wineserver": load.get("wineserver", float("nan")),
        "clients": load["clients"],
        "machine": load["machine"],
        "loadavg": os.getloadavg()[0],
    }


def server_meters(server):
    meters = {"server": server.pid}
    ws = wineserver_pid()
    if ws:
        meters["wineserver"] = ws
    return meters


def rate_run(kind, topics, items, opts):
    """One counting client per topic, so that no client is the bottleneck: all
    link, then measure together (`sync`); their counts are summed and the
    latency is taken over the samples of all of them."""
    server = kind(topics, items, "clock", opts.rate)
    try:
        clients = []
        try:
            for name in topic_names(topics):
                clients.append(counter(server, name, items, int(opts.measure * 1000), 120000,
                                       "sync", "samples"))
            for client in clients:
                client.expect("LINKED", 180)
            for client in clients:
                client.expect("FIRST", 180)
                client.expect("READY", 30)
            return measure_round(clients, server_meters(server), opts,
                                 f"{kind.label} {topics}x{items}")
        finally:
            if opts.profile:
                opts.profile.cancel()
            for client in clients:
                client.close()
    finally:
        server.close()


def isolation_run(items, opts):
    """Two topics on two server processes, each linked by a client. The healthy
    topic B01 is counted twice in one run of the bridge: with both servers
    healthy, then while B02's server hangs in GetStatus (the bridge's status
    refresh of B02 waits in it for the whole round)."""
    server = TwoServerKorven(items, opts.rate)
    clients = []
    try:
        healthy = counter(server, "B01", items, int(opts.measure * 1000), 120000,
                          "sync", "samples", "rounds", 2)
        clients.append(healthy)
        clients.append(counter(server, "B02", items, 0, 120000, "hold"))
        for client in clients:
            client.expect("LINKED", 180)
            client.expect("FIRST", 180)
        healthy.expect("READY", 30)
        meters = server_meters(server)
        both = measure_round([healthy], meters, opts, f"isolation {items}, both healthy")
        healthy.expect("READY", 30)
        server.sim2.command("hang GetStatus")
        server.sim2.wait_call("Hang.Begin", timeout=10)
        hung = measure_round([healthy], meters, opts, f"isolation {items}, B02 hung")
        server.bridge.wait_err("異常：「B02」のサーバーが応答しません。(GetStatus)", timeout=20)
        server.sim2.command("unhang GetStatus")
        return {"both": both, "hung": hung}
    finally:
        if opts.profile:
            opts.profile.cancel()
        for client in clients:
            client.close()
        server.close()


def percentile(ordered, p):
    """The counter's own rule: the sample at round(p * (n - 1)); NaN without samples."""
    if not ordered:
        return float("nan")
    return ordered[min(len(ordered) - 1, int(p * (len(ordered) - 1) + 0.5))]


def idle_run(kind, topics, opts):
    server = kind(topics, 0)
    try:
        time.sleep(1.0)  # past the start's own work
        cpu = CpuMeter(server=server.pid)
        if opts.profile:
            opts.profile.start(server.pid)
        cpu.start()
        time.sleep(opts.idle)
        load = cpu.stop()
        if opts.profile:
            opts.profile.stop(f"{kind.label} idle, {topics} topics")
        return {"cpu": load["server"]}
    finally:
        if opts.profile:
            opts.profile.cancel()
        server.close()


def memory_run(kind, links, opts):
    server = kind(1, max(links, 1), "fixed")
    try:
        first = {}
        client = None
        if links:
            client = counter(server, topic_names(1)[0], links, 0, 300000, "hold")
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
        time.sleep(1.0)  # past the start's own work
        return {"startup": server.startup_s * 1000, "rss": rss_kib(server.pid) / 1024}
    finally:
        server.close()


def addpass_run(kind, links, opts):
    server = kind(1, links, "fixed")
    try:
        client = counter(server, topic_names(1)[0], links, 0, 120000)
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


def repeat(opts, fn, *args, kinds=(KorvenServer, BareServer)):
    """Runs fn(kind, ...) for each of the two kinds alternately, opts.runs times each."""
    got = {kind: [] for kind in kinds}
    for _ in range(opts.runs):
        for kind in kinds:
            got[kind].append(fn(kind, *args, opts))
    return got[kinds[0]], got[kinds[1]]


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
                         spread(column(k, "wineserver")), spread(column(b, "wineserver")),
                         spread(column(k, "clients")), spread(column(b, "clients")),
                         spread(column(k, "machine")), spread(column(b, "machine")),
                         spread(column(k, "loadavg"), 2), spread(column(b, "loadavg"), 2)])
    table(f"Delivered updates per second (items change every {opts.rate} ms; cap {POST_CAP} per topic)",
          ["topics x items", "changes/s per topic", "KORVEN total", "KORVEN per topic",
           "per topic / min(changes, cap)", "bare total", "bare per topic", "KORVEN / bare"], rows_rate)
    table("Latency, server's change to the client's receipt (ms)",
          ["topics x items", "KORVEN median", "KORVEN p99", "bare median", "bare p99",
           "KORVEN / bare (median)"], rows_lat)
    table("CPU while busy (% of one core; wineserver: shared by every Wine process; clients: the "
          f"counters together; machine: every process, of {100 * os.cpu_count()}; load: 1-minute "
          "load average at the end)",
          ["topics x items", "KORVEN", "bare", "wineserver (KORVEN run)", "wineserver (bare run)",
           "clients (KORVEN run)", "clients (bare run)", "machine (KORVEN run)", "machine (bare run)",
           "load (KORVEN run)", "load (bare run)"], rows_cpu)


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
                     ratio(column(k, "startup"), column(b, "startup")), spread(column(k, "rss")),
                     spread(column(b, "rss"))])
    table("Start-up (ms from the process start to \"スタートアップ完了\" / the bare server's READY) "
          "and resident memory 1 s later, nothing linked (MiB)",
          ["topics", "KORVEN", "bare", "KORVEN / bare", "KORVEN RSS", "bare RSS"], rows)


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


def bench_callbacks(opts):
    rows = []
    for topics, items in opts.callback_configs:
        st, cb = repeat(opts, rate_run, topics, items, kinds=(StreamKorven, CallbackKorven))
        rows.append([f"{topics}x{items}", f"{items * 1000.0 / opts.rate:.0f}",
                     spread(column(st, "topic")), spread(column(cb, "topic")),
                     spread(column(st, "median")), spread(column(cb, "median")),
                     spread(column(st, "p99")), spread(column(cb, "p99")),
                     spread(column(st, "cpu")), spread(column(cb, "cpu")),
                     ratio(column(cb, "cpu"), column(st, "cpu"))])
    table("The two data paths: KORVEN with DataAccess=1.0 (the data-change stream) and 2.0 (the "
          "data callbacks), same server and links (updates/s per topic; latency ms; CPU % of one "
          "core)",
          ["topics x items", "changes/s per topic", "stream updates/s", "callbacks updates/s",
           "stream median", "callbacks median", "stream p99", "callbacks p99", "stream CPU",
           "callbacks CPU", "CPU callbacks / stream"], rows)


def bench_isolation(opts):
    rows = []
    for items in opts.isolation_items:
        runs = [isolation_run(items, opts) for _ in range(opts.runs)]
        for key, label in (("both", "both servers healthy"), ("hung", "B02's server hung")):
            got = [r[key] for r in runs]
            rows.append([str(items), label, spread(column(got, "topic")),
                         spread(column(got, "median")), spread(column(got, "p99")),
                         spread(column(got, "max")), spread(column(got, "cpu"))])
    table("One server hung: the healthy topic B01 (its own server and client) in one run of the "
          "bridge, first with both servers healthy, then while B02's server hangs in GetStatus "
          "(updates/s; latency ms; KORVEN's CPU, % of one core)",
          ["items per topic", "", "B01 updates/s", "B01 median", "B01 p99", "B01 max", "CPU"],
          rows)


SECTIONS = {"throughput": bench_throughput, "idle": bench_idle, "memory": bench_memory,
            "startup": bench_startup, "addpass": bench_addpass, "callbacks": bench_callbacks,
            "isolation": bench_isolation}


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
    parser.add_argument("--profile", action="store_true",
                        help="record each server with perf while it is measured (throughput, idle) "
                        "and print its CPU by module and its own top functions (bench/perfprofile.py)")
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
    opts.callback_configs = [c for c in opts.configs if c != (10, 100)] or opts.configs
    opts.isolation_items = [10, 100]
    opts.profile = Profiler() if opts.profile else None
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
