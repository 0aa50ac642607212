"""The road of a value: items linked by DDE clients are added to the OPC group
in batches, their values arrive through the data-change stream, and clients
receive them as text; errors reach clients as markers. Checked against the
simulation server's journal."""
import re
import time
import unittest

from harness import BridgeTestCase, data_bytes, expect_value, fields, poll
from test_window import ACTIVE, CLIENT_HANDLE, SERVER_HANDLE, STATE, wait_page

FAST = "[server]\nrevise = *:250\n"


def journal_fields(line):
    return fields(line.split(" -> ")[0])


class GroupCreation(BridgeTestCase):
    scenario = "[server]\nrevise = 3000:1000\n"

    def test_one_group_per_topic_with_its_parameters(self):
        bridge = self.start_bridge("[Line1]\n[Line2]\nProgID=Korven.OpcSim.1\n")
        out = bridge.out_lines()
        self.assertEqual(out[2:6], [
            "情報：「Line1」の設定。 Node= ProgID=Velmora.Ctrl9.1", "情報：「Line1」のインスタンス生成。",
            "情報：「Line2」の設定。 Node= ProgID=Korven.OpcSim.1", "情報：「Line2」のインスタンス生成。"])
        # Both topics connect at once: their groups come in either order.
        groups = sorted(self.sim.wait_call("IOPCServer.AddGroup", 2),
                        key=lambda line: journal_fields(line)["name"])
        handles = set()
        for line, name in zip(groups, ("Line1", "Line2")):
            f = journal_fields(line)
            self.assertEqual(f["name"], f'"{name}"')
            self.assertEqual((f["active"], f["rate"], f["timeBias"], f["deadband"], f["lcid"]),
                             ("1", "3000", "0", "0.000000", "0"))
            self.assertGreaterEqual(int(f["hClientGroup"]), 0xC000)  # the topic's atom
            handles.add(f["hClientGroup"])
            self.assertIn("-> 0x0004000D", line)  # the server granted 1000 instead
            self.assertIn("revisedRate=1000", line)
        self.assertEqual(len(handles), 2)
        self.assertEqual(len(self.sim.calls("IDataObject.DAdvise")), 2)
        self.assertEqual(bridge.exit_via_menu(), 0)
        # Each group leaves the server on exit.
        self.sim.wait_call("IOPCServer.RemoveGroup", 2)


