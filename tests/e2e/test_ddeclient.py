"""The test tools' own contract, where the bridge's tests do not reach it: the
client tool's output grammar and exit codes, a partner that goes away, and the
window driver's usage errors. Everything else the tools do is driven by the
bridge's end-to-end tests."""
import os
import queue
import re
import signal
import subprocess
import threading
import unittest
import uuid

from harness import (BUILD_DIR, DDECLIENT_EXE, WINDRIVER_EXE, WINE_RUN, BridgeTestCase, DdeClient,
                     fields, poll, run_tool, wine_env)

BARESERVER_EXE = os.path.join(BUILD_DIR, "bench", "bareserver.exe")

# One output line: WORD [STATUS] key=value... ; "text=" takes the rest of the line.
LINE = re.compile(r"^[A-Z]+( (OK|FAIL))?( |$)")


class DdeClientTool(BridgeTestCase):
    def run_client(self, *args, input_bytes=None):
        code, out, _ = run_tool(DDECLIENT_EXE, [str(a) for a in args], input_bytes=input_bytes)
        return code, [l.rstrip("\r") for l in out.decode("utf-8").split("\n") if l]

    def test_grammar_exit_codes_and_a_partner_that_goes_away(self):
        self.start_bridge("[Line1]\n")
        code, lines = self.run_client("KORVEN", "Line1", "request", "A", "echo", "x y\\z")
        self.assertEqual(code, 0, lines)
        self.assertEqual(lines[-1], "EXIT code=0")
        for line in lines:
            self.assertRegex(line, LINE)
        self.assertIn("REQUEST OK conv=1 item=A itemhex=41 fmt=1 bytes=9 hex=234E4F5448494E4700 "
                      "text=#NOTHING", lines)
        self.assertIn("ECHO text=x y\\\\z", lines)

        # Failures: exit 1, the DDEML error named; usage errors: exit 2, nothing run.
        code, lines = self.run_client("connect", "KORVEN", "Nope", "request", "A")
        self.assertEqual(code, 1, lines)
        self.assertIn("CONNECT FAIL service=KORVEN topic=Nope dmlerr=0x400A "
                      "DMLERR_NO_CONV_ESTABLISHED", lines)
        self.assertIn("REQUEST FAIL conv=0 reason=no-conversation", lines)
        for args in ([], ["frobnicate"], ["request"], ["wait", "soon"], ["SERVICE"]):
            code, lines = self.run_client(*args)
            self.assertEqual(code, 2, (args, lines))
            self.assertFalse(any(l.startswith("EXIT") for l in lines), lines)

        # The bridge ends while the client is connected: the tool says so.
        client = self.dde_client()
        client.call("connect", "KORVEN", "Line1")
        self.assertEqual(self._bridges[0].exit_via_menu(), 0)
        client.send("request", "A")
        self.assertEqual(client.expect(b"DISCONNECTED"), b"DISCONNECTED conv=1")


class AdviseWhileUpdating(unittest.TestCase):
    """Under Wine an update of one link that arrives while an advise start of
    the same conversation waits used to end the wait: the start failed, or the
    acknowledgement it left behind made a later start succeed without a link,
    whose item then got no updates. The peer is the bare DDEML server of the
    benchmarks, posting 500 updates a second."""

    def setUp(self):
        self.server = subprocess.Popen([WINE_RUN, BARESERVER_EXE, "TOOLBARE", "10", "T"],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, env=wine_env(),
                                       start_new_session=True)
        self.addCleanup(self.stop_server)
        lines = queue.Queue()
        threading.Thread(target=lambda: lines.put(self.server.stdout.readline()),
                         daemon=True).start()
        self.assertTrue(lines.get(timeout=30).startswith(b"READY"))

    def stop_server(self):
        self.server.stdin.close()
        try:
            self.server.wait(20)
        except subprocess.TimeoutExpired:
            os.killpg(self.server.pid, signal.SIGKILL)
            self.server.wait(10)
        self.server.stdout.close()

    def test_every_advise_start_holds_and_gets_updates(self):
        client = DdeClient()
        self.addCleanup(client.close)
        self.assertIn(b"CONNECT OK", client.call("connect", "TOOLBARE", "T"))
        for i in range(100):
            self.assertIn(b"ADVISE OK", client.call("advise", f"B{i:03d}"))
        client.expect(b"DATA ", timeout=30)
        new = [f"C{i:02d}" for i in range(60)]
        answers = [client.call("advise", item) for item in new]
        self.assertEqual([a for a in answers if not a.startswith(b"ADVISE OK")], [])

        def updated():
            client.sync()
            got = {fields(l.decode())["item"] for l in client.seen if l.startswith(b"DATA ")}
            return [item for item in new if item not in got] == []

        poll(updated, 30, interval=0.2, what="an update on every new link")


class WinDriverTool(unittest.TestCase):
    def test_usage_and_missing_window(self):
        for args in ([], ["post-command"], ["wait-visible", "1"], ["text", "x"], ["--pid"]):
            code, _, err = run_tool(WINDRIVER_EXE, args)
            self.assertEqual(code, 2, args)
            self.assertIn(b"USAGE error=", err)
        title = "No such window " + uuid.uuid4().hex
        code, out, _ = run_tool(WINDRIVER_EXE, ["--title", title, "find"])
        self.assertEqual(code, 1)
        self.assertEqual(out.decode().strip(),
                         f"FIND FAIL reason=not-found title={title.replace(' ', chr(92) + 'x20')}")
        code, out, _ = run_tool(WINDRIVER_EXE,
                                ["--title", title, "wait-gone", "100", "wait-visible", "1", "200"])
        self.assertEqual(code, 1)
        self.assertEqual(out.decode().splitlines(),
                         ["WAIT-GONE OK", "WAIT-VISIBLE FAIL reason=timeout ms=200"])


if __name__ == "__main__":
    unittest.main()
