"""opcbrowse.exe against the simulation OPC server, both under Wine.

The tool walks the server's address space through IOPCBrowseServerAddressSpace
and reads properties 1 and 5 through IOPCItemProperties: every name, item ID
and type in its output has crossed the process boundary through the
proxy/stub. With /Servers it lists the servers the prefix registers in the OPC
Data Access categories, through the system's category manager.
"""
import os
import re
import unittest

from harness import BUILD_DIR, Simulation, run_tool

OPCBROWSE = os.path.join(BUILD_DIR, "tools", "opcbrowse", "opcbrowse.exe")
PROGID = "Korven.OpcSim.1"

# The default set, by leaf name: its canonical type.
DEFAULT_TYPES = {
    "Array": "VT_ARRAY|VT_R8", "Bad": "VT_I4", "Big": "VT_I8", "Byte": "VT_UI1",
    "Counter": "VT_I4", "Date": "VT_DATE", "Decimal": "VT_DECIMAL", "Error": "VT_ERROR",
    "Fixed": "VT_I4", "Money": "VT_CY", "Ramp": "VT_R8", "Short": "VT_I2",
    "Switch": "VT_BOOL", "Text": "VT_BSTR", "Walk": "VT_R4",
}

NESTED = """[items]
Line1.Boiler.Temp = VT_R8; 20.5
Line1.Boiler.Pressure = VT_R4; 1
Line1.Pump = VT_BOOL; true
Solo = VT_BSTR; "x"
Odd..Name = VT_UI2; 7
"""


class SimulationCase(unittest.TestCase):
    """One simulation folder per test, with the class's scenario."""

    scenario = None

    def setUp(self):
        self.sim = Simulation(self.scenario)

    def tearDown(self):
        self.sim.close()

    def browse(self, *args):
        code, out, err = run_tool(OPCBROWSE, [*args], timeout=60)
        text = out.decode("utf-8")
        self.assertTrue(text.endswith("\r\n"), text)
        return code, text[:-2].split("\r\n"), err


class DefaultBrowseTest(SimulationCase):
    def test_default_items_as_a_tree_and_flat(self):
        code, lines, err = self.browse(PROGID)
        self.assertEqual(code, 0, (lines, err))
        leaves = [f"  LEAF name={name} id=Demo.{name} type={vt} access=read"
                  for name, vt in sorted(DEFAULT_TYPES.items())]
        self.assertEqual(lines, [
            f"SERVER OK progid={PROGID} organization=hierarchical properties=yes",
            "BRANCH name=Demo", *leaves, "END branches=1 leaves=15 code=0"])

        code, lines, err = self.browse(PROGID, "/flat")
        self.assertEqual(code, 0, (lines, err))
        items = [f"ITEM id=Demo.{name} type={vt} access=read"
                 for name, vt in sorted(DEFAULT_TYPES.items())]
        self.assertEqual(lines[1:], [*items, "END items=15 code=0"])


class NestedBrowseTest(SimulationCase):
    scenario = NESTED

    def test_branches_of_branches_root_leaves_and_the_walk_the_server_sees(self):
        code, lines, err = self.browse(PROGID)
        self.assertEqual(code, 0, (lines, err))
        self.assertEqual(lines[1:], [
            "BRANCH name=Line1",
            "  BRANCH name=Boiler",
            "    LEAF name=Pressure id=Line1.Boiler.Pressure type=VT_R4 access=read",
            "    LEAF name=Temp id=Line1.Boiler.Temp type=VT_R8 access=read",
            "  LEAF name=Pump id=Line1.Pump type=VT_BOOL access=read",
            "LEAF name=Odd..Name id=Odd..Name type=VT_UI2 access=read",
            "LEAF name=Solo id=Solo type=VT_BSTR access=read",
            "END branches=2 leaves=5 code=0",
        ])
        moves = [re.search(r"direction=(\d) name=(\S*) -> (0x\w+) position=(\S*)", line).groups()
                 for line in self.sim.calls("IOPCBrowseServerAddressSpace.ChangeBrowsePosition")]
        self.assertEqual(moves, [
            ("2", '"Line1"', "0x00000000", '"Line1"'),
            ("2", '"Boiler"', "0x00000000", '"Line1.Boiler"'),
            ("1", '""', "0x00000000", '"Line1"'),
            ("1", '""', "0x00000000", '""'),
        ])


class ServerListTest(unittest.TestCase):
    """/Servers: the category manager of this prefix, or another computer's OpcEnum."""

    def test_the_servers_registered_here_one_line_each(self):
        # The simulation's two classes, each in categories 1.0 and 2.0 (the
        # first under two ProgIDs, naming Korven.OpcSim.1 as its own).
        code, out, err = run_tool(OPCBROWSE, ["/Servers"], timeout=60)
        self.assertEqual(code, 0, (out, err))
        self.assertEqual(out.decode("utf-8").split("\r\n"), [
            "SERVERS OK",
            "SERVER progid=Korven.OpcSim.1 versions=1.0,2.0 "
            "clsid={6E2B1F4A-93C4-4D8A-B1E7-3F5A0C9D2E61} "
            "text=Korven OPC DA simulation server",
            "SERVER progid=Korven.OpcSim2.1 versions=1.0,2.0 "
            "clsid={ECC7D599-B3D9-4B28-80E9-C9525BD419AF} "
            "text=Korven OPC DA simulation server, second class",
            "END servers=2 code=0", ""])

    def test_another_computer_is_asked_through_its_opcenum(self):
        # Wine has no remote activation: the creation of OpcEnum there fails.
        code, out, _ = run_tool(OPCBROWSE, ["/node=plc-station-2", "/servers"], timeout=60)
        self.assertEqual(code, 1)
        self.assertEqual(out.decode("utf-8").split("\r\n"), [
            "SERVERS FAIL node=plc-station-2 step=create hr=0x80040154 "
            "text=Class not registered",
            "END servers=0 code=1", ""])


class ErrorTest(unittest.TestCase):
    def test_an_unknown_progid_is_a_server_error_and_a_bad_command_line_a_usage_error(self):
        code, out, _ = run_tool(OPCBROWSE, ["No.Such.Server.1"], timeout=60)
        self.assertEqual(code, 1)
        self.assertEqual(out.decode("utf-8").split("\r\n"), [
            "SERVER FAIL progid=No.Such.Server.1 step=progid hr=0x800401F3 "
            "text=Invalid class string",
            "END branches=0 leaves=0 code=1", ""])

        for args, error in [([PROGID, "/Tree"], b"unknown option /Tree"),
                            (["/Servers", PROGID], b"/Servers takes no ProgID: " + PROGID.encode()),
                            (["/Flat", "/Servers"], b"/Servers and /Flat do not go together")]:
            code, out, err = run_tool(OPCBROWSE, args, timeout=60)
            self.assertEqual((code, out), (2, b""), args)
            self.assertTrue(err.startswith(b"USAGE error=" + error + b"\r\n"), err)


if __name__ == "__main__":
    unittest.main()
