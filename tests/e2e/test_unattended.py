"""Months unattended: an output that takes nothing (a pipe nobody reads, a
console held by a selection) holds back no DDE client, and every line still
arrives once it is read; start-up waits once for every topic's first
connection, however many servers do not answer."""
import fcntl
import os
import re
import threading
import time
import unittest

from harness import LOG_ENCODING, BridgeTestCase, Simulation, expect_value, poll

ITEMS = 2000
CLIENTS = 4
SCENARIO = ("[server]\nrevise = *:250\n[items]\nC = VT_I4; 1; counter\n" +
            "".join(f"N{i:04d} = VT_I4; {i}\n" for i in range(ITEMS)))
PIPE_BYTES = 4096  # the smallest a pipe can be: the link lines fill it many times over
LINK = re.compile(r"^情報：「Line1」アイテム「(N\d{4})」のリンク。\(\d+\)$")


def small_pipe():
    """A pipe whose writing end the bridge gets; (read end, write end)."""
    read, write = os.pipe()
    fcntl.fcntl(write, 1031, PIPE_BYTES)  # F_SETPIPE_SZ
    return read, write


class PipeReader:
    """Reads a pipe on a thread of its own once started: the lines so far."""

    def __init__(self, fd):
        self.fd = fd
        self.data = bytearray()

    def start(self):
        def read():
            while True:
                try:
                    chunk = os.read(self.fd, 65536)
                except OSError:
                    return
                if not chunk:
                    return
                self.data += chunk

        threading.Thread(target=read, daemon=True).start()

    def lines(self):
        text = bytes(self.data).decode(LOG_ENCODING, "replace")
        return [line.rstrip("\r") for line in text.split("\n")[:-1]]


class UnreadOutput(BridgeTestCase):
    scenario = SCENARIO

    def start_piped(self):
        read, write = small_pipe()
        self.addCleanup(os.close, read)
        bridge = self.start_bridge("[Line1]\n", wait=False, output=write)
        os.close(write)
        poll(bridge.window_found, 30, what="the status window")
        return bridge, read

    def test_links_are_served_while_the_log_waits_and_every_line_comes_later(self):
        bridge, read = self.start_piped()
        clients = []
        for c in range(CLIENTS):
            client = self.connected_client("Line1")
            for i in range(c, ITEMS, CLIENTS):
                client.send("advise", f"N{i:04d}")
            clients.append(client)
        for client in clients:
            client.sync(timeout=120)
            self.assertFalse([l for l in client.seen if l.startswith(b"ADVISE FAIL")])

        # The output has taken nothing for thousands of lines: another
        # conversation is served at once all the same.
        other = self.connected_client("Line1")
        started = time.monotonic()
        line = other.call("request", "N0007")
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertIn(b"REQUEST OK", line)
        other.call("advise", "C")
        expect_value(other, "C", re.compile(r"\d+"), timeout=20)
        expect_value(other, "C", re.compile(r"\d+"), timeout=20)
        self.assertTrue(bridge.proc.poll() is None)

        # Read at last: every link line, each client's in its order, none lost.
        reader = PipeReader(read)
        reader.start()
        links = lambda: [m.group(1) for m in map(LINK.match, reader.lines()) if m]
        poll(lambda: len(links()) >= ITEMS, 60, what=f"{ITEMS} link lines")
        got = links()
        self.assertEqual(sorted(got), [f"N{i:04d}" for i in range(ITEMS)])
        for c in range(CLIENTS):
            mine = [name for name in got if int(name[1:]) % CLIENTS == c]
            self.assertEqual(mine, sorted(mine))
        self.assertFalse([l for l in reader.lines() if "行を書けませんでした" in l])
        self.assertEqual(bridge.exit_via_menu(), 0)
        poll(lambda: reader.lines() and reader.lines()[-1] == "情報：終了。", 10,
             what="the last line")

    def test_exit_is_not_held_by_an_output_that_takes_nothing(self):
        bridge, _ = self.start_piped()
        client = self.connected_client("Line1")
        for i in range(300):  # about four times the pipe
            client.send("advise", f"N{i:04d}")
        client.sync(timeout=60)
        started = time.monotonic()
        self.assertEqual(bridge.exit_via_menu(timeout=20), 0)
        self.assertLess(time.monotonic() - started, 5.0)


HUNG = "[faults]\nhang = AddGroup\n[items]\nC = VT_I4; 1; counter\n"
FOUR_HUNG_AND_ONE = "".join(f"[Line{n}]\nProgID=Korven.OpcSim.1\nReconnect=5\n" for n in range(1, 5)) + \
    "[Line5]\nProgID=Korven.OpcSim2.1\n"


class StartWithHungServers(BridgeTestCase):
    scenario = HUNG

    def setUp(self):
        super().setUp()
        self.sim2 = Simulation("[server]\nrevise = *:250\n[items]\nC = VT_I4; 1; counter\n",
                               Simulation.REG_KEY_2)

    def tearDown(self):
        super().tearDown()
        self.sim2.close()

    def test_start_up_waits_once_for_every_topic(self):
        started = time.monotonic()
        bridge = self.start_bridge(FOUR_HUNG_AND_ONE, wait=False)
        bridge.wait_out("情報：スタートアップ完了。", timeout=90)
        self.assertLess(time.monotonic() - started, 90)
        # Each section's lines together, in section order.
        out = bridge.out_lines()
        settings = [i for i, line in enumerate(out) if "」の設定。" in line]
        self.assertEqual([out[i][4:9] for i in settings], [f"Line{n}" for n in range(1, 6)])
        for n in range(1, 5):
            at = settings[n - 1]
            self.assertEqual(out[at + 1], f"情報：「Line{n}」は5秒ごとに接続を試みます。")
        self.assertEqual(out[settings[4] + 1], "情報：「Line5」のインスタンス生成。")
        # Each of the four waited the whole minute, all four at once.
        self.assertEqual(sorted(l.split("」")[0] for l in bridge.err_lines()),
                         [f"異常：「Line{n}" for n in range(1, 5)])
        self.assertTrue(all(l.endswith("(-2147417825)") for l in bridge.err_lines()),
                        bridge.err_lines())
        client = self.connected_client("Line5", "C")
        expect_value(client, "C", re.compile(r"\d+"), timeout=10)
        self.assertEqual(bridge.exit_via_menu(timeout=20), 0)


if __name__ == "__main__":
    unittest.main()
