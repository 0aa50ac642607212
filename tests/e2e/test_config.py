"""The topic configuration: sections, keys, reserved and duplicate names, and
the start-up failures that end the process with exit code 1."""
import unittest

from harness import BANNER, WINE_DDEML, BridgeTestCase


def settings(section, node="", progid="Velmora.Ctrl9.1"):
    return f"情報：「{section}」の設定。 Node={node} ProgID={progid}"


class Sections(BridgeTestCase):
    def test_reserved_name_after_a_valid_section_stops_start_up(self):
        bridge = self.failed_start("[Line1]\n[system]\nProgID=X\n")
        self.assertEqual(bridge.err_lines(), ["異常：「SYSTEM」は予約されている名前です。"])
        self.assertEqual(bridge.out_lines(), [
            BANNER, WINE_DDEML, settings("Line1"), "情報：「Line1」のインスタンス生成。",
            "情報：「Line1」の解放。", "情報：終了。"])

    def test_keys_are_cut_to_31_characters(self):
        progid = "Vendor.VeryLongServerName.Version.2"
        node = "plant-station-with-a-long-name-07"
        bridge = self.failed_start(f"[Line1]\nProgID={progid}\nNode={node}\n")
        self.assertEqual(bridge.out_lines(), [
            BANNER, WINE_DDEML, settings("Line1", node[:31], progid[:31]), "情報：終了。"])
        self.assertEqual(bridge.err_lines(), [
            f"異常：「Line1」に「{progid[:31]}」が存在しません。(-2147221005)"])

    def test_names_differing_in_case_are_one_topic_and_the_second_is_released(self):
        bridge = self.start_bridge("[Line1]\n[LINE1]\n[Line2]\n")
        lines = bridge.out_lines()
        self.assertEqual(lines[1:9], [WINE_DDEML,
            settings("Line1"), "情報：「Line1」のインスタンス生成。",
            settings("LINE1"), "情報：「LINE1」のインスタンス生成。", "情報：「LINE1」の解放。",
            settings("Line2"), "情報：「Line2」のインスタンス生成。"])
        client = self.connected_client("line1")
        self.assertEqual(bridge.exit_via_menu(), 0)
        released = [l for l in bridge.out_lines() if l.endswith("の解放。")]
        self.assertEqual(len(released), 3)

    def test_topic_name_over_255_characters_is_refused(self):
        name = "T" * 256
        bridge = self.failed_start(f"[Line1]\n[{name}]\n")
        errors = bridge.err_lines()
        self.assertEqual(len(errors), 1)
        self.assertTrue(errors[0].startswith(f"異常：「{name}」"), errors[0])
        self.assertTrue(errors[0].endswith("(-2147024809)"), errors[0])
        self.assertIn("情報：「Line1」の解放。", bridge.out_lines())
        self.assertNotIn(f"情報：「{name}」のインスタンス生成。", bridge.out_lines())

    def test_topic_name_of_255_characters_is_served(self):
        name = "T" * 255
        bridge = self.start_bridge(f"[{name}]\n")
        client = self.connected_client(name)
        self.assertEqual(bridge.exit_via_menu(), 0)

    def test_section_list_longer_than_1024_bytes_is_cut_and_said_so(self):
        # 201 bytes each with the NUL: five fit, the sixth is cut in the list.
        names = ["Long%d_%s" % (i, "x" * 194) for i in range(8)]
        bridge = self.start_bridge("".join(f"[{n}]\n" for n in names))
        seen = [l for l in bridge.out_lines() if l.endswith("ProgID=Velmora.Ctrl9.1")]
        self.assertEqual(seen, [settings(n) for n in names[:5]])
        self.assertEqual(bridge.err_lines(), [
            f"異常：セクションの一覧が長すぎて全部は読めません。最後に読んだセクションは「{names[4]}」。"])
        self.assertEqual(bridge.exit_via_menu(), 0)

    def test_a_key_value_it_cannot_use_stops_the_start_naming_the_values_it_takes(self):
        # Reconnect's range is the unit tests'; here each key's line once.
        for key, value, allowed in (("Reconnect", "3601", "0、または5～3600秒"),
                                    ("DataAccess", "stream", "auto、1.0、2.0"),
                                    ("Quality", "loud", "hide、mark、strict"),
                                    ("Arrays", "csv", "error、tabs")):
            bridge = self.failed_start(f"[Line1]\n{key}={value}\n")
            self.assertEqual(bridge.err_lines(),
                             [f"異常：「Line1」の{key}={value}は使えません。({allowed})"])

    def test_japanese_section_name_is_logged_in_code_page_932(self):
        bridge = self.start_bridge("[第一ライン]\nNode=\n", lang="ja_JP.UTF-8")
        self.assertIn(settings("第一ライン"), bridge.out_lines())
        self.assertIn("情報：「第一ライン」のインスタンス生成。", bridge.out_lines())
        self.assertEqual(bridge.exit_via_menu(), 0)
        self.assertEqual(bridge.err_bytes(), b"")


if __name__ == "__main__":
    unittest.main()
