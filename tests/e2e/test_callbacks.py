"""Servers without the 1.0 stream: a topic takes the group's 2.0 data
callbacks when the stream is not offered (or when DataAccess=2.0 says so),
with the same texts as from the stream (arrays of two, one and no dimension
too; arrays of texts and VARIANTs come only by callback) and the same changes
(a quality alone), Refresh Now through Refresh2, and the same life as a
stream topic: shutdown requests, a lost server, reconnection, speed changes.
DataAccess=1.0 refuses a 2.0-only server; a bad value stops the start."""
import re
import unittest

from harness import BridgeTestCase, Simulation, data_bytes, expect_value, fields, poll
from test_window import HIGH, PAUSE, REFRESH_NOW

RATE = "[server]\nrevise = *:250\n"
# One of every type, fixed, so that both paths give the same texts.
ITEMS = """[items]
T.Text = VT_BSTR; "運転中（第２）"
T.Empty = VT_BSTR; ""
T.Date = VT_DATE; 45000.5
T.Money = VT_CY; 1234.5678
T.Decimal = VT_DECIMAL; -12345678901234567.89
T.Big = VT_I8; -9007199254740993
T.UBig = VT_UI8; 18446744073709551615
T.Real = VT_R8; 21.5
T.Single = VT_R4; 0.5
T.Bool = VT_BOOL; true
T.Short = VT_I2; -5
T.Byte = VT_UI1; 250
T.Char = VT_I1; -3
T.Word = VT_UI2; 65535
T.Long = VT_I4; -2147483648
T.ULong = VT_UI4; 4294967295
T.Int = VT_INT; 7
T.UInt = VT_UINT; 8
T.Error = VT_ERROR; 0x80004005
T.Array = VT_ARRAY|VT_R8; {1.5,2.5}
T.Grid = VT_ARRAY|VT_I4; {{1,2,3},{4,5,6}}@(1,0)
T.NoElement = VT_ARRAY|VT_R8; {}
T.Nothing = VT_EMPTY;
T.Bad = VT_I4; 3; quality 0x0018
"""
ITEM_IDS = re.findall(r"^(T\.\w+) =", ITEMS, re.M)
# Arrays whose elements are pointers: the stream cannot carry them.
CALLBACK_ITEMS = """T.Names = VT_ARRAY|VT_BSTR; {"運転","停止",""}
T.Mixed = VT_ARRAY|VT_VARIANT; {VT_I4:1,VT_BSTR:"x",VT_R8:2.5}
"""
CALLBACK_IDS = ["T.Names", "T.Mixed"]
CALLBACKS_LINE = "情報：「{}」はDA 2.0のコールバックで値を受け取ります。"
JAPANESE = "ja_JP.UTF-8"


def first_texts(client, items):
    """The first advise text of each item other than the placeholder."""
    texts = {}

    def collect():
        for line in client.seen:
            f = fields(line.decode("utf-8", "replace")) if line.startswith(b"DATA ") else {}
            if f.get("item") in items and data_bytes(line) != b"#EMPTY\0":
                texts.setdefault(f["item"], data_bytes(line))
        if len(texts) < len(items):
            client.expect(b"DATA ")
        return len(texts) == len(items)

    poll(collect, what="a text of every item")
    return texts


