"""What DDE clients see: connections (wildcards and the System topic included),
advise links counted per item and conversation, requests and the reply bytes
in the format asked, and the link lines of the log."""
import os
import signal
import unittest

from harness import BridgeTestCase, data_bytes, fields, poll

INI = "[Line1]\n[Line2]\n"


def link(topic, item, count):
    return f"情報：「{topic}」アイテム「{item}」のリンク。({count})"


def unlink(topic, item, count):
    return f"情報：「{topic}」アイテム「{item}」のリンク解除。({count})"


class Connections(BridgeTestCase):
    def test_wildcard_connects_reach_the_pairs_that_fit(self):
        # Wine's DdeConnect takes the first pair offered (its DdeConnectList is
        # a stub): the configured topics in handle order come before System.
        # The client spells a name as its own string handle does.
        bridge = self.start_bridge(INI)
        logged = bridge.out_lines()
        for service, topic, reached in (("KORVEN", "*", "Line1"), ("*", "*", "Line1"),
                                        ("*", "line2", "Line2"), ("*", "SYSTEM", "System")):
            line = self.dde_client().call("connect", service, topic)
            self.assertEqual(fields(line.decode())["topic"].lower(), reached.lower(), line)
        for service, topic in (("Excel", "*"), ("*", "Line3"), ("KORVEN", "Line3")):
            self.assertIn(b"DMLERR_NO_CONV_ESTABLISHED", self.dde_client().call("connect", service, topic))
        self.assertEqual((bridge.out_lines(), bridge.err_lines()), (logged, []))

    def test_system_topic_answers_its_items_in_both_text_formats(self):
        bridge = self.start_bridge(INI)
        client = self.dde_client()
        self.assertIn(b"service=KORVEN topic=System", client.call("connect", "KORVEN", "System"))
        sys_items = b"SysItems\tTopics\tFormats\tStatus\tTopicItemList\tTopicStates\0"
        for item, text in (("Topics", b"Line1\tLine2\tSystem\0"), ("SysItems", sys_items),
                           ("TopicItemList", sys_items), ("Formats", b"TEXT\tUNICODETEXT\0"),
                           ("status", b"Ready\0")):
            self.assertEqual(data_bytes(client.call("request", item)), text, item)
        self.assertEqual(data_bytes(client.call("request", "Topics", "UNICODETEXT")),
                         "Line1\tLine2\tSystem\0".encode("utf-16-le"))
        for refused in (("request", "Help"), ("request", "Topics", "CSV"),
                        ("request", "Line1"), ("advise", "Status")):
            self.assertIn(b"DMLERR_NOTPROCESSED", client.call(*refused), refused)
        self.assertEqual(data_bytes(client.call("request", "Status")), b"Ready\0")
        self.assertEqual(bridge.err_lines(), [])


class Links(BridgeTestCase):
    def setUp(self):
        super().setUp()
        self.bridge = self.start_bridge(INI)

    def test_advise_start_links_once_and_hot_then_warm_counts_once(self):
        client = self.connected_client("Line1")
        self.assertIn(b"ADVISE OK", client.call("advise", "Boiler.Temp", "hot"))
        self.assertIn(b"ADVISE OK", client.call("advise", "Boiler.Temp", "warm"))
        self.bridge.wait_out(link("Line1", "Boiler.Temp", 1))
        # The one advise stop of the client ends the item's link.
        self.assertIn(b"UNADVISE OK", client.call("unadvise", "Boiler.Temp", "hot"))
        self.bridge.wait_out(unlink("Line1", "Boiler.Temp", 0))
        links = [l for l in self.bridge.out_lines() if "アイテム" in l]
        self.assertEqual(links, [link("Line1", "Boiler.Temp", 1), unlink("Line1", "Boiler.Temp", 0)])

    def test_other_formats_are_refused_without_a_log_line(self):
        client = self.connected_client("Line1")
        self.assertIn(b"ADVISE FAIL", client.call("advise", "A", "hot", "UNICODETEXT"))
        self.assertIn(b"ADVISE FAIL", client.call("advise", "A", "hot", "CSV"))
        client.sync()
        self.assertEqual([l for l in self.bridge.out_lines() if "アイテム" in l], [])

    def test_second_conversation_and_disconnect_order(self):
        first = self.dde_client()
        second = self.dde_client()
        first.call("connect", "KORVEN", "Line1")
        second.call("connect", "KORVEN", "Line1")
        for item in ("Zeta", "Alpha", "Mid"):
            first.call("advise", item)
        second.call("advise", "Mid")
        self.bridge.wait_out(link("Line1", "Mid", 3))
        self.assertEqual(len([l for l in self.bridge.out_lines() if "Mid" in l]), 1)

        # Mid stays linked through the second conversation.
        first.call("disconnect")
        self.bridge.wait_out(unlink("Line1", "Alpha", 1))
        unlinks = [l for l in self.bridge.out_lines() if "リンク解除" in l]
        self.assertEqual(len(unlinks), 2)
        self.assertNotIn(unlink("Line1", "Mid", 0), unlinks)
        second.call("disconnect")
        self.bridge.wait_out(unlink("Line1", "Mid", 0))
        # Items leave in ascending string-handle order: the atoms were made in
        # the order the names were first seen (Zeta, Alpha), so Zeta first.
        self.assertLess(unlinks.index(unlink("Line1", "Zeta", 2)),
                        unlinks.index(unlink("Line1", "Alpha", 1)))

    def test_killed_client_loses_its_links(self):
        # A client process that dies sends no disconnect: the bridge finds its
        # partner window gone and unlinks its items as a disconnect would.
        client = self.connected_client("Line1", "Demo.Fixed", "Demo.Counter")
        self.sim.wait_call("IOPCItemMgt.AddItems")
        os.killpg(client.proc.pid, signal.SIGKILL)
        client.proc.wait(10)
        unlinks = poll(lambda: len(self.unlink_lines()) >= 2 and self.unlink_lines(),
                       what="the dead client's unlink lines")
        # In handle order, whichever that is: the last one leaves no item linked.
        fixed, counter = "Demo.Fixed", "Demo.Counter"
        self.assertIn(unlinks, ([unlink("Line1", fixed, 1), unlink("Line1", counter, 0)],
                                [unlink("Line1", counter, 1), unlink("Line1", fixed, 0)]))
        removed = self.sim.wait_call("IOPCItemMgt.RemoveItems")
        self.assertIn("count=2", removed[0])

    def unlink_lines(self):
        return [l for l in self.bridge.out_lines() if "リンク解除" in l]


