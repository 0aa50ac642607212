"""ddeclient.exe against a real DDEML server (ddepeer.exe), both under Wine.

Checks the output grammar, the exit codes, hot and warm advise as they arrive,
wildcard connects, non-ASCII and 255-character item names, and the order of the
transactions the server sees.
"""
import os
import re
import subprocess
import tempfile
import threading
import time
import unittest
import uuid

from harness import poll

SOURCE_DIR = os.environ.get(
    "KORVEN_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD_DIR = os.environ.get("KORVEN_BUILD_DIR", os.path.join(SOURCE_DIR, "build", "x86_64"))
WINE_RUN = os.path.join(SOURCE_DIR, "scripts", "wine-run.sh")
DDECLIENT = os.path.join(BUILD_DIR, "tools", "ddeclient", "ddeclient.exe")
WINDRIVER = os.path.join(BUILD_DIR, "tools", "windriver", "windriver.exe")
DDEPEER = os.path.join(BUILD_DIR, "tests", "peers", "ddepeer", "ddepeer.exe")
TIMEOUT = 30.0
JAPANESE = {"LANG": "ja_JP.UTF-8", "LC_ALL": "ja_JP.UTF-8"}  # ANSI code page 932

# One output line: WORD [STATUS] key=value... ; "text=" takes the rest of the line,
# a DDEML error is "dmlerr=0xHHHH NAME".
LINE = re.compile(r"^[A-Z]+( (OK|FAIL))?( |$)")


def env(extra=None):
    e = dict(os.environ)
    e.setdefault("KORVEN_WINE_DIR", os.path.join(BUILD_DIR, "wine"))
    e.update(extra or {})
    return e


def parse(line):
    """Splits an output line into (word, status, fields)."""
    head, _, rest = line.partition(" text=")
    tokens = head.split(" ")
    word, status, fields = tokens[0], None, {}
    if len(tokens) > 1 and tokens[1] in ("OK", "FAIL"):
        status = tokens[1]
        tokens = tokens[2:]
    else:
        tokens = tokens[1:]
    for i, token in enumerate(tokens):
        if "=" in token:
            key, _, value = token.partition("=")
            fields[key] = value
        elif i > 0 and tokens[i - 1].startswith("dmlerr="):
            fields["dmlname"] = token
    if _ or line.endswith(" text="):
        fields["text"] = rest
    return word, status, fields


def unescape(value):
    out, i = bytearray(), 0
    raw = value.encode("utf-8")
    while i < len(raw):
        if raw[i:i + 1] == b"\\":
            c = raw[i + 1:i + 2]
            if c == b"x":
                out.append(int(raw[i + 2:i + 4], 16))
                i += 4
                continue
            out += {b"\\": b"\\", b"r": b"\r", b"n": b"\n", b"t": b"\t"}[c]
            i += 2
            continue
        out.append(raw[i])
        i += 1
    return out.decode("utf-8")


class Program:
    """A Wine program with a pipe on standard input and its output in a file."""

    def __init__(self, exe, args, extra_env=None):
        self.out = tempfile.NamedTemporaryFile(prefix="ddeclient-", delete=False)
        self.proc = subprocess.Popen([WINE_RUN, exe, *args], stdin=subprocess.PIPE,
                                     stdout=self.out, stderr=subprocess.STDOUT,
                                     env=env(extra_env), start_new_session=True)

    def lines(self):
        with open(self.out.name, "rb") as f:
            data = f.read()
        return [l[:-1] if l.endswith("\r") else l for l in data.decode("utf-8").split("\n")[:-1]]

    def send(self, text):
        self.proc.stdin.write((text + "\n").encode("utf-8"))
        self.proc.stdin.flush()

    def wait_line(self, predicate, what):
        return poll(lambda: next((l for l in self.lines() if predicate(l)), None), TIMEOUT,
                    what=what)

    def end_input(self):
        self.proc.stdin.close()

    def wait(self):
        return self.proc.wait(TIMEOUT)

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, 9)
            except ProcessLookupError:
                pass
            self.proc.wait(10)
        if not self.proc.stdin.closed:
            self.proc.stdin.close()
        self.out.close()
        os.unlink(self.out.name)


