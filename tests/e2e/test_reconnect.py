"""A topic set to reconnect (Reconnect=<seconds>): after its server shut
down it connects again at its interval, makes its group anew and the values
flow again to the same DDE links, also where another topic and a dead client
link the same item names; a server that refuses is tried again, and Exit
stays clean at any moment."""
import os
import signal
import time
import unittest

from harness import BridgeTestCase, Simulation, data_bytes, expect_value, fields, poll
from test_window import SERVER_HANDLE, STATE, wait_page

SCENARIO = "[server]\nrevise = *:250\n[items]\nA = VT_I4; 1; counter\nB = VT_I4; 7\n"


def next_value(client, item, predicate, timeout=20.0):
    """The next advise update of item, from now on, whose bytes satisfy predicate."""
    while True:
        line = client.expect(b"DATA ", timeout)
        if fields(line.decode()).get("item") == item and predicate(data_bytes(line)):
            return data_bytes(line)


def number(data):
    return int(data.rstrip(b"\0")) if data.rstrip(b"\0").isdigit() else None


class Reconnect(BridgeTestCase):
    scenario = SCENARIO

    def test_values_resume_for_the_same_links_after_a_shutdown(self):
        bridge = self.start_bridge("[Line1]\nReconnect=5\n")
        self.assertIn("情報：「Line1」の設定。 Node= ProgID=Velmora.Ctrl9.1 Reconnect=5",
                      bridge.out_lines())
        client = self.connected_client("Line1", "A")
        next_value(client, "A", lambda d: (number(d) or 0) >= 3)
        self.sim.command("shutdown maintenance")
        bridge.wait_out("情報：「Line1」シャットダウン。(maintenance)")
        wait_page(lambda p: p[STATE] == "UNKNOWN", "UNKNOWN during the outage")
        client.call("advise", "B")
        # The server ends once the bridge has let go of it; an interval later
        # the bridge has COM start it again, and the counter starts afresh.
        poll(lambda: self.sim.calls("Server.Exit"), what="the server to end")
        bridge.wait_out("情報：「Line1」再接続。", timeout=15)
        added = self.sim.wait_call("IOPCItemMgt.AddItems", 2)
        self.assertIn('id="A"', added[1])
        self.assertIn('id="B"', added[1])
        self.assertEqual(len(self.sim.calls("Server.Start")), 2)
        next_value(client, "A", lambda d: number(d) == 2)
        expect_value(client, "B", "7")
        # Nothing old is sent again as an update: each value of A comes once
        # (the counter runs up, then afresh from the new server), and the link
        # made during the outage gets its first value, no placeholder.
        received = {"A": [], "B": []}
        for line in client.seen:
            f = fields(line.decode()) if line.startswith(b"DATA ") else {}
            if f.get("item") in received:
                received[f["item"]].append(data_bytes(line))
        a = [number(d) for d in received["A"] if d != b"#EMPTY\0"]
        self.assertTrue(all(n is not None for n in a), received["A"])
        restart = next(i for i in range(1, len(a)) if a[i] < a[i - 1])
        self.assertEqual(a[:restart], sorted(set(a[:restart])), a)
        self.assertEqual(a[restart:], sorted(set(a[restart:])), a)
        self.assertEqual(received["B"], [b"7\0"])
        # The page shows the new server and group again.
        wait_page(lambda p: p[STATE] == "RUNNING" and p[SERVER_HANDLE] != "0x00000000",
                  "the new connection")
        self.assertEqual(bridge.err_lines(), [])
        self.assertEqual(bridge.exit_via_menu(), 0)

    def test_values_resume_after_the_server_was_killed(self):
        bridge = self.start_bridge("[Line1]\nReconnect=5\n")
        client = self.connected_client("Line1", "A")
        next_value(client, "A", lambda d: (number(d) or 0) >= 2)
        # Killed as a crash would; the harness also makes Wine forget the dead
        # server's class object, as Windows does by itself.
        self.sim.kill()
        poll(lambda: [l for l in bridge.err_lines() if "サーバーとの接続が切れました" in l],
             what="the lost server's line")
        bridge.wait_out("情報：「Line1」再接続。", timeout=15)
        next_value(client, "A", lambda d: number(d) == 2)
        self.assertEqual(bridge.exit_via_menu(), 0)

    def test_a_server_that_refuses_the_group_is_tried_again_and_exit_stays_clean(self):
        bridge = self.start_bridge("[Line1]\nReconnect=5\n")
        client = self.connected_client("Line1", "A")
        next_value(client, "A", lambda d: number(d) is not None)
        # From its next start the server's groups lack IOPCAsyncIO and offer
        # no 2.0 callbacks either: unusable.
        with open(os.path.join(self.sim.dir, "scenario.txt"), "a", encoding="utf-8") as f:
            f.write("[server]\ndataAccess = 1.0\n[faults]\nnoAsyncIO = true\n")
        self.sim.command("shutdown maintenance")
        bridge.wait_err("異常：「Line1」再接続に失敗。(-2147467262)", timeout=15)
        # The refused group left the server again, and the server ended.
        poll(lambda: len(self.sim.calls("IOPCServer.RemoveGroup")) >= 2, what="the group removed")
        poll(lambda: len(self.sim.calls("Server.Exit")) >= 2, what="the second server to end")
        self.assertNotEqual(data_bytes(client.call("request", "A")), b"#NOTHING\0")
        self.assertEqual(bridge.exit_via_menu(), 0)
        self.assertIn("情報：「Line1」の解放。", bridge.out_lines())