class Requests(BridgeTestCase):
    def setUp(self):
        super().setUp()
        self.bridge = self.start_bridge(INI)

    def test_unlinked_item_reads_nothing_in_the_format_asked_and_others_get_no_data(self):
        client = self.connected_client("Line1")
        reply = client.call("request", "Not.Linked", "UNICODETEXT")
        self.assertEqual(data_bytes(reply), "#NOTHING\0".encode("utf-16-le"))
        self.assertIn(b"fmt=13", reply)
        # A spreadsheet's own format is refused; the client then goes on to
        # the next format it knows, in the same conversation.
        self.assertIn(b"DMLERR_NOTPROCESSED", client.call("request", "Not.Linked", "CSV"))
        self.assertEqual(data_bytes(client.call("request", "Not.Linked")), b"#NOTHING\0")
        self.assertEqual([l for l in self.bridge.out_lines() if "アイテム" in l], [])

    def test_linked_item_reads_empty_also_after_its_last_unlink(self):
        client = self.connected_client("Line2")
        client.call("advise", "Flow")
        self.assertEqual(data_bytes(client.call("request", "Flow")), b"#EMPTY\0")
        client.call("unadvise", "Flow")
        self.bridge.wait_out(unlink("Line2", "Flow", 0))
        # Still in the table until the remove pass, 200 ticks later.
        self.assertEqual(data_bytes(client.call("request", "Flow")), b"#EMPTY\0")

    def test_poke_and_execute_are_not_processed(self):
        client = self.connected_client("Line1")
        self.assertIn(b"fack=0", client.call("poke", "A", "42"))
        self.assertIn(b"DMLERR_NOTPROCESSED", client.call("execute", "[Open]"))
        self.assertEqual(self.bridge.err_lines(), [])


class UnicodeRequests(BridgeTestCase):
    scenario = "[server]\nrevise = *:250\n[items]\nGreeting = VT_BSTR; \"Grüße Σ€\"\n"

    def test_value_arrives_whole_in_utf16_where_the_ansi_code_page_cannot_hold_it(self):
        lang = "ja_JP.UTF-8"  # code page 932 has no ü, ß or €
        self.start_bridge(INI, lang=lang)
        client = self.connected_client("Line1", "Greeting")
        empty = "#EMPTY\0".encode("utf-16-le")

        def value():
            reply = client.call("request", "Greeting", "UNICODETEXT")
            return data_bytes(reply) != empty and reply

        reply = poll(value, what="the value of Greeting")
        self.assertEqual(data_bytes(reply), "Grüße Σ€\0".encode("utf-16-le"))
        self.assertIn(b"fmt=13", reply)


class LongAndJapaneseNames(BridgeTestCase):
    def test_255_character_item_links_and_is_logged_whole(self):
        bridge = self.start_bridge(INI)
        name = ("Plant.Area%03d." % 7) + "x" * 240
        name = name[:255]
        client = self.connected_client("Line1")
        self.assertIn(b"ADVISE OK", client.call("advise", name))
        bridge.wait_out(link("Line1", name, 1))

    def test_japanese_item_and_reply_in_code_page_932(self):
        lang = "ja_JP.UTF-8"
        bridge = self.start_bridge("[ライン1]\n", lang=lang)
        bridge.wait_out("情報：「ライン1」のインスタンス生成。")
        client = self.dde_client(lang=lang)
        self.assertIn(b"CONNECT OK", client.call("connect", "KORVEN", "ライン1"))
        client.call("advise", "ボイラー.温度")
        bridge.wait_out(link("ライン1", "ボイラー.温度", 1))
        reply = client.call("request", "未リンク")
        self.assertEqual(data_bytes(reply), b"#NOTHING\0")


if __name__ == "__main__":
    unittest.main()
