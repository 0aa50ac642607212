"""Start-up, the single instance, the window's close box and the exit command."""
import os
import struct
import unittest

from harness import (BANNER, BUILD_DIR, KORVEN_EXE, WINE_DDEML, BridgeTestCase, fields,
                     run_windriver)


def cp932_lines(*lines):
    return b"".join(line.encode("cp932") + b"\r\n" for line in lines)


class StartAndExit(BridgeTestCase):
    def test_no_configuration_runs_and_ends_on_exit_command(self):
        bridge = self.start_bridge(ini=None)
        path = "Z:" + bridge.dir.replace("/", "\\") + "\\KORVEN.ini"
        none = f"情報：「{path}」に設定されたトピックがありません。"
        self.assertEqual(bridge.out_bytes(),
                         cp932_lines(BANNER, WINE_DDEML, none, "情報：スタートアップ完了。"))
        self.assertEqual(bridge.exit_via_menu(), 0)
        self.assertEqual(bridge.out_bytes(), cp932_lines(
            BANNER, WINE_DDEML, none, "情報：スタートアップ完了。", "情報：終了コード(0)。",
            "情報：終了。"))
        self.assertEqual(bridge.err_bytes(), b"")

    def test_window_sits_in_the_lower_right_corner_and_close_only_hides_it(self):
        bridge = self.start_bridge()
        code, lines = run_windriver("find")
        self.assertEqual(code, 0, lines)
        found = fields(lines[0])
        self.assertEqual(found["visible"], "1")
        left, top, right, bottom = map(int, found["rect"].split(","))
        self.assertEqual((right, bottom), (1280, 1024))  # Xvfb screen, no task bar
        self.assertGreater(right - left, 200)

        code, lines = run_windriver("close", "wait-visible", 0, 5000)
        self.assertEqual(code, 0, lines)
        # Shown again, then hidden by Esc; the bridge runs on all along.
        code, lines = run_windriver("post-message", 0x112, 0xF120, 0, "wait-visible", 1, 5000,
                                    "key-escape", "wait-visible", 0, 5000)
        self.assertEqual(code, 0, lines)
        self.assertIsNone(bridge.proc.poll())
        self.assertEqual(bridge.err_lines(), [])
        self.assertEqual(bridge.exit_via_menu(), 0)

    def test_second_instance_refuses_to_start(self):
        first = self.start_bridge()
        second_dir = self.start_bridge(wait=False)
        self.assertEqual(second_dir.wait_exit(), 1)
        self.assertEqual(second_dir.err_bytes(), cp932_lines("異常：二重起動です。"))
        self.assertEqual(second_dir.out_lines(), [BANNER, "情報：終了。"])
        # One window, the first instance's; the first still runs.
        code, lines = run_windriver("find")
        self.assertEqual(code, 0, lines)
        self.assertIsNone(first.proc.poll())
        self.assertEqual(first.exit_via_menu(), 0)


class Architectures(unittest.TestCase):
    def test_both_architectures_are_built(self):
        def machine(path):
            with open(path, "rb") as f:
                data = f.read(4096)
            pe = struct.unpack_from("<I", data, 0x3C)[0]
            self.assertEqual(data[pe:pe + 4], b"PE\0\0")
            return struct.unpack_from("<H", data, pe + 4)[0]

        self.assertEqual(machine(KORVEN_EXE), 0x8664)
        i686 = os.path.join(os.path.dirname(BUILD_DIR), "i686", "KORVEN.exe")
        self.assertEqual(machine(i686), 0x14C)


if __name__ == "__main__":
    unittest.main()