class RoadOfAValue(BridgeTestCase):
    scenario = FAST + """[items]
Boiler.Temp = VT_R8; 21.5
Boiler.Count = VT_I4; 42
Boiler.Run = VT_BOOL; true
Boiler.Since = VT_DATE; 38777.5
Boiler.Cost = VT_CY; 12.3456
Boiler.State = VT_BSTR; "運転中"
Boiler.Flags = VT_ARRAY|VT_R8; {1.5,2.5}
Boiler.Odd = VT_I4; 5; reserved 7
"""

    def test_burst_is_added_once_and_values_arrive_as_text(self):
        bridge = self.start_bridge("[Line1]\n", lang="ja_JP.UTF-8")
        client = self.connected_client("Line1", lang="ja_JP.UTF-8")
        items = ["Boiler.Temp", "Boiler.Count", "Boiler.Run"]
        for item in items:
            client.call("advise", item)
        last_link = time.monotonic()
        add = self.sim.wait_call("IOPCItemMgt.AddItems")
        waited = time.monotonic() - last_link
        self.assertGreater(waited, 1.5)  # 200 ticks of 10 ms after the last link
        self.assertEqual(len(add), 1)
        for item in items:
            self.assertIn(f'id="{item}"', add[0])
        expect_value(client, "Boiler.Temp", "21.5")
        expect_value(client, "Boiler.Count", "42")
        # A change on the server reaches the client as its text.
        self.sim.command("set Boiler.Count 43")
        expect_value(client, "Boiler.Count", "43")
        self.assertEqual(len(self.sim.calls("IOPCItemMgt.AddItems")), 1)

    def test_types_markers_and_errors(self):
        self.start_bridge("[Line1]\n", lang="ja_JP.UTF-8")
        client = self.connected_client("Line1", lang="ja_JP.UTF-8")
        for item in ("Boiler.Run", "Boiler.Since", "Boiler.Cost", "Boiler.State",
                     "Boiler.Flags", "Boiler.Odd", "No.Such.Item"):
            client.call("advise", item)
        expect_value(client, "No.Such.Item", "#ERR:ADD(-1073479673)")
        expect_value(client, "Boiler.Flags", "#ERR:TYPE(VT=8197)")
        expect_value(client, "Boiler.Odd", "#ERR:DATA(7)")
        expect_value(client, "Boiler.State", "運転中")
        expect_value(client, "Boiler.Cost", "12.3456")
        # Booleans and dates as the standard coercion writes them (flags 0).
        expect_value(client, "Boiler.Run", "-1")
        expect_value(client, "Boiler.Since", "2006/3/1 12:00:00")

    def test_unlinked_burst_leaves_in_one_call_and_a_quick_relink_stays(self):
        bridge = self.start_bridge("[Line1]\n")
        client = self.connected_client("Line1")
        for item in ("Boiler.Temp", "Boiler.Count", "Boiler.Run"):
            client.call("advise", item)
        self.sim.wait_call("IOPCItemMgt.AddItems")
        expect_value(client, "Boiler.Temp", "21.5")
        client.call("unadvise", "Boiler.Temp")
        client.call("unadvise", "Boiler.Run")
        client.call("unadvise", "Boiler.Count")
        client.call("advise", "Boiler.Count")
        removed = self.sim.wait_call("IOPCItemMgt.RemoveItems")
        self.assertEqual(len(removed), 1)
        self.assertIn("count=2", removed[0])
        # The re-linked item was neither removed nor added again.
        self.assertEqual(len(self.sim.calls("IOPCItemMgt.AddItems")), 1)
        self.assertEqual(data_bytes(client.call("request", "Boiler.Count")), b"42\0")
        self.assertEqual(data_bytes(client.call("request", "Boiler.Temp")), b"#NOTHING\0")


class ItemNotOfGoodQuality(BridgeTestCase):
    # A bad-quality item that changes is in every block the server sends, and
    # each such block carries S_FALSE.
    scenario = FAST + "[items]\nGood = VT_I4; 1; counter\nBad = VT_I4; 100; counter; quality 0x0018\n"

    def test_blocks_with_a_bad_item_still_deliver_the_good_ones(self):
        self.start_bridge("[Line1]\n")
        client = self.connected_client("Line1", "Good", "Bad")
        self.sim.wait_call("Send.OnDataChange", 3)
        self.assertIn("hrStatus=0x00000001", self.sim.calls("Send.OnDataChange")[-1])
        values = set()
        while len(values) < 3:
            line = client.expect(b"DATA ")
            if fields(line.decode()).get("item") == "Good" and data_bytes(line) != b"#EMPTY\0":
                values.add(data_bytes(line))


class WideValueRecords(BridgeTestCase):
    # A 64-bit server copies its own 24-byte VARIANTs, and an array's own
    # 24-byte SAFEARRAY record after it, into the block.
    scenario = FAST + """recordSize = 24
[items]
Text = VT_BSTR; "運転中"
Temp = VT_R8; 21.5
Flags = VT_ARRAY|VT_R8; {1.5,2.5,3.5}
"""

    def test_strings_beside_arrays_and_scalars_of_a_64_bit_server(self):
        bridge = self.start_bridge("[Line1]\n", lang="ja_JP.UTF-8")
        client = self.connected_client("Line1", "Text", "Flags", "Temp", lang="ja_JP.UTF-8")
        # One block carries all three.
        expect_value(client, "Flags", "#ERR:TYPE(VT=8197)")
        expect_value(client, "Text", "運転中")
        expect_value(client, "Temp", "21.5")
        said = [l for l in bridge.out_lines() if "24バイト" in l]
        self.assertEqual(said, ["情報：「Line1」のサーバーは値を24バイトのレコードで送ります。"])


