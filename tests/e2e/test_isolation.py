"""One server's trouble stays its own: two topics, each with a server of its
own (the simulation's two classes, two processes). While one server is slow,
hung or down, the other topic's values keep coming at their rate, its new
links reach its server on time, and DDE requests on both topics are answered
at once; the bridge says which call is out and when it ends, and Exit ends
it even while a call is out. A topic set to reconnect starts without its
server and connects once the server is there."""
import os
import re
import time
import unittest

from harness import BridgeTestCase, Simulation, data_bytes, expect_value, fields, poll

RATE_MS = 500
SCENARIO = f"[server]\nrevise = *:{RATE_MS}\n[items]\nC = VT_I4; 1; counter\nD = VT_I4; 7\n"
TWO_TOPICS = "[Line1]\nProgID=Korven.OpcSim.1\n[Line2]\nProgID=Korven.OpcSim2.1\n"
REQUEST_MS = 100  # a DDE request on any topic is answered within this


def updates(client, item, since=0.0):
    """Arrival times of the advise updates of item with a number."""
    times = []
    for at, line in list(client.arrivals):
        if at < since or not line.startswith(b"DATA "):
            continue
        if fields(line.decode("utf-8", "replace")).get("item") == item and \
                re.match(rb"^\d+\0$", data_bytes(line)):
            times.append(at)
    return times


class TwoServers(BridgeTestCase):
    scenario = SCENARIO

    def setUp(self):
        super().setUp()
        self.sim2 = Simulation(self.second_scenario(), Simulation.REG_KEY_2)

    def tearDown(self):
        super().tearDown()
        self.sim2.close()

    def second_scenario(self):
        return SCENARIO

    def assertFlowing(self, client, item, since, until):
        """Updates of item kept coming between since and until, none more than
        two update periods after the one before."""
        times = updates(client, item, since)
        times = [t for t in times if t <= until]
        self.assertGreater(len(times), (until - since) * 1000 / RATE_MS / 2, times)
        edges = [since, *times, until]
        gap = max(b - a for a, b in zip(edges, edges[1:]))
        self.assertLessEqual(gap, 2 * RATE_MS / 1000, f"a gap of {gap:.3f} s")

    def assertAnswered(self, client, item):
        started = time.monotonic()
        line = client.call("request", item)
        took = time.monotonic() - started
        self.assertIn(b"REQUEST OK", line)
        self.assertLess(took, REQUEST_MS / 1000, f"a request took {took * 1000:.0f} ms")
        return data_bytes(line)


class HungServer(TwoServers):
    def test_a_hung_server_holds_back_only_its_own_topic(self):
        bridge = self.start_bridge(TWO_TOPICS)
        healthy = self.connected_client("Line1", "C")
        slow = self.connected_client("Line2", "C")
        for client in (healthy, slow):
            poll(lambda: updates(client, "C"), what="a first value")

        # GetStatus hangs: the status refresh of Line2 waits in it.
        self.sim2.command("hang GetStatus")
        begin = time.monotonic()
        self.sim2.wait_call("Hang.Begin")
        bridge.wait_err("異常：「Line2」のサーバーが応答しません。(GetStatus)", timeout=15)
        self.assertFlowing(healthy, "C", begin, time.monotonic())
        for client in (healthy, slow):
            self.assertRegex(self.assertAnswered(client, "C"), rb"^\d+\0$")
        self.sim2.command("unhang GetStatus")
        bridge.wait_out("情報：「Line2」のサーバーが応答しました。")

        # AddItems hangs: a new link on Line2 waits in it; one on Line1 does not.
        self.sim2.command("hang AddItems")
        begin = time.monotonic()
        slow.call("advise", "D")
        self.sim2.wait_call("Hang.Begin", 2)
        healthy.call("advise", "D")
        linked = time.monotonic()
        expect_value(healthy, "D", "7", timeout=5)
        # Settled links reach the server 2 s after the last change, the first
        # value one update later.
        self.assertLess(time.monotonic() - linked, 2.0 + 2 * RATE_MS / 1000 + 0.5)
        bridge.wait_err("異常：「Line2」のサーバーが応答しません。(AddItems)", timeout=15)
        self.assertFlowing(healthy, "C", begin, time.monotonic())
        self.assertAnswered(healthy, "D")
        self.assertEqual(self.assertAnswered(slow, "D"), b"#EMPTY\0")
        # The slow topic's link keeps its last value meanwhile.
        self.assertRegex(self.assertAnswered(slow, "C"), rb"^\d+\0$")

        # Exit while AddItems is still out.
        started = time.monotonic()
        self.assertEqual(bridge.exit_via_menu(timeout=10), 0)
        self.assertLess(time.monotonic() - started, 10)
        self.assertIn("異常：「Line2」のサーバーが応答しないため、解放をCOMに任せます。",
                      bridge.err_lines())
        self.assertIn("情報：「Line1」の解放。", bridge.out_lines())


