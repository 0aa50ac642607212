"""The notification-area icon's pop-up: a right click opens it, and its
"&Exit" ends the bridge just as the File menu's does (the left click that
brings the hidden window back is test_window's)."""
import unittest

from harness import BridgeTestCase, poll, run_windriver
from screenshots import XInput

TRAY = 1024
WM_RBUTTONDOWN = 0x204
XK_E = 0x65

INI = "[Line1]\n[Line2]\n"


class TrayIcon(BridgeTestCase):
    def test_exit_from_the_pop_up_ends_the_bridge_as_the_file_menu_does(self):
        by_menu = self.start_bridge(INI)
        self.assertEqual(by_menu.exit_via_menu(), 0)

        by_tray = self.start_bridge(INI)
        code, lines = run_windriver("post-message", TRAY, 0, WM_RBUTTONDOWN)
        self.assertEqual(code, 0, lines)
        keys = XInput()
        try:
            # The pop-up owns the keyboard while it is open: its one item's
            # mnemonic chooses it. Pressed until the pop-up has come up.
            def ended():
                if by_tray.proc.poll() is not None:
                    return True
                keys.key(XK_E)
                return False
            poll(ended, 20, interval=0.3, what="the bridge to end from the tray pop-up")
        finally:
            keys.close()
        self.assertEqual(by_tray.proc.returncode, 0)
        self.assertEqual(by_tray.out_lines(), by_menu.out_lines())
        self.assertEqual(by_tray.err_lines(), [])
        self.assertEqual(by_tray.out_lines()[-4:], [
            "情報：終了コード(0)。", "情報：「Line1」の解放。", "情報：「Line2」の解放。", "情報：終了。"])


if __name__ == "__main__":
    unittest.main()