CYCLES = 3
SHARED = ("A", "B", "C")  # two counters and a constant, linked on both topics
LAST = 6  # the counters are followed up to this value
NEW_CONSTANTS = {f"K{i}": 100 + i for i in range(1, CYCLES + 1)}
SHARED_SCENARIO = ("[server]\nrevise = *:250\n[items]\nA = VT_I4; 1; counter\n"
                   "B = VT_I4; 1; counter\nC = VT_I4; 7\n" +
                   "".join(f"{k} = VT_I4; {v}\n" for k, v in NEW_CONSTANTS.items()))


def updates_since(client, since):
    """(item, bytes) of every advise update the client printed since then."""
    return [(fields(line.decode())["item"], data_bytes(line))
            for at, line in list(client.arrivals) if at >= since and line.startswith(b"DATA ")]


def from_first_value(values):
    """A counter's values from a new server's first one (2) on; the old
    server's last value, sent again to a new link's item, may come before."""
    return values[values.index(2):] if 2 in values else []


class SharedNamesAtReconnect(BridgeTestCase):
    """Line1 reconnects while Line2, whose server shut down, still has links
    on the same item names, and a client holding links on those names dies
    without a disconnect just then (its links stay in DDEML, in front of the
    first client's). Every living link gets the new server's first values and
    every counter value after them, whatever the dead link and the other
    topic's links do to the post of the same name."""

    scenario = SHARED_SCENARIO

    def setUp(self):
        super().setUp()
        self.sim2 = Simulation(SHARED_SCENARIO, Simulation.REG_KEY_2)

    def tearDown(self):
        super().tearDown()
        self.sim2.close()

    def test_every_link_gets_the_new_servers_first_values(self):
        bridge = self.start_bridge("[Line1]\nProgID=Korven.OpcSim.1\nReconnect=5\n"
                                   "[Line2]\nProgID=Korven.OpcSim2.1\n")
        first = self.connected_client("Line1", *SHARED)
        other = self.connected_client("Line2", *SHARED)
        for client in (first, other):
            poll(lambda: ("C", b"7\0") in updates_since(client, 0), what="a first value")
        self.sim2.command("shutdown maintenance")
        bridge.wait_out("情報：「Line2」シャットダウン。(maintenance)")
        poll(lambda: self.sim2.calls("Server.Exit"), what="the second server to end")

        losses = []
        for cycle, (constant, value) in enumerate(NEW_CONSTANTS.items(), 1):
            # A new link on C sends its value again to every link on C.
            linked_at = time.monotonic()
            doomed = self.connected_client("Line1", *SHARED)
            poll(lambda: ("C", b"7\0") in updates_since(doomed, 0) and
                 ("C", b"7\0") in updates_since(first, linked_at), what="C sent again")
            since = time.monotonic()
            self.sim.kill()
            # During the outage a new conversation links a constant no one
            # linked before and an item already linked.
            newcomer = self.connected_client("Line1", constant, "A")
            # The doomed client dies as the reconnection is said: the new
            # server's first block comes about a quarter second later.
            poll(lambda: bridge.out_lines().count("情報：「Line1」再接続。") >= cycle, timeout=20,
                 what="the reconnection")
            os.killpg(doomed.proc.pid, signal.SIGKILL)
            doomed.proc.wait(10)
            doomed.proc.stdin.close()

            def received(client, item):
                values = [int(d[:-1]) for i, d in updates_since(client, since) if i == item]
                return from_first_value(values)[:LAST - 1] if item in ("A", "B") else values

            expected = {newcomer: {"A": list(range(2, LAST + 1)), constant: [value]},
                        first: {"A": list(range(2, LAST + 1)), "B": list(range(2, LAST + 1)),
                                "C": [7]}}
            for client, want in expected.items():
                try:
                    poll(lambda: all(received(client, item) == values
                                     for item, values in want.items()),
                         timeout=3, what="the new server's values")
                except AssertionError:
                    pass  # told below, item by item
                losses += [(cycle, item, received(client, item)) for item, values in want.items()
                           if received(client, item) != values]
            newcomer.close()
        self.assertEqual(losses, [])
        self.assertEqual(bridge.exit_via_menu(), 0)


if __name__ == "__main__":
    unittest.main()