class DdeClientTest(unittest.TestCase):
    def setUp(self):
        self.programs = []
        self.service = "PEER" + uuid.uuid4().hex[:8].upper()

    def tearDown(self):
        for program in self.programs:
            program.kill()

    def start(self, exe, args, extra_env=None):
        program = Program(exe, args, extra_env)
        self.programs.append(program)
        return program

    def start_peer(self, *topics, extra_env=None):
        peer = self.start(DDEPEER, [self.service, *topics], extra_env)
        peer.wait_line(lambda l: l == "READY", "the peer to register")
        return peer

    def run_client(self, args, input_lines=None, extra_env=None):
        """Runs ddeclient to its end; gives (exit code, output lines)."""
        client = self.start(DDECLIENT, args, extra_env)
        for line in input_lines or []:
            client.send(line)
        client.end_input()
        code = client.wait()
        return code, client.lines()

    def only(self, lines, word, status=None):
        found = [parse(l) for l in lines if l.split(" ")[0] == word]
        found = [f for f in found if status is None or f[1] == status]
        self.assertEqual(len(found), 1, lines)
        return found[0][2]

    # -- grammar, exit codes ------------------------------------------------
    def test_every_line_follows_the_grammar_and_exit_is_last(self):
        self.start_peer("T1")
        code, lines = self.run_client([self.service, "T1", "request", "a", "echo", "x y\\z"])
        self.assertEqual(code, 0, lines)
        self.assertEqual(lines[-1], "EXIT code=0")
        for line in lines:
            self.assertRegex(line, LINE)
        req = self.only(lines, "REQUEST", "OK")
        self.assertEqual(req, {"conv": "1", "item": "a", "itemhex": "61", "fmt": "1",
                               "bytes": "4", "hex": "61233000", "text": "a#0"})
        self.assertIn("ECHO text=x y\\\\z", lines)

    def test_usage_errors_exit_2_before_anything_runs(self):
        for args in ([], ["frobnicate"], ["request"], ["wait", "soon"], ["SERVICE"]):
            code, lines = self.run_client(args)
            self.assertEqual(code, 2, (args, lines))
            self.assertTrue(any(l.startswith("USAGE error=") for l in lines), lines)
            self.assertFalse(any(l.startswith("EXIT") for l in lines), lines)

    def test_failures_exit_1_and_name_the_dmlerr(self):
        self.start_peer("T1")
        code, lines = self.run_client(
            ["connect", self.service, "nope", "request", "a",
             "connect", self.service, "T1", "request", "missing", "advise", "a", "0x0004",
             "request", "a"])
        self.assertEqual(code, 1, lines)
        fail = self.only(lines, "CONNECT", "FAIL")
        self.assertEqual((fail["dmlerr"], fail["dmlname"]), ("0x400A", "DMLERR_NO_CONV_ESTABLISHED"))
        self.assertIn("REQUEST FAIL conv=0 reason=no-conversation", lines)
        self.assertIn("REQUEST FAIL conv=1 item=missing itemhex=6D697373696E67 fmt=1 "
                      "dmlerr=0x4009 DMLERR_NOTPROCESSED", lines)
        self.assertIn("ADVISE FAIL conv=1 item=a itemhex=61 mode=hot fmt=4 "
                      "dmlerr=0x4009 DMLERR_NOTPROCESSED", lines)
        # The conversation still works after the refusals.
        self.assertTrue(any(l.startswith("REQUEST OK conv=1 item=a ") for l in lines), lines)

    # -- transactions and the order the server sees ---------------------------
    def test_back_to_back_requests_in_formats_and_poke_execute(self):
        peer = self.start_peer("T1")
        code, lines = self.run_client(
            [self.service, "T1", "request", "a", "request", "b", "UNICODETEXT", "request", "c",
             "poke", "a", "hello", "execute", "run", "execute", "fail"])
        self.assertEqual(code, 1, lines)  # the refused poke and execute
        self.assertIn("REQUEST OK conv=1 item=b itemhex=62 fmt=13 bytes=8 hex=6200230030000000 "
                      "text=b#0", lines)
        self.assertIn("REQUEST OK conv=1 item=c itemhex=63 fmt=1 bytes=4 hex=63233000 text=c#0",
                      lines)
        self.assertIn("POKE OK conv=1 item=a itemhex=61 fmt=1 fack=0 result=0x0000", lines)
        self.assertIn("EXECUTE OK conv=1 fack=1 result=0x8000", lines)
        # Wine's client reports a refused execute as a failed transaction.
        self.assertIn("EXECUTE FAIL conv=1 dmlerr=0x4009 DMLERR_NOTPROCESSED", lines)
        seen = [l for l in peer.wait_line(lambda l: l == "DISCONNECT", "disconnect") and
                peer.lines() if l.split(" ")[0] in ("REQUEST", "POKE", "EXECUTE", "DISCONNECT")]
        self.assertEqual(seen, [
            "REQUEST item=a itemhex=61 fmt=1 answer=data",
            "REQUEST item=b itemhex=62 fmt=13 answer=data",
            "REQUEST item=c itemhex=63 fmt=1 answer=data",
            "POKE item=a itemhex=61 fmt=1 hex=68656C6C6F00 answer=refused",
            "EXECUTE text=run answer=yes",
            "EXECUTE text=fail answer=no",
            "DISCONNECT",
        ])

    def test_hot_and_warm_advise_print_updates_as_they_arrive(self):
        peer = self.start_peer("T1")
        client = self.start(DDECLIENT, ["-"])
        client.send(f"connect {self.service} T1")
        client.send("advise Temp")
        client.send("advise Level warm")
        client.send("echo linked")
        client.wait_line(lambda l: l == "ECHO text=linked", "both links")
        for n in (1, 2):
            peer.send("post Temp")
            client.wait_line(lambda l, n=n: l.startswith("DATA conv=1 item=Temp ")
                             and l.endswith(f"text=Temp#{n}"), f"hot update {n}")
        peer.send("post Level")
        client.wait_line(lambda l: l == "NOTIFY conv=1 item=Level itemhex=4C6576656C fmt=1",
                         "warm notice")
        client.send("unadvise Temp")
        client.send("echo unlinked")
        client.wait_line(lambda l: l == "ECHO text=unlinked", "the unadvise")
        peer.send("post Temp")
        peer.wait_line(lambda l: l.startswith("POSTED item=Temp ") and " n=3 " in l, "post 3")
        client.send("request Temp")
        client.wait_line(lambda l: l.startswith("REQUEST OK"), "the request")
        client.end_input()
        self.assertEqual(client.wait(), 0, client.lines())
        data = [l for l in client.lines() if l.startswith("DATA ")]
        self.assertEqual([parse(l)[2]["text"] for l in data], ["Temp#1", "Temp#2"])
        self.assertIn("DATA conv=1 item=Temp itemhex=54656D70 fmt=1 bytes=7 "
                      "hex=54656D70233100 text=Temp#1", data)

    def test_wait_zero_ends_at_end_of_input_and_keeps_pumping(self):
        peer = self.start_peer("T1")
        client = self.start(DDECLIENT, [self.service, "T1", "advise", "x", "stdin"])
        client.send("wait 0")
        client.wait_line(lambda l: l.startswith("ADVISE OK"), "the advise")
        peer.send("post x")
        client.wait_line(lambda l: l.startswith("DATA ") and l.endswith("text=x#1"),
                         "an update during wait 0")
        self.assertIsNone(client.proc.poll())
        client.end_input()
        self.assertEqual(client.wait(), 0)
        self.assertEqual(client.lines()[-2:], ["WAIT OK ms=0", "EXIT code=0"])

    def test_stdin_syntax_errors_are_reported_and_exit_2(self):
        self.start_peer("T1")
        code, lines = self.run_client(
            ["-"], [f"connect {self.service} T1", 'echo "unterminated', "bogus",
                    '# a comment', 'echo "two words"', "disconnect"])
        self.assertEqual(code, 2, lines)
        self.assertIn("SYNTAX FAIL line=2 error=unterminated quote", lines)
        self.assertIn("SYNTAX FAIL line=3 error=unknown command: bogus", lines)
        self.assertIn("ECHO text=two words", lines)
        self.assertIn("DISCONNECT OK conv=1", lines)

    # -- connections ------------------------------------------------------------
    def test_wildcards_several_conversations_and_use(self):
        self.start_peer("T1", "T2")
        code, lines = self.run_client(
            ["connect", "*", "T2", "connect", self.service, "*", "connectlist", self.service, "*",
             "use", "1", "request", "a", "use", "9"])
        self.assertEqual(code, 1, lines)  # "use 9"
        self.assertIn(f"CONNECT OK conv=1 service={self.service} topic=T2", lines)
        self.assertIn(f"CONNECT OK conv=2 service={self.service} topic=T1", lines)
        # Wine 8's DdeConnectList is a stub that offers nothing; on Windows each
        # offer is one OFFER line, numbered after the conversations before it.
        offers = [parse(l)[2] for l in lines if l.startswith("OFFER ")]
        self.assertEqual([o["conv"] for o in offers], [str(3 + i) for i in range(len(offers))])
        self.assertIn(f"CONNECTLIST OK count={len(offers)} service={self.service} topic=*", lines)
        self.assertIn("USE OK conv=1", lines)
        self.assertTrue(any(l.startswith("REQUEST OK conv=1 ") for l in lines), lines)
        self.assertIn("USE FAIL conv=9 reason=no-such-conversation", lines)

    def test_partner_going_away_is_printed(self):
        peer = self.start_peer("T1")
        client = self.start(DDECLIENT, [self.service, "T1", "-"])
        client.wait_line(lambda l: l.startswith("CONNECT OK"), "the connect")
        peer.send("quit")
        peer.wait_line(lambda l: l == "BYE", "the peer to end")
        self.assertEqual(peer.wait(), 0)
        client.send("request a")
        client.end_input()
        self.assertEqual(client.wait(), 1)
        lines = client.lines()
        self.assertEqual(lines[1:3], ["DISCONNECTED conv=1",
                                      "REQUEST FAIL conv=1 reason=no-conversation"])

    # -- names and bytes ---------------------------------------------------------
    def test_japanese_item_names_and_cp932_text(self):
        self.start_peer("T1", extra_env=JAPANESE)
        name = "ボイラー.温度 1"
        # Under an ungenerated ja_JP locale Wine mangles non-ASCII arguments:
        # names go through standard input (UTF-8).
        code, lines = self.run_client(["-"], [f"connect {self.service} T1",
                                              f'request "{name}"', f'advise "{name}"'],
                                      extra_env=JAPANESE)
        self.assertEqual(code, 0, lines)
        req = self.only(lines, "REQUEST", "OK")
        self.assertEqual(unescape(req["item"]), name)
        self.assertEqual(bytes.fromhex(req["itemhex"]).decode("utf-8"), name)
        self.assertEqual(bytes.fromhex(req["hex"]), (name + "#0").encode("cp932") + b"\0")
        self.assertEqual(req["text"], name + "#0")

    def test_item_names_of_255_characters_and_the_256th_refused(self):
        peer = self.start_peer("T1")
        longest = "温" * 254 + "X"
        code, lines = self.run_client(["-"], [f"connect {self.service} T1",
                                              f'request "{longest}"', f'request "{longest}Y"',
                                              f'request "{longest}"'],
                                      extra_env={"LANG": "C.UTF-8"})
        self.assertEqual(code, 1, lines)
        oks = [parse(l)[2] for l in lines if l.startswith("REQUEST OK")]
        self.assertEqual([unescape(o["item"]) for o in oks], [longest, longest])
        fail = self.only(lines, "REQUEST", "FAIL")
        self.assertEqual(fail["reason"], "item-name")
        self.assertEqual(bytes.fromhex(fail["itemhex"]).decode("utf-8"), longest + "Y")
        requests = [parse(l)[2] for l in peer.lines() if l.startswith("REQUEST ")]
        self.assertEqual([bytes.fromhex(r["itemhex"]).decode("utf-8") for r in requests],
                         [longest, longest])


class WinDriverTest(unittest.TestCase):
    def run_driver(self, args):
        proc = subprocess.run([WINE_RUN, WINDRIVER, *args], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=TIMEOUT, env=env())
        return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")

    def test_usage_and_missing_window(self):
        for args in ([], ["post-command"], ["wait-visible", "1"], ["text", "x"], ["--pid"]):
            code, _, err = self.run_driver(args)
            self.assertEqual(code, 2, args)
            self.assertIn("USAGE error=", err)
        title = "No such window " + uuid.uuid4().hex
        code, out, _ = self.run_driver(["--title", title, "find"])
        self.assertEqual(code, 1)
        self.assertEqual(out.strip(), f"FIND FAIL reason=not-found title={title.replace(' ', chr(92) + 'x20')}")
        started = time.monotonic()
        code, out, _ = self.run_driver(["--title", title, "wait-gone", "100", "wait-visible", "1", "200"])
        self.assertEqual(code, 1)
        self.assertEqual(out.splitlines(), ["WAIT-GONE OK", "WAIT-VISIBLE FAIL reason=timeout ms=200"])
        self.assertLess(time.monotonic() - started, TIMEOUT)


if __name__ == "__main__":
    unittest.main()
