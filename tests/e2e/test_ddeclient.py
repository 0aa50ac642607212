"""The test tools' own contract, where the bridge's tests do not reach it: the
client tool's output grammar and exit codes, a partner that goes away, the
client tool as the live viewer in a console window of its own (saved as a
screenshot), advise starts while updates arrive, and the window driver's usage
errors. Everything else the tools do is driven by the bridge's end-to-end
tests."""
import os
import queue
import re
import subprocess
import threading
import unittest
import uuid

from harness import (BUILD_DIR, DDECLIENT_EXE, WINDRIVER_EXE, WINE_RUN, BridgeTestCase, DdeClient,
                     end_process, fields, kill_process, poll, run_tool, run_windriver, wine, wine_env)
from screenshots import console_text_rows, png_size, save_window

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

        self.live_viewer_in_a_console()

        # The bridge ends while the client is connected: the tool says so.
        client = self.connected_client("Line1")
        self.assertEqual(self._bridges[0].exit_via_menu(), 0)
        client.send("request", "A")
        self.assertEqual(client.expect(b"DISCONNECTED"), b"DISCONNECTED conv=1")


    def live_viewer_in_a_console(self):
        """The tool as people use it, as the live viewer in a console window of
        its own: it shows the updates as they come and ends by itself after its
        wait. The view is saved as <build>/screenshots/live-viewer.png."""
        self._bridges[0].post_command(40011)  # Update Speed High: an update a second
        title = "Z:" + DDECLIENT_EXE.replace("/", "\\")
        # The console's settings for this program (a key named after its
        # title). Under code page 932 Wine's console draws every character
        # cell full-width, so the viewer runs in the default code page.
        key = "HKCU\\Console\\" + title.replace("\\", "_")
        for name, kind, value in (("FaceName", "REG_SZ", "DejaVu Sans Mono"),
                                  ("FontSize", "REG_DWORD", "0x000E0000"),
                                  ("WindowSize", "REG_DWORD", "0x001A00AA"),
                                  ("ScreenBufferSize", "REG_DWORD", "0x012C00AA")):
            wine(["reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f"])
        items = ["Demo.Counter", "Demo.Ramp", "Demo.Switch", "Demo.Date", "Demo.Money",
                 "No.Such.Item"]
        script = ["KORVEN", "Line1"] + [w for item in items for w in ("advise", item)]
        viewer = subprocess.Popen([WINE_RUN, "wineconsole", DDECLIENT_EXE, *script, "wait", "10000"],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, env=wine_env(), start_new_session=True)
        try:
            def window():
                code, lines = run_windriver("--title", title, "find")
                return code == 0 and tuple(int(v) for v in fields(lines[0])["rect"].split(","))

            rect = poll(window, 20, what="the live viewer's console window")
            # Connect, the advise lines, the first answers and two rounds of
            # values: the items' own values are on the screen.
            rows = 1 + 2 * len(items) + 2 * (len(items) - 1)
            poll(lambda: console_text_rows(rect) >= rows, 20, interval=0.5,
                 what=f"{rows} rows of text in the live viewer")
            path = save_window("live-viewer", rect)
            self.assertEqual(png_size(path), (rect[2] - rect[0], rect[3] - rect[1]))
            self.assertEqual(viewer.wait(30), 0)
        finally:
            kill_process(viewer)
        self.assertEqual(run_windriver("--title", title, "find")[0], 1)


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
        end_process(self.server, 20)
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