class OneItemIdOnTwoTopics(BridgeTestCase):
    # Two topics on one server link the same item ID; each group steps the
    # counter at its own updates.
    scenario = FAST + "[items]\nC = VT_I4; 1; counter\n"

    def test_each_link_gets_its_own_topics_values_and_a_paused_topic_none(self):
        bridge = self.start_bridge("[Line1]\n[Line2]\n")
        clients = {topic: self.connected_client(topic, "C") for topic in ("Line1", "Line2")}
        for client in clients.values():
            poll(lambda: re.match(rb"^\d+\0$", data_bytes(client.expect(b"DATA "))),
                 what="a first value")
        groups = {journal_fields(l)["hClientGroup"]: journal_fields(l)["name"].strip('"')
                  for l in self.sim.calls("IOPCServer.AddGroup")}
        # Pause goes to the topic of the first tab.
        bridge.post_command(40014)
        paused_line = self.sim.wait_call("IOPCGroupStateMgt.SetState")[0]
        self.assertIn("active=0", paused_line)
        paused = groups[journal_fields(paused_line)["hClientGroup"]]
        running = "Line2" if paused == "Line1" else "Line1"

        def values(topic, count):
            got = []
            while len(got) < count:
                line = clients[topic].expect(b"DATA ")
                got.append(data_bytes(line))
            return got

        # What was under way at the pause has arrived once the other topic
        # has had two more updates; from then on the paused link gets nothing.
        values(running, 2)
        clients[paused].sync()
        before = len([l for l in clients[paused].seen if l.startswith(b"DATA ")])
        flowing = values(running, 6)
        self.assertEqual(len(set(flowing)), 6, flowing)
        clients[paused].sync()
        after = [l for l in clients[paused].seen if l.startswith(b"DATA ")]
        self.assertEqual(len(after), before, after[before:])
        # A request answers from the conversation's own topic.
        last_paused = data_bytes(after[-1])
        self.assertEqual(data_bytes(clients[paused].call("request", "C")), last_paused)
        running_now = int(data_bytes(clients[running].call("request", "C")).rstrip(b"\0"))
        self.assertGreater(running_now, int(last_paused.rstrip(b"\0")))
        self.assertEqual(bridge.err_lines(), [])


class WholeAddFailure(BridgeTestCase):
    scenario = FAST + "[faults]\naddItems = 0x80004005\n[items]\nA = VT_I4; 1\nB = VT_I4; 2\n"

    def test_every_item_of_the_batch_reads_the_add_error(self):
        self.start_bridge("[Line1]\n")
        client = self.connected_client("Line1", "A", "B")
        expect_value(client, "A", "#ERR:ADD(-1)")
        self.assertEqual(data_bytes(client.call("request", "B")), b"#ERR:ADD(-1)\0")


class BlockStatus(BridgeTestCase):
    scenario = FAST + "[faults]\nblockStatus = 0x80004005\n[items]\nA = VT_I4; 1\n"

    def test_failed_block_writes_its_status_and_changes_nothing(self):
        bridge = self.start_bridge("[Line1]\n")
        client = self.connected_client("Line1", "A")
        bridge.wait_out("\thrStatusr=-2147467259")
        self.assertEqual(data_bytes(client.call("request", "A")), b"#EMPTY\0")
        self.assertIn(b"\thrStatusr=-2147467259\r\n", bridge.out_bytes())


