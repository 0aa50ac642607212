#!/usr/bin/env python3
"""Where a Windows program under Wine spends its CPU: perf samples by module,
and the program's own functions.

    bench/perfprofile.py --pid PID [--seconds 10] [--top 15]

Records the process with the software clock (perf record -e cpu-clock -F 999
-g; this machine has no hardware counters), then prints the share of samples
in each module: the program's own image, Wine's DLLs (ntdll, user32, combase,
rpcrt4, ...), the kernel. perf cannot read PE symbols, so the samples inside
the program's image and inside Wine's PE DLLs are mapped to functions here:
each image's load address comes from /proc/PID/maps, its preferred base, size
and symbols from the MinGW tools (objdump -p, nm -C). A sample counts as an
image's when its address lies in the loaded image, whatever name perf gives
the mapping (Wine may copy sections into anonymous memory). bench/run.py --profile uses the same class.
"""
import argparse
import bisect
import collections
import os
import signal
import subprocess
import sys
import tempfile
import time

OBJDUMP = "x86_64-w64-mingw32-objdump"
NM = "x86_64-w64-mingw32-nm"


def pe_modules(pid):
    """{path: load address} of every PE file (.exe, .dll) mapped into the
    process: its mapping at file offset 0 is where its headers, and so its
    image, begin."""
    found = {}
    with open(f"/proc/{pid}/maps") as f:
        for line in f:
            parts = line.split(maxsplit=5)
            if len(parts) < 6 or int(parts[2], 16) != 0:
                continue
            path = parts[5].strip()
            if path.lower().endswith((".exe", ".dll")) and path not in found:
                found[path] = int(parts[0].split("-")[0], 16)
    return found


def program_image(pid, modules):
    """The path of the .exe that Wine named the process after (its comm)."""
    with open(f"/proc/{pid}/comm") as f:
        comm = f.read().strip().lower()
    for path in modules:
        name = os.path.basename(path).lower()
        if name.endswith(".exe") and name[:15] == comm[:15]:
            return path
    raise RuntimeError(f"no .exe image of {comm} in /proc/{pid}/maps")


class Image:
    """A PE file's preferred base, size and sorted function symbols (Wine's
    own DLLs carry theirs too)."""

    def __init__(self, path, load_address):
        self.path = path
        self.name = os.path.basename(path)
        self.load = load_address
        header = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True).stdout
        fields = {}
        for line in header.splitlines():
            parts = line.split()
            if len(parts) >= 2 and parts[0] in ("ImageBase", "SizeOfImage"):
                fields[parts[0]] = int(parts[1], 16)
        self.base = fields.get("ImageBase", 0)
        self.size = fields.get("SizeOfImage", 0)
        symbols = []
        out = subprocess.run([NM, "-C", "--defined-only", path], capture_output=True, text=True).stdout
        for line in out.splitlines():
            parts = line.split(" ", 2)
            if len(parts) == 3 and parts[1] in "tTwW":
                symbols.append((int(parts[0], 16), parts[2]))
        symbols.sort()
        self.addresses = [a for a, _ in symbols]
        self.names = [n for _, n in symbols]

    def holds(self, ip):
        return self.load <= ip < self.load + self.size

    def function(self, ip):
        at = bisect.bisect_right(self.addresses, ip - self.load + self.base) - 1
        return self.names[at] if at >= 0 else "?"


def short_module(dso):
    name = os.path.basename(dso.strip("()"))
    return name or dso


class Profiler:
    """perf record of one process between start() and stop(); stop() prints
    the module shares and the image's top functions and returns them."""

    def __init__(self, out=sys.stdout, top=15):
        self.out = out
        self.top = top
        self.proc = None

    def start(self, pid):
        self.pid = pid
        modules = pe_modules(pid)
        self.images = sorted((Image(path, load) for path, load in modules.items()),
                             key=lambda image: image.load)
        self.starts = [image.load for image in self.images]
        self.image = next(i for i in self.images if i.path == program_image(pid, modules))
        self.data = tempfile.NamedTemporaryFile(prefix="korven-perf-", suffix=".data", delete=False).name
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(["perf", "record", "-e", "cpu-clock", "-F", "999", "-g", "-p",
                                      str(pid), "-o", self.data], stdout=self.log, stderr=self.log)
        self.started = time.monotonic()

    def stop(self, label):
        wall = time.monotonic() - self.started
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(60)
        self.proc = None
        try:
            return self.report(label, wall)
        finally:
            os.unlink(self.data)
            self.log.close()

    def cancel(self):
        """Ends a recording that stop() will not see (the run failed)."""
        if self.proc is not None:
            self.proc.send_signal(signal.SIGINT)
            self.proc.wait(60)
            self.proc = None
            os.unlink(self.data)
            self.log.close()

    def report(self, label, wall):
        script = subprocess.run(["perf", "script", "-i", self.data, "-F", "ip,dso", "-G"],
                                capture_output=True, text=True, errors="replace")
        modules = collections.Counter()
        functions = collections.Counter()  # of the program's image
        wine = collections.Counter()  # of every other PE module
        for line in script.stdout.splitlines():
            parts = line.split(None, 1)
            if not parts:
                continue
            try:
                ip = int(parts[0], 16)
            except ValueError:
                continue
            at = bisect.bisect_right(self.starts, ip) - 1
            image = self.images[at] if at >= 0 and self.images[at].holds(ip) else None
            if image is self.image:
                modules[image.name] += 1
                functions[image.function(ip)] += 1
            elif image is not None:
                modules[image.name] += 1
                wine[f"{image.name}!{image.function(ip)}"] += 1
            else:
                modules[short_module(parts[1] if len(parts) > 1 else "?")] += 1
        total = sum(modules.values())
        own = modules[self.image.name]
        print(f"\n### Profile: {label} ({total} samples in {wall:.1f} s = "
              f"{100.0 * total / 999 / wall:.1f}% of a core; {self.image.name} own code "
              f"{100.0 * own / max(total, 1):.1f}%)\n", file=self.out)
        print("| module | share of samples |\n|---|---|", file=self.out)
        for name, n in modules.most_common(12):
            print(f"| {name} | {100.0 * n / total:.1f}% |", file=self.out)
        if functions:
            print(f"\n| {self.image.name} function | share of all samples |\n|---|---|", file=self.out)
            for name, n in functions.most_common(self.top):
                print(f"| `{name[:90]}` | {100.0 * n / total:.2f}% |", file=self.out)
        if wine:
            print("\n| function of another PE module | share of all samples |\n|---|---|", file=self.out)
            for name, n in wine.most_common(self.top):
                print(f"| `{name[:90]}` | {100.0 * n / total:.2f}% |", file=self.out)
        self.out.flush()
        return {"samples": total, "own": own, "modules": dict(modules), "functions": dict(functions)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--pid", type=int, required=True, help="the Linux pid of the Wine process")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--top", type=int, default=15, help="how many of the image's functions")
    opts = parser.parse_args()
    profiler = Profiler(top=opts.top)
    profiler.start(opts.pid)
    time.sleep(opts.seconds)  # the recording's length, not a wait for a condition
    profiler.stop(f"pid {opts.pid}, {opts.seconds:g} s")


if __name__ == "__main__":
    main()