class StreamBesideCallbacks(BridgeTestCase):
    """Two topics: one on a server that offers both paths (the stream is
    taken), one on a server that offers only the callbacks."""
    scenario = RATE + ITEMS

    def setUp(self):
        super().setUp()
        self.sim2 = Simulation(RATE + "dataAccess = 2.0\n" + ITEMS + CALLBACK_ITEMS,
                               Simulation.REG_KEY_2)

    def tearDown(self):
        super().tearDown()
        self.sim2.close()

    def test_the_same_texts_and_changes_either_way(self):
        bridge = self.start_bridge("[Stream]\nProgID=Korven.OpcSim.1\n"
                                   "[Callbacks]\nProgID=Korven.OpcSim2.1\n", lang=JAPANESE)
        said = [l for l in bridge.out_lines() if "DA 2.0" in l]
        self.assertEqual(said, [CALLBACKS_LINE.format("Callbacks")])
        self.assertTrue(self.sim.calls("IDataObject.DAdvise"))
        self.assertEqual(self.sim2.calls("IDataObject.DAdvise"), [])
        self.assertTrue([l for l in self.sim2.calls("IConnectionPoint.Advise")
                         if "point=IOPCDataCallback" in l])
        clients = {"Stream": self.connected_client("Stream", *ITEM_IDS, lang=JAPANESE),
                   "Callbacks": self.connected_client("Callbacks", *ITEM_IDS, *CALLBACK_IDS,
                                                      lang=JAPANESE)}
        texts = {t: first_texts(c, ITEM_IDS) for t, c in clients.items()}
        first_texts(clients["Callbacks"], CALLBACK_IDS)  # SAFEARRAYs of BSTRs and VARIANTs
        self.assertEqual(texts["Callbacks"], texts["Stream"])
        self.assertEqual(texts["Callbacks"]["T.Text"], "運転中（第２）".encode("cp932") + b"\0")
        self.assertEqual(texts["Callbacks"]["T.Date"], b"2023/3/15 12:00:00\0")
        self.assertEqual(texts["Callbacks"]["T.Array"], b"#ERR:TYPE(VT=8197)\0")
        self.assertEqual(texts["Callbacks"]["T.Bad"], b"3\0")  # quality is not shown
        for item in ITEM_IDS:
            answers = {t: data_bytes(c.call("request", item)) for t, c in clients.items()}
            self.assertEqual(answers["Callbacks"], answers["Stream"], item)
        # A quality alone is a change: both paths send the item again, with
        # its value; a new grid goes out as it was set.
        after = len(self.sim.journal())
        for sim in (self.sim, self.sim2):
            sim.command("quality T.Real 0x0040", "set T.Grid {{6,5,4},{3,2,1}}")
            self.assertIn(" now=VT_ARRAY|VT_I4:{{6,5,4},{3,2,1}}", sim.calls("Control.set")[0])

        def blocks(*parts):
            return [l for l in self.sim.journal()[after:]
                    if " Send.OnDataChange " in l and all(re.search(p, l) for p in parts)]

        poll(lambda: blocks(r"hrStatus=0x00000001", r"[\[,]\d+:VT_R8:21\.5[,\]]"),
             what="the stream's block with the new quality")
        poll(lambda: blocks(re.escape(":VT_ARRAY|VT_I4:{{6,5,4},{3,2,1}}")),
             what="the stream's block with the new grid")
        for value in ("VT_R8:21.5:0x0040:0x00000000", "VT_ARRAY|VT_I4:{{6,5,4},{3,2,1}}:0x00C0:"):
            poll(lambda: [l for l in self.sim2.calls("Send.IOPCDataCallback.OnDataChange")
                          if value in l and l.endswith(" -> 0x00000000")], what=value)
        self.assertEqual(bridge.err_lines(), [])


