"""A cell can tell a live value from a stale one, where the topic asks for it:
Quality=mark shows bad values as #BAD(q), strict also uncertain ones as
#UNCERTAIN(q), and both read #OFFLINE while the topic's server cannot be
counted on; Arrays=tabs reads arrays as rows of tabs; the System topic's
TopicStates says which topics are live. A topic without the keys reads as
before in the same runs; both data paths give the same texts."""
import os
import re
import unittest

from harness import BridgeTestCase, data_bytes, expect_value, fields, poll

RATE = "[server]\nrevise = *:250\n"
ITEMS = """[items]
Good = VT_I4; 5
Bad = VT_I4; 6; quality 0x18
Unsure = VT_I4; 7; quality 0x44
Count = VT_I4; 1; counter
Row = VT_ARRAY|VT_R8; {1.5,-2,0.25}
Flags = VT_ARRAY|VT_BOOL; {true,false}
Grid = VT_ARRAY|VT_I2; {{1,2,3},{4,5,6}}@(1,0)
Nothing = VT_ARRAY|VT_R8; {}
"""
# One server, both paths: Line1 takes the stream, Line2 the callbacks.
TOPICS = ("[Line1]\nQuality=mark\nArrays=tabs\nReconnect=5\n"
          "[Line2]\nQuality=strict\nArrays=tabs\nDataAccess=2.0\nReconnect=5\n"
          "[Plain]\nReconnect=5\n")
UNANSWERED = "異常：「{}」のサーバーが応答しません。(GetStatus)"


def texts(client, item):
    """The texts of the item's advise updates so far, in order."""
    out = []
    for line in client.seen:
        if line.startswith(b"DATA "):
            f = fields(line.decode("utf-8", "replace"))
            if f.get("item") == item:
                out.append(data_bytes(line).rstrip(b"\0").decode("cp932"))
    return out


def wait_last(client, item, text, timeout=20.0):
    """Waits until the item's latest advise update reads text (or, for a
    compiled pattern, matches it whole)."""
    def latest():
        try:
            client.expect(b"DATA ", 0.05)
        except AssertionError:
            pass
        last = texts(client, item)[-1:]
        if isinstance(text, re.Pattern):
            return bool(last) and text.fullmatch(last[0]) is not None
        return last == [text]
    poll(latest, timeout, what=f"{item} to read {text!r}; saw {texts(client, item)[-3:]}")


def requested(client, item):
    return data_bytes(client.call("request", item)).rstrip(b"\0").decode("cp932")