class Shutdown(BridgeTestCase):
    scenario = FAST + "[items]\nA = VT_I4; 5\n"

    def test_shutdown_request_releases_the_group_and_keeps_the_last_value(self):
        bridge = self.start_bridge("[Line1]\n")
        client = self.connected_client("Line1", "A")
        expect_value(client, "A", "5")
        self.sim.command("shutdown maintenance")
        bridge.wait_out("情報：「Line1」シャットダウン。(maintenance)")
        self.sim.wait_call("IOPCServer.RemoveGroup")
        self.assertTrue(self.sim.calls("IConnectionPoint.Unadvise"))
        self.assertEqual(data_bytes(client.call("request", "A")), b"5\0")
        # A new link is counted and logged but never added.
        client.call("advise", "B")
        bridge.wait_out("情報：「Line1」アイテム「B」のリンク。(2)")
        self.assertEqual(len(self.sim.calls("IOPCItemMgt.AddItems")), 1)
        self.assertEqual(bridge.exit_via_menu(), 0)
        self.assertIn("情報：「Line1」の解放。", bridge.out_lines())


class ItemIdentity(BridgeTestCase):
    scenario = FAST + "[items]\nDemo.Counter = VT_I4; 1; counter\nDemo.Fixed = VT_I4; 42\n"

    def test_a_mistyped_link_fixed_before_the_remove_pass_gets_the_right_item(self):
        # DDEML gives a new name the value of the handle freed last: the
        # unlinked item's entry must not be found under the new name.
        self.start_bridge("[Line1]\n")
        client = self.connected_client("Line1", "No.Such.Item")
        expect_value(client, "No.Such.Item", "#ERR:ADD(-1073479673)")
        client.call("unadvise", "No.Such.Item")
        client.call("advise", "Demo.Counter")
        added = self.sim.wait_call("IOPCItemMgt.AddItems", 2)
        self.assertIn('id="Demo.Counter"', added[1])
        line = client.expect(b"DATA ")
        while fields(line.decode()).get("item") != "Demo.Counter":
            line = client.expect(b"DATA ")
        self.assertRegex(data_bytes(line), rb"^(#EMPTY|\d+)\0$")
        poll(lambda: re.match(rb"^\d+\0$", data_bytes(client.call("request", "Demo.Counter"))),
             what="a value of Demo.Counter")

    def test_a_later_link_on_an_unchanging_item_gets_its_value(self):
        self.start_bridge("[Line1]\n")
        first = self.connected_client("Line1", "Demo.Fixed")
        expect_value(first, "Demo.Fixed", "42")
        # The repost reaches both links, each with a reference of the item's
        # name of its own, whichever client reads first.
        second = self.connected_client("Line1", "Demo.Fixed")
        expect_value(second, "Demo.Fixed", "42", timeout=5)


class ServerGone(BridgeTestCase):
    scenario = FAST + "[items]\nA = VT_I4; 5\n"

    def test_a_server_that_exits_is_shown_as_gone_and_the_last_value_stays(self):
        bridge = self.start_bridge("[Line1]\n")
        client = self.connected_client("Line1", "A")
        expect_value(client, "A", "5")
        self.sim.command("exit")
        poll(lambda: [l for l in bridge.err_lines() if l.startswith("異常：「Line1」サーバーとの接続が切れました。(")],
             what="the line for the lost server")
        errors = bridge.err_lines()
        self.assertEqual(len(errors), 1, errors)
        self.assertRegex(errors[0], r"\(-\d+\)$")
        page = wait_page(lambda p: p[STATE] == "UNKNOWN", "UNKNOWN after the server left")
        self.assertEqual((page[ACTIVE], page[CLIENT_HANDLE], page[SERVER_HANDLE]),
                         (0, "0x00000000", "0x00000000"))
        self.assertEqual(data_bytes(client.call("request", "A")), b"5\0")
        self.assertEqual(bridge.exit_via_menu(), 0)
        self.assertIn("情報：「Line1」の解放。", bridge.out_lines())