class CallbacksOnly(BridgeTestCase):
    scenario = RATE + "dataAccess = 2.0\n[items]\nC = VT_I4; 1; counter\nE = VT_I4; 5; error 0xC0040007\n"

    def test_values_errors_refresh_speed_and_shutdown(self):
        bridge = self.start_bridge("[Line1]\nReconnect=5\n")
        self.assertIn(CALLBACKS_LINE.format("Line1"), bridge.out_lines())
        client = self.connected_client("Line1", "C", "E")
        poll(lambda: re.match(rb"^\d+\0$", data_bytes(client.expect(b"DATA "))), what="a value")
        # An item whose error entry is a failure shows it until a good value.
        expect_value(client, "E", "#ERR:DATA(-1073479673)")
        self.sim.command("error E 0")
        expect_value(client, "E", "5")
        # Refresh Now: Refresh2 from the device, with a transaction of its own,
        # answered through the callback.
        bridge.post_command(REFRESH_NOW)
        refresh = self.sim.wait_call("IOPCAsyncIO2.Refresh2")[0]
        transaction = fields(refresh.split(" -> ")[0])["transaction"]
        self.assertIn("source=2", refresh)
        self.assertNotEqual(transaction, "0")
        poll(lambda: [l for l in self.sim.calls("Send.IOPCDataCallback.OnDataChange")
                      if f"transaction={transaction} " in l], what="the refresh's answer")
        # Speed: paused, then high.
        bridge.post_command(PAUSE)
        self.sim.wait_call("IOPCGroupStateMgt.SetState")
        bridge.post_command(HIGH)
        self.sim.wait_call("IOPCGroupStateMgt.SetState", 2)
        client.sync()
        client.expect(b"DATA ")  # values again
        # A shutdown request: the callback connection ends before the group goes.
        self.sim.command("shutdown maintenance")
        bridge.wait_out("情報：「Line1」シャットダウン。(maintenance)")
        self.sim.wait_call("IOPCServer.RemoveGroup")
        calls = [line.split(" ")[2] + (" data" if "point=IOPCDataCallback" in line else "")
                 for line in self.sim.journal()]
        self.assertLess(calls.index("IConnectionPoint.Unadvise data"),
                        calls.index("IOPCServer.RemoveGroup"))
        last = data_bytes(client.call("request", "C"))
        self.assertRegex(last, rb"^\d+\0$")
        # The server comes back; the same links get values again.
        bridge.wait_out("情報：「Line1」再接続。", timeout=15)
        poll(lambda: len(self.sim.calls("Send.IOPCDataCallback.OnDataChange")) > 0 and
             data_bytes(client.call("request", "C")) != last, what="values after the reconnect")
        self.assertEqual(bridge.err_lines(), [])
        self.assertEqual(bridge.exit_via_menu(), 0)

    def test_a_killed_server_is_lost_and_the_topic_reconnects(self):
        bridge = self.start_bridge("[Line1]\nReconnect=5\n")
        client = self.connected_client("Line1", "C")
        poll(lambda: re.match(rb"^\d+\0$", data_bytes(client.expect(b"DATA "))), what="a value")
        self.sim.kill()
        poll(lambda: [l for l in bridge.err_lines() if "サーバーとの接続が切れました" in l],
             what="the lost server's line")
        bridge.wait_out("情報：「Line1」再接続。", timeout=15)
        expect_value(client, "C", "2")  # the new server's counter
        self.assertEqual(bridge.exit_via_menu(), 0)

    def test_data_access_1_0_refuses_a_server_without_the_stream(self):
        bridge = self.failed_start("[Line1]\nDataAccess=1.0\n")
        self.assertIn("情報：「Line1」の設定。 Node= ProgID=Velmora.Ctrl9.1 DataAccess=1.0",
                      bridge.out_lines())
        self.assertEqual(bridge.err_lines(), [
            "異常：「Line1」Unknown error 0x80004002(-2147467262)"])
        self.sim.wait_call("IOPCServer.RemoveGroup")


class ChosenPath(BridgeTestCase):
    scenario = RATE + "[items]\nC = VT_I4; 1; counter\n"

    def test_data_access_2_0_takes_the_callbacks_of_a_server_with_both(self):
        bridge = self.start_bridge("[Line1]\nDataAccess=2.0\n")
        self.assertIn(CALLBACKS_LINE.format("Line1"), bridge.out_lines())
        self.assertEqual(self.sim.calls("IDataObject.DAdvise"), [])
        client = self.connected_client("Line1", "C")
        poll(lambda: re.match(rb"^\d+\0$", data_bytes(client.expect(b"DATA "))), what="a value")


if __name__ == "__main__":
    unittest.main()