class ServerDownAtStart(TwoServers):
    def second_scenario(self):
        return SCENARIO + "[faults]\ncreateInstance = 0x80004005\n"

    def test_a_topic_set_to_reconnect_starts_without_its_server_and_connects_later(self):
        bridge = self.start_bridge(TWO_TOPICS + "Reconnect=5\n")
        self.assertEqual(bridge.err_lines(), ["異常：「Line2」へ接続出来ません。(-2147467259)"])
        self.assertIn("情報：「Line2」は5秒ごとに接続を試みます。", bridge.out_lines())
        self.assertNotIn("情報：「Line2」のインスタンス生成。", bridge.out_lines())
        # The other topic serves at once; the one without its server counts
        # its links and answers as after a shutdown.
        first = self.connected_client("Line1", "C")
        second = self.connected_client("Line2", "C")
        poll(lambda: updates(first, "C"), what="a value on Line1")
        bridge.wait_out("情報：「Line2」アイテム「C」のリンク。(1)")
        self.assertEqual(self.assertAnswered(second, "C"), b"#EMPTY\0")
        # The server accepts from its next start: the topic connects and its
        # linked item gets values, no client linking again.
        with open(os.path.join(self.sim2.dir, "scenario.txt"), "w", encoding="utf-8") as f:
            f.write(SCENARIO)
        bridge.wait_out("情報：「Line2」再接続。", timeout=30)
        poll(lambda: updates(second, "C"), what="a value on Line2")
        self.assertEqual(len(self.sim2.calls("IOPCItemMgt.AddItems")), 1)
        self.assertEqual(bridge.exit_via_menu(), 0)

    def test_without_reconnect_the_start_still_stops(self):
        bridge = self.failed_start(TWO_TOPICS)
        self.assertEqual(bridge.err_lines(), ["異常：「Line2」へ接続出来ません。(-2147467259)"])
        self.assertNotIn("情報：「Line2」の解放。", bridge.out_lines())


class SlowActivation(TwoServers):
    # Wine's activation waits about 30 s for a class object, then fails.
    ACTIVATION_MS = 25000

    def test_a_slow_activation_at_a_reconnect_leaves_the_other_topic_undisturbed(self):
        bridge = self.start_bridge(TWO_TOPICS + "Reconnect=5\n")
        healthy = self.connected_client("Line1", "C")
        poll(lambda: updates(healthy, "C"), what="a value on Line1")
        # From its next start the second server registers its class object
        # only after 25 s: the reconnection's activation waits that long.
        with open(os.path.join(self.sim2.dir, "scenario.txt"), "a", encoding="utf-8") as f:
            f.write(f"[server]\nstartDelay = {self.ACTIVATION_MS}\n")
        self.sim2.command("shutdown maintenance")
        bridge.wait_out("情報：「Line2」シャットダウン。(maintenance)")
        begin = time.monotonic()
        bridge.wait_err("異常：「Line2」のサーバーが応答しません。(CoCreateInstanceEx)", timeout=30)
        # Meanwhile the other topic: its values, a new link, requests.
        healthy.call("advise", "D")
        expect_value(healthy, "D", "7", timeout=5)
        self.assertAnswered(healthy, "C")
        bridge.wait_out("情報：「Line2」再接続。", timeout=self.ACTIVATION_MS / 1000 + 15)
        self.assertFlowing(healthy, "C", begin, time.monotonic())
        self.assertIn("情報：「Line2」のサーバーが応答しました。", bridge.out_lines())
        self.assertEqual(bridge.exit_via_menu(), 0)


if __name__ == "__main__":
    unittest.main()