class Marks(BridgeTestCase):
    scenario = RATE + ITEMS

    def test_quality_marks_arrays_and_the_offline_mark_on_both_paths(self):
        bridge = self.start_bridge(TOPICS)
        self.assertIn("情報：「Line1」の設定。 Node= ProgID=Velmora.Ctrl9.1 Reconnect=5 "
                      "Quality=mark Arrays=tabs", bridge.out_lines())
        items = ("Good", "Bad", "Unsure", "Count", "Row", "Flags", "Grid", "Nothing")
        clients = {topic: self.connected_client(topic, *items) for topic in ("Line1", "Line2", "Plain")}
        expected = {
            "Line1": {"Good": "5", "Bad": "#BAD(24)", "Unsure": "7", "Row": "1.5\t-2\t0.25",
                      "Flags": "-1\t0", "Grid": "1\t2\t3\r\n4\t5\t6", "Nothing": "(null)"},
            "Line2": {"Good": "5", "Bad": "#BAD(24)", "Unsure": "#UNCERTAIN(68)",
                      "Row": "1.5\t-2\t0.25", "Flags": "-1\t0",
                      "Grid": "1\t2\t3\r\n4\t5\t6", "Nothing": "(null)"},
            "Plain": {"Good": "5", "Bad": "6", "Unsure": "7", "Row": "#ERR:TYPE(VT=8197)",
                      "Flags": "#ERR:TYPE(VT=8203)", "Grid": "#ERR:TYPE(VT=8194)",
                      "Nothing": "#ERR:TYPE(VT=8197)"},
        }
        for topic, want in expected.items():
            for item, text in want.items():
                expect_value(clients[topic], item, text)
                self.assertEqual(requested(clients[topic], item), text, (topic, item))

        # A change of quality alone reaches the marked links.
        self.sim.command("quality Good 0x18")
        for topic in ("Line1", "Line2"):
            expect_value(clients[topic], "Good", "#BAD(24)")
        self.sim.command("quality Good 0xC0")
        for topic in ("Line1", "Line2"):
            wait_last(clients[topic], "Good", "5")

        system = self.dde_client()
        self.assertIn(b"CONNECT OK", system.call("connect", "KORVEN", "System"))
        order = data_bytes(system.call("request", "Topics")).rstrip(b"\0").decode().split("\t")[:-1]
        states = lambda word: "\r\n".join(f"{t}\t{word(t)}" for t in order)
        system.call("advise", "TopicStates")
        wait_last(system, "TopicStates", states(lambda t: "RUNNING"))

        # A call that does not return: after 10 s every marked item reads
        # #OFFLINE, posted to every link; the plain topic keeps its values.
        self.sim.command("hang GetStatus")
        for topic in ("Line1", "Line2", "Plain"):
            bridge.wait_err(UNANSWERED.format(topic), timeout=20)
        for topic in ("Line1", "Line2"):
            for item in items:
                wait_last(clients[topic], item, "#OFFLINE")
            self.assertEqual(requested(clients[topic], "Good"), "#OFFLINE")
        wait_last(system, "TopicStates", states(lambda t: "OFFLINE"))
        self.sim.command("unhang GetStatus")
        for topic in ("Line1", "Line2"):
            bridge.wait_out(f"情報：「{topic}」のサーバーが応答しました。")
            for item, text in expected[topic].items():
                wait_last(clients[topic], item, text)
        wait_last(system, "TopicStates", states(lambda t: "RUNNING"))

        # A shutdown request: #OFFLINE until the new server's values come,
        # also for a link made meanwhile; the plain topic never reads it.
        self.sim.command("shutdown maintenance")
        for topic in ("Line1", "Line2"):
            wait_last(clients[topic], "Count", "#OFFLINE")
        late = self.connected_client("Line1", "Good")
        expect_value(late, "Good", "#OFFLINE")
        self.assertEqual(requested(late, "Bad"), "#OFFLINE")
        bridge.wait_out("情報：「Line1」再接続。", timeout=30)
        for topic in ("Line1", "Line2"):
            wait_last(clients[topic], "Count", re.compile(r"\d+"))
            wait_last(clients[topic], "Bad", "#BAD(24)")
        wait_last(late, "Good", "5")
        self.assertNotIn("#OFFLINE", sum((texts(clients["Plain"], i) for i in items), []))
        wait_last(system, "TopicStates", states(lambda t: "RUNNING"))
        self.assertGreaterEqual(texts(system, "TopicStates").count(states(lambda t: "OFFLINE")), 2)

        # A server that dies: the same, from the loss line on.
        self.sim.kill()
        poll(lambda: any(l.startswith("異常：「Line1」サーバーとの接続が切れました。")
                         for l in bridge.err_lines()), 20, what="the loss line")
        wait_last(clients["Line1"], "Row", "#OFFLINE")
        wait_last(clients["Line1"], "Row", "1.5\t-2\t0.25", timeout=30)
        self.assertEqual(bridge.exit_via_menu(), 0)


class TextArrays(BridgeTestCase):
    """Arrays of texts and of VARIANTs, which only the 2.0 callbacks carry."""
    scenario = (RATE + "dataAccess = 2.0\n[items]\n"
                "Names = VT_ARRAY|VT_BSTR; {\"運転\",\"\",\"停止 中\"}@(1)\n"
                "Mixed = VT_ARRAY|VT_VARIANT; {VT_I4:1,VT_BSTR:\"x\"}\n")

    def test_text_elements_in_the_clients_code_page_and_variants_as_a_type_error(self):
        self.start_bridge("[Line1]\nArrays=tabs\n", lang="ja_JP.UTF-8")
        client = self.connected_client("Line1", "Names", "Mixed", lang="ja_JP.UTF-8")
        expect_value(client, "Names", "運転\t(null)\t停止 中")
        expect_value(client, "Mixed", "#ERR:TYPE(VT=8204)")
        unicode = data_bytes(client.call("request", "Names", "UNICODETEXT"))
        self.assertEqual(unicode, "運転\t(null)\t停止 中\0".encode("utf-16-le"))


class DownAtStart(BridgeTestCase):
    scenario = RATE + "[faults]\ncreateInstance = 0x80004005\n" + ITEMS

    def test_a_server_down_at_start_reads_offline_until_it_connects(self):
        bridge = self.start_bridge("[Line1]\nQuality=mark\nReconnect=5\n[Plain]\nReconnect=5\n")
        marked = self.connected_client("Line1", "Good")
        plain = self.connected_client("Plain", "Good")
        expect_value(marked, "Good", "#OFFLINE")
        self.assertEqual(requested(plain, "Good"), "#EMPTY")
        # The next server starts without the fault.
        with open(os.path.join(self.sim.dir, "scenario.txt"), "w", encoding="utf-8") as f:
            f.write(RATE + ITEMS)
        bridge.wait_out("情報：「Line1」再接続。", timeout=30)
        expect_value(marked, "Good", "5")
        expect_value(plain, "Good", "5")
        self.assertNotIn("#OFFLINE", texts(plain, "Good"))


if __name__ == "__main__":
    unittest.main()