class ShutdownDuringACall(BridgeTestCase):
    scenario = FAST + "[items]\nA = VT_I4; 5\n"

    def test_group_is_released_only_after_the_call_has_returned(self):
        bridge = self.start_bridge("[Line1]\n")
        self.sim.command("shutdown-during IOPCItemMgt.AddItems maintenance")
        client = self.connected_client("Line1", "A")
        bridge.wait_out("情報：「Line1」シャットダウン。(maintenance)")
        self.sim.wait_call("IOPCServer.RemoveGroup")
        calls = [line.split(" ")[2] for line in self.sim.journal()]
        # The server sees the release after its AddItems has answered, once.
        self.assertEqual(calls.count("IDataObject.DUnadvise"), 1)
        self.assertLess(calls.index("IOPCItemMgt.AddItems"), calls.index("IDataObject.DUnadvise"))
        self.assertIsNone(bridge.proc.poll())
        self.assertIn(client.call("request", "A")[:10], b"REQUEST OK")
        self.assertEqual(bridge.exit_via_menu(), 0)
        self.assertEqual(bridge.err_lines(), [])


class StartUpFailures(BridgeTestCase):
    def run_failing(self, ini):
        bridge = self.failed_start(ini)
        self.assertEqual(bridge.out_lines()[-1], "情報：終了。")
        return bridge.err_lines()

    def test_unregistered_progid(self):
        errors = self.run_failing("[Line1]\nProgID=No.Such.Server\n[Line2]\n")
        self.assertEqual(errors, ["異常：「Line1」に「No.Such.Server」が存在しません。(-2147221005)"])
        self.assertEqual(self.sim.calls("Server.Start"), [])  # later sections not tried

    def test_remote_node_is_not_reachable_under_wine(self):
        errors = self.run_failing("[Remote]\nNode=plc-station-2\n")
        self.assertEqual(len(errors), 1)
        self.assertTrue(errors[0].startswith("異常：「Remote」"), errors[0])
        self.assertTrue(errors[0].endswith("(-2147221164)"), errors[0])


class CreateFailsWithEFail(BridgeTestCase):
    scenario = "[faults]\ncreateInstance = 0x80004005\n"

    def test_cannot_connect(self):
        bridge = self.failed_start("[Line1]\n")
        self.assertEqual(bridge.err_lines(), ["異常：「Line1」へ接続出来ません。(-2147467259)"])


class CreateFailsWithOtherCode(BridgeTestCase):
    scenario = "[faults]\ncreateInstance = 0x80070005\n"

    def test_system_message_text(self):
        bridge = self.failed_start("[Line1]\n")
        errors = bridge.err_lines()
        self.assertEqual(len(errors), 1)
        self.assertRegex(errors[0], r"^異常：「Line1」[^(]+\(-2147024891\)$")
        self.assertNotIn("Unknown error", errors[0])


class NoAsyncIo(BridgeTestCase):
    # A 1.0 group without IOPCAsyncIO: neither path can be set up.
    scenario = "[server]\ndataAccess = 1.0\n[faults]\nnoAsyncIO = true\n"

    def test_group_interfaces_are_released_and_start_up_stops(self):
        bridge = self.failed_start("[Line1]\n")
        errors = bridge.err_lines()
        self.assertEqual(len(errors), 1)
        self.assertTrue(errors[0].endswith("(-2147467262)"), errors[0])
        self.assertNotIn("情報：「Line1」のインスタンス生成。", bridge.out_lines())
        # The group was added and then left the server again.
        self.sim.wait_call("IOPCServer.RemoveGroup")


class NoConnectionPoint(BridgeTestCase):
    scenario = FAST + "[faults]\nnoConnectionPoint = true\n[items]\nA = VT_I4; 3\n"

    def test_server_without_shutdown_notification_still_serves(self):
        bridge = self.start_bridge("[Line1]\n")
        client = self.connected_client("Line1", "A")
        expect_value(client, "A", "3")
        self.assertEqual(bridge.exit_via_menu(), 0)
        self.assertEqual(bridge.err_lines(), [])


if __name__ == "__main__":
    unittest.main()
