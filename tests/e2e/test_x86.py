"""32-bit programs beside 64-bit ones in one prefix (WoW64), as in the field,
where most OPC servers are 32-bit programs: the x86 KORVEN with the 32-bit
simulation server, and the x64 KORVEN with the 32-bit server. The 32-bit
server sends its values in 16-byte records and marshals through the 32-bit
proxy/stub; the x86 bridge decodes them with 32-bit layouts.

Every case is skipped, with the reason, where the session start found that
32-bit programs cannot run here (e.g. a kernel that does not execute them)."""
import re
import unittest

from harness import (KORVEN_X86_EXE, WINE_DDEML, BridgeTestCase, Simulation, data_bytes,
                     expect_value, wine32_state)

SERVER_32 = "Korven.OpcSim32.1"
INI = f"[Line1]\nProgID={SERVER_32}\n"
JAPANESE = "ja_JP.UTF-8"

# The text of every item of the simulation's default set as the bridge sends
# it under code page 932: the fixed items exactly, the changing ones by what
# any of their values reads like (a counter from its start value up, ...).
DEFAULT_SET = {
    "Demo.Counter": r"\d+",
    "Demo.Ramp": r"\d+(\.5)?",
    "Demo.Switch": r"-1|0",
    "Demo.Text": r"Hello|Gr\S{1,3}e|こんにちは|\(null\)",  # ü and ß as look-alikes
    "Demo.Fixed": r"42",
    "Demo.Walk": r"\d+(\.\d+)?",
    "Demo.Short": r"-?\d+",
    "Demo.Byte": r"\d{1,3}",
    "Demo.Money": r"12\d\d(\.\d{1,4})?",
    "Demo.Date": r"2023/\d{1,2}/\d{1,2} 12:00:00",
    "Demo.Decimal": r"12345678901234567\.89",
    "Demo.Big": r"900719925474\d{4}",
    "Demo.Error": r"#ERR:TEXT\(-2147352571\)",
    "Demo.Array": r"#ERR:TYPE\(VT=8197\)",
    "Demo.Bad": r"0",
}


def setUpModule():
    state, reason = wine32_state()
    if state == "skip":
        raise unittest.SkipTest(f"32-bit programs cannot run here: {reason}")
    if state == "fail":
        raise AssertionError(f"32-bit programs run here, but: {reason}")


class ServerOf32Bits(BridgeTestCase):
    simulation_key = Simulation.REG_KEY_32

    def link_default_set(self):
        """A client linking every item of the default set, once each item
        has sent a text that reads as its type should."""
        client = self.connected_client("Line1", *DEFAULT_SET, lang=JAPANESE)
        for item, pattern in DEFAULT_SET.items():
            expect_value(client, item, re.compile(pattern))
        return client

    def test_x86_bridge_serves_the_32_bit_server(self):
        bridge = self.start_bridge(INI, lang=JAPANESE, exe=KORVEN_X86_EXE)
        self.assertEqual(bridge.out_lines()[1:4], [
            WINE_DDEML, f"情報：「Line1」の設定。 Node= ProgID={SERVER_32}",
            "情報：「Line1」のインスタンス生成。"])
        client = self.link_default_set()
        self.assertEqual(data_bytes(client.call("request", "Demo.Decimal")),
                         b"12345678901234567.89\0")
        self.assertEqual(bridge.exit_via_menu(), 0)
        self.sim.wait_call("IOPCServer.RemoveGroup")

    def test_x64_bridge_takes_the_32_bit_servers_callbacks(self):
        # The 2.0 path: the 32-bit server's callbacks marshalled to the
        # 64-bit bridge through both proxy/stub builds.
        bridge = self.start_bridge(INI + "DataAccess=2.0\n", lang=JAPANESE)
        self.assertIn("情報：「Line1」はDA 2.0のコールバックで値を受け取ります。", bridge.out_lines())
        client = self.link_default_set()
        self.assertEqual(data_bytes(client.call("request", "Demo.Decimal")),
                         b"12345678901234567.89\0")

    def test_x64_bridge_serves_the_32_bit_server(self):
        self.start_bridge(INI, lang=JAPANESE)
        client = self.link_default_set()
        self.assertRegex(data_bytes(client.call("request", "Demo.Big")), rb"^900719925474\d{4}\0$")


if __name__ == "__main__":
    unittest.main()
