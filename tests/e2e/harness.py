"""End-to-end harness: runs the real KORVEN.exe and the test peers under Wine.

Every program runs through scripts/wine-run.sh in the session that the CTest
fixture started (KORVEN_WINE_DIR). The bridge runs in a fresh working
directory with the KORVEN.ini a test gives; its standard output and standard
error are captured as bytes and decoded as cp932.
"""
import os
import queue
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

SOURCE_DIR = os.environ.get("KORVEN_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD_DIR = os.environ.get("KORVEN_BUILD_DIR", os.path.join(SOURCE_DIR, "build", "x86_64"))
WINE_RUN = os.path.join(SOURCE_DIR, "scripts", "wine-run.sh")
KORVEN_EXE = os.path.join(BUILD_DIR, "KORVEN.exe")
DDECLIENT_EXE = os.path.join(BUILD_DIR, "tools", "ddeclient", "ddeclient.exe")
WINDRIVER_EXE = os.path.join(BUILD_DIR, "tools", "windriver", "windriver.exe")
SIMULATION_EXE = os.path.join(BUILD_DIR, "tools", "opcsim", "opcsim.exe")
# The 32-bit programs of the i686 build beside this one; wine-run.sh starts
# them with Wine's 32-bit loader.
I686_DIR = os.path.join(os.path.dirname(BUILD_DIR), "i686")
KORVEN_X86_EXE = os.path.join(I686_DIR, "KORVEN.exe")
RPCSS_EXE = r"C:\windows\system32\rpcss.exe"

LOG_ENCODING = "cp932"
DEFAULT_TIMEOUT = 20.0

BANNER = "      ======== KORVEN OPC-DDE Bridge ========"
# Said once at every start under Wine, whose DDEML shares one reference of an
# item's name among all the links of a post.
WINE_DDEML = "情報：WineのDDEMLを検出。アドバイス通知の項目名アトムを各リンクに補います。"


def wine_env(lang=None):
    env = dict(os.environ)
    env.setdefault("KORVEN_WINE_DIR", os.path.join(BUILD_DIR, "wine"))
    if lang:
        env["KORVEN_WINE_LOCALE"] = lang
    return env


def wine32_state():
    """What the session start found of 32-bit programs, as it wrote it into
    the session folder: ("runs", None), ("skip", why they cannot run here) or
    ("fail", what went wrong in setting them up where they can run)."""
    path = os.path.join(wine_env()["KORVEN_WINE_DIR"], "wine32")
    try:
        with open(path, encoding="utf-8") as f:
            state = f.read().strip()
    except FileNotFoundError:
        return "fail", f"the Wine session has not said whether 32-bit programs run ({path} is missing)"
    if state == "runs":
        return "runs", None
    kind, _, reason = state.partition(": ")
    return ("skip", reason) if kind == "skip" else ("fail", reason or state)


def poll(predicate, timeout=DEFAULT_TIMEOUT, interval=0.05, what="condition"):
    """Calls predicate until it gives a true value or the deadline passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def run_tool(exe, args, timeout=DEFAULT_TIMEOUT, lang=None, input_bytes=None):
    """Runs a Windows tool to completion; returns (exit code, stdout bytes, stderr bytes)."""
    proc = subprocess.run([WINE_RUN, exe, *args], input=input_bytes, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, env=wine_env(lang))
    return proc.returncode, proc.stdout, proc.stderr


class Bridge:
    """One KORVEN.exe process in its own working directory."""

    def __init__(self, ini=None, lang=None, workdir=None, exe=KORVEN_EXE, output=None):
        self.dir = workdir or tempfile.mkdtemp(prefix="korven-")
        self._own_dir = workdir is None
        if ini is not None:
            data = ini.encode(LOG_ENCODING) if isinstance(ini, str) else ini
            with open(os.path.join(self.dir, "KORVEN.ini"), "wb") as f:
                f.write(data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"))
        self.out_path = os.path.join(self.dir, "stdout.bin")
        self.err_path = os.path.join(self.dir, "stderr.bin")
        self.lang = lang
        # `output`: a file descriptor that takes both streams instead of the files.
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([WINE_RUN, exe], cwd=self.dir, stdin=subprocess.DEVNULL,
                                         stdout=out if output is None else output,
                                         stderr=err if output is None else output,
                                         env=wine_env(lang), start_new_session=True)

    # Output -----------------------------------------------------------------
    def out_bytes(self):
        with open(self.out_path, "rb") as f:
            return f.read()

    def err_bytes(self):
        with open(self.err_path, "rb") as f:
            return f.read()

    def out_lines(self):
        return _lines(self.out_bytes())

    def err_lines(self):
        return _lines(self.err_bytes())

    def wait_out(self, line, timeout=DEFAULT_TIMEOUT):
        poll(lambda: line in self.out_lines() or self._died(), timeout, what=f"stdout line {line!r}")
        if line not in self.out_lines():
            raise AssertionError(f"bridge ended without {line!r}: {self.out_lines()} {self.err_lines()}")

    def wait_err(self, line, timeout=DEFAULT_TIMEOUT):
        poll(lambda: line in self.err_lines() or self._died(), timeout, what=f"stderr line {line!r}")
        if line not in self.err_lines():
            raise AssertionError(f"bridge ended without {line!r}: {self.out_lines()} {self.err_lines()}")

    def wait_started(self, timeout=DEFAULT_TIMEOUT):
        self.wait_out("情報：スタートアップ完了。", timeout)
        # The window exists once the loop runs; the driver can find it then.
        poll(lambda: self.window_found(), timeout, what="the status window")

    def _died(self):
        return self.proc.poll() is not None

    # Window -------------------------------------------------------------------
    def window(self, *args, timeout=DEFAULT_TIMEOUT):
        return run_tool(WINDRIVER_EXE, [*args], timeout=timeout, lang=self.lang)

    def window_found(self):
        code, _, _ = self.window("find")
        return code == 0

    def post_command(self, command_id):
        code, out, err = self.window("post-command", str(command_id))
        if code != 0:
            raise AssertionError(f"windriver post-command failed: {out!r} {err!r}")

    # Life ---------------------------------------------------------------------
    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("the bridge did not end")

    def exit_via_menu(self, timeout=DEFAULT_TIMEOUT):
        self.post_command(40007)
        return self.wait_exit(timeout)

    def kill(self):
        kill_process(self.proc)

    def close(self):
        self.kill()
        if self._own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)


def _lines(data):
    text = data.decode(LOG_ENCODING)
    return [line[:-1] if line.endswith("\r") else line for line in text.split("\n")[:-1]]


class BridgeTestCase(unittest.TestCase):
    """Starts bridges for a test and makes sure none outlives it."""

    scenario = None  # the simulation server's scenario for every test of the class
    simulation_key = None  # the registry key naming its folder (None: the 64-bit server's)

    def setUp(self):
        self._bridges = []
        self._clients = []
        self.sim = Simulation(self.scenario, self.simulation_key or Simulation.REG_KEY)

    def tearDown(self):
        for client in self._clients:
            client.close()
        for bridge in self._bridges:
            bridge.close()
        self.sim.close()

    def dde_client(self, lang=None):
        client = DdeClient(lang=lang)
        self._clients.append(client)
        return client

    def connected_client(self, topic, *items, lang=None):
        """A DDE client connected to KORVEN|topic, with a hot link on each item."""
        client = self.dde_client(lang=lang)
        line = client.call("connect", "KORVEN", topic)
        self.assertIn(b"CONNECT OK", line)
        for item in items:
            client.call("advise", item)
        return client

    def failed_start(self, ini, lang=None):
        """A bridge whose start-up fails: it must end with exit code 1."""
        bridge = self.start_bridge(ini, lang=lang, wait=False)
        self.assertEqual(bridge.wait_exit(), 1)
        return bridge

    def start_bridge(self, ini=None, lang=None, wait=True, workdir=None, exe=KORVEN_EXE,
                     output=None):
        bridge = Bridge(ini, lang=lang, workdir=workdir, exe=exe, output=output)
        self._bridges.append(bridge)
        if wait:
            bridge.wait_started()
        return bridge


def fields(line):
    """The key=value fields of a tool's output line, as a dict."""
    out = {}
    for token in line.split(" "):
        key, sep, value = token.partition("=")
        if sep:
            out[key] = value
    return out


def run_windriver(*args, timeout=DEFAULT_TIMEOUT):
    """Runs the window driver; returns (exit code, output lines)."""
    code, out, _ = run_tool(WINDRIVER_EXE, [str(a) for a in args], timeout=timeout)
    return code, out.decode("utf-8", "replace").splitlines()


class DdeClient:
    """The DDE client tool in interactive mode: one command per line on its
    standard input, one event per line on its standard output."""

    def __init__(self, lang=None):
        self.stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([WINE_RUN, DDECLIENT_EXE, "-"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.stderr,
                                     env=wine_env(lang), start_new_session=True)
        self.lines = queue.Queue()
        self.seen = []

        # (time of arrival, line) of every line, for tests that time updates.
        self.arrivals = []

        def read():
            for raw in self.proc.stdout:
                line = raw.rstrip(b"\r\n")
                self.arrivals.append((time.monotonic(), line))
                self.lines.put(line)
            self.lines.put(None)

        threading.Thread(target=read, daemon=True).start()

    def send(self, *tokens):
        line = " ".join(_quote(t) for t in tokens)
        self.proc.stdin.write(line.encode("utf-8") + b"\n")
        self.proc.stdin.flush()

    def expect(self, prefix, timeout=DEFAULT_TIMEOUT):
        """The next output line that starts with prefix (bytes or str); earlier
        lines are kept in `seen`."""
        want = prefix.encode("utf-8") if isinstance(prefix, str) else prefix
        for line in queued_lines(self.lines, timeout):
            if line is None:
                self.stderr.seek(0)
                raise AssertionError(f"DDE client ended ({self.proc.poll()}) before {prefix!r}; "
                                     f"saw {self.seen[-10:]}; stderr {self.stderr.read()[-2000:]!r}")
            self.seen.append(line)
            if line.startswith(want):
                return line
        raise AssertionError(f"no {prefix!r} from the DDE client; saw {self.seen[-10:]}")

    def call(self, *tokens, timeout=DEFAULT_TIMEOUT):
        """Sends one command and returns its result line (OK or FAIL)."""
        self.send(*tokens)
        word = tokens[0].upper().encode()
        while True:
            line = self.expect(word + b" ", timeout)
            if line.startswith(word + b" OK") or line.startswith(word + b" FAIL"):
                return line

    def sync(self, timeout=DEFAULT_TIMEOUT):
        """Waits until every command sent so far has run."""
        marker = f"sync{time.monotonic_ns()}"
        self.send("echo", marker)
        self.expect(b"ECHO text=" + marker.encode(), timeout)

    def close(self):
        end_process(self.proc, 10)
        self.proc.stdout.close()
        self.stderr.close()


def queued_lines(lines, timeout):
    """The lines a reader thread puts into the queue, as they come, until
    timeout has passed (None in the queue: the output has ended)."""
    deadline = time.monotonic() + timeout
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return
        try:
            yield lines.get(timeout=remaining)
        except queue.Empty:
            pass


def end_process(proc, timeout):
    """Ends a program that stops at the end of its standard input: closes the
    input and waits; its process group is killed when it has not ended by
    then. Returns its exit code (None when killed)."""
    if proc.poll() is not None:
        return proc.returncode
    try:
        proc.stdin.close()
    except OSError:
        pass
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        kill_process(proc)
        return None


def kill_process(proc):
    """Kills a program started in a process group of its own, with the group."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait(10)


def _quote(token):
    token = str(token)
    if token and not any(c in token for c in ' "\\\t'):
        return token
    return '"' + token.replace("\\", "\\\\").replace('"', '\\"') + '"'


def data_bytes(line):
    """The bytes a REQUEST or DATA line reports (its hex field)."""
    return bytes.fromhex(fields(line.decode("utf-8", "replace"))["hex"])


class Simulation:
    """The simulation OPC server's folder for one test: scenario, journal and
    control commands. COM starts the server; it finds the folder through the
    registry value the test sets before the bridge starts."""

    REG_KEY = r"HKCU\Software\Korven\OpcSim"
    REG_KEY_2 = r"HKCU\Software\Korven\OpcSim2"  # the second class's (Korven.OpcSim2.1)
    REG_KEY_32 = r"HKCU\Software\Korven\OpcSim32"  # the 32-bit server's

    def __init__(self, scenario=None, reg_key=REG_KEY):
        self.dir = tempfile.mkdtemp(prefix="korven-sim-")
        if scenario is not None:
            with open(os.path.join(self.dir, "scenario.txt"), "w", encoding="utf-8") as f:
                f.write(scenario)
        self._commands = 0
        self._killed = 0
        win = "Z:" + self.dir.replace("/", "\\")
        wine(["reg", "add", reg_key, "/v", "Folder", "/d", win, "/f"])

    def journal(self):
        try:
            with open(os.path.join(self.dir, "journal.log"), "rb") as f:
                return f.read().decode("utf-8").splitlines()
        except FileNotFoundError:
            return []

    def calls(self, name):
        """The journal lines of one call, e.g. "IOPCItemMgt.AddItems"."""
        return [line for line in self.journal() if line.split(" ")[2:3] == [name]]

    def wait_call(self, name, count=1, timeout=DEFAULT_TIMEOUT):
        return poll(lambda: len(self.calls(name)) >= count and self.calls(name), timeout,
                    what=f"{count} × {name} in the simulation journal")

    def command(self, *lines, timeout=DEFAULT_TIMEOUT):
        """Runs control commands and waits until the server has journaled them."""
        self._commands += 1
        tmp = os.path.join(self.dir, f"{self._commands:05d}.tmp")
        with open(tmp, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        before = len([l for l in self.journal() if " Control." in l])
        os.rename(tmp, os.path.join(self.dir, f"{self._commands:05d}.cmd"))
        poll(lambda: len([l for l in self.journal() if " Control." in l]) >= before + len(lines),
             timeout, what=f"control commands {lines}")

    def kill(self, timeout=DEFAULT_TIMEOUT):
        """Ends this build's simulation server with SIGKILL, as a crash would,
        and makes the next activation start a fresh server.

        Wine's RPCSS keeps the class object a local server registered until the
        server revokes it and never notices the process die: every later
        activation would get the dead one and fail with 0x800706BA. Stopping
        the service drops that table; the next COM call starts it again.
        Connections to live servers survive, but a live server's registration
        goes too, so its class is served by a new process from then on."""
        pids = _processes_of(SIMULATION_EXE)
        if not pids:
            raise AssertionError("no simulation server of this build is running")
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self._killed += len(pids)
        poll(lambda: not _processes_of(SIMULATION_EXE), timeout, what="the simulation server to die")
        rpcss = _processes_of(RPCSS_EXE)
        wine(["net", "stop", "rpcss"], timeout)
        # A start that met the old process still ending would fail.
        poll(lambda: not set(rpcss) & set(_processes_of(RPCSS_EXE)), timeout, what="RPCSS to end")

    def running(self):
        starts = len(self.calls("Server.Start"))
        exits = len(self.calls("Server.Exit"))
        return starts > exits + self._killed

    def close(self):
        # A server left running would serve the next test from this folder;
        # one that does not take the exit command (hung in a call) would hold
        # every later activation of its class, so it is killed.
        if self.running():
            try:
                self.command("exit", timeout=5)
                poll(lambda: not self.running(), 10, what="the simulation server to exit")
            except AssertionError:
                try:
                    self.kill()
                except AssertionError:
                    pass  # none left: another folder's close ended it
        shutil.rmtree(self.dir, ignore_errors=True)


def prefix_processes(prefix):
    """(Unix id, program as started) of every process of a Wine prefix."""
    prefix = os.path.realpath(prefix)
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                program = f.read().split(b"\0")[0].decode("utf-8", "replace")
            with open(f"/proc/{pid}/environ", "rb") as f:
                environment = f.read().split(b"\0")
        except OSError:
            continue
        if any(v.startswith(b"WINEPREFIX=") and os.path.realpath(v[11:].decode()) == prefix
               for v in environment):
            found.append((int(pid), program))
    return found


def _processes_of(exe):
    """Unix ids of this session's Wine processes running exe: by its Windows
    path, as Wine starts it (any letter case), or by its Unix path, as a
    shell does."""
    windows = ("Z:" + exe.replace("/", "\\") if exe.startswith("/") else exe).lower()
    prefix = os.path.join(wine_env()["KORVEN_WINE_DIR"], "prefix")
    return [pid for pid, program in prefix_processes(prefix)
            if program == exe or program.lower() == windows]


def wine(args, timeout=DEFAULT_TIMEOUT):
    """Runs one of Wine's own programs (reg, ...) in the session's prefix."""
    env = wine_env()
    env["WINEPREFIX"] = os.path.join(env["KORVEN_WINE_DIR"], "prefix")
    env["WINEDEBUG"] = "-all"
    done = subprocess.run(["/usr/lib/wine/wine64", *args], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout, env=env)
    if done.returncode != 0:
        raise AssertionError(f"wine {' '.join(args)}: exit code {done.returncode}: "
                             f"{done.stdout.decode('utf-8', 'replace').strip()[-500:]!r}")
    return done


def expect_value(client, item, text, timeout=DEFAULT_TIMEOUT):
    """Waits for an advise update of item whose bytes are text (cp932) and NUL,
    or, for a compiled pattern, whose text the pattern matches whole; an
    update that arrived earlier counts too."""
    def is_wanted(data):
        if isinstance(text, re.Pattern):
            return (data.endswith(b"\0") and
                    text.fullmatch(data[:-1].decode("cp932", "replace")) is not None)
        return data == text.encode("cp932") + b"\0"

    def matches(line):
        if not line.startswith(b"DATA "):
            return False
        f = fields(line.decode("utf-8", "replace"))
        return f.get("item") == item and is_wanted(bytes.fromhex(f["hex"]))

    for line in client.seen:
        if matches(line):
            return line
    deadline = time.monotonic() + timeout
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise AssertionError(f"no update {text!r} for {item}; saw {client.seen[-8:]}")
        line = client.expect(b"DATA ", remaining)
        if matches(line):
            return line
