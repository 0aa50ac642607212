"""The status window against the simulation server, read and driven from
another process: the fields of the page, the topic tabs, the refresh once a
second also while hidden, the speed and refresh commands as the server sees
them, a server shutdown, always on top and Enter. Screenshots of the window
go to <build>/screenshots."""
import datetime
import time
import unittest

from harness import Bridge, Simulation, fields, poll, run_windriver
from screenshots import XK_LEFT, XK_RIGHT, XInput, png_size, save_window, window_rect

VENDOR = "Acme OPC 試験 «Σ»"
SERVER = f'[server]\nvendor = "{VENDOR}"\nstate = 4\nversion = 65535.1.15\nbandwidth = 4294967295\n'

PAGE_IDS = (1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 1015)
VENDOR_INFO, VERSION, ACTIVE, STATE, BANDWIDTH = 1002, 1003, 1004, 1005, 1006
START_TIME, CURRENT_TIME, LAST_UPDATE = 1007, 1008, 1009
UPDATE_RATE, TIME_BIAS, DEADBAND, LCID, CLIENT_HANDLE, SERVER_HANDLE = 1010, 1011, 1012, 1013, 1014, 1015

ALWAYS_ON_TOP, HIGH, NORMAL, LOW, PAUSE, REFRESH_NOW = 40008, 40011, 40012, 40013, 40014, 40015
WM_COMMAND, WS_EX_TOPMOST, TRAY_CALLBACK, WM_LBUTTONDOWN = 0x111, 0x8, 1024, 513

# Without a window manager Wine paints no caption: the window rectangle starts
# with the frame and the (black) caption, then the menu bar, then the client
# area whose first row is the tab strip. A point inside the first tab:
FIRST_TAB_OFFSET = (20, 55)

TIME_FORMAT = "%Y/%m/%d %H:%M:%S"
SETSTATE_REFUSED = "異常：「{}」グループのアクティブ／非アクティブ設定に失敗。"


# The simulation server's journal ---------------------------------------------

def parse(line):
    """seq, ms, call, arguments and results of one journal line."""
    seq, ms, call, rest = line.split(" ", 3) if line.count(" ") >= 3 else (*line.split(" "), "")
    args, _, results = rest.partition("-> ")
    code, _, results = results.partition(" ")
    return {"seq": int(seq), "ms": int(ms), "call": call, "args": fields(args), "hr": code,
            "results": fields(results)}


def journal(sim, *calls):
    return [e for e in map(parse, sim.journal()) if not calls or e["call"] in calls]


def hex8(value):
    return "0x%08X" % int(value)


# The page as another process reads it ----------------------------------------

def read_page():
    """Every field of the page, read in one run of the window driver: texts
    decoded from their UTF-16 form, the check box as its state number."""
    args = []
    for control in PAGE_IDS:
        args += ["check" if control == ACTIVE else "text", control]
    code, lines = run_windriver(*args)
    if code != 0:
        raise AssertionError(f"windriver could not read the page: {lines}")
    page = {}
    for line in lines:
        f = fields(line)
        if line.startswith("CHECK OK"):
            page[int(f["id"])] = int(f["state"])
        elif line.startswith("TEXT OK"):
            page[int(f["id"])] = bytes.fromhex(f["utf16"]).decode("utf-16-le")
    return page


def wait_page(predicate, what, timeout=5.0):
    """The page once predicate holds for it."""
    found = []

    def check():
        page = read_page()
        found[:] = [page]
        return predicate(page) and page

    try:
        return poll(check, timeout, interval=0.05, what=what)
    except AssertionError as error:
        raise AssertionError(f"{error}; page {found[0] if found else None}") from None


def windriver(*args):
    code, lines = run_windriver(*args)
    if code != 0:
        raise AssertionError(f"windriver {args} failed: {lines}")
    return lines


def counting_window(seconds):
    """Lets time pass for a count of calls over a known span."""
    time.sleep(seconds)


def local_time(text):
    return datetime.datetime.strptime(text, TIME_FORMAT)


class SharedBridge(unittest.TestCase):
    """One simulation folder and one bridge for every test of the class."""

    scenario = None
    ini = None
    exit_via_menu = False  # the bridge is killed at the end, which is quicker

    @classmethod
    def setUpClass(cls):
        cls.sim = Simulation(cls.scenario)
        cls.started = datetime.datetime.now().replace(microsecond=0)
        cls.bridge = Bridge(cls.ini)
        try:
            cls.bridge.wait_started()
            added = journal(cls.sim, "IOPCServer.AddGroup")
            # Topic names by the client group handle (the topic's atom).
            cls.topics = {int(e["args"]["hClientGroup"]): e["args"]["name"].strip('"') for e in added}
            cls.handles = sorted(cls.topics)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        bridge = getattr(cls, "bridge", None)
        try:
            if bridge and cls.exit_via_menu and bridge.proc.poll() is None:
                assert bridge.exit_via_menu() == 0
        finally:
            if bridge:
                bridge.close()
            cls.sim.close()

    def post(self, command):
        self.bridge.post_command(command)

    def wait_journal(self, call, after, what=None, **want):
        """The first line of call after sequence number after whose arguments
        and results hold the wanted values."""
        def match():
            for e in journal(self.sim, call):
                if e["seq"] > after and all(
                        {**e["args"], **e["results"]}.get(k) == str(v) for k, v in want.items()):
                    return e
            return None
        return poll(match, 10, what=what or f"{call} {want} after #{after}")

    def last_seq(self):
        lines = self.sim.journal()
        return parse(lines[-1])["seq"] if lines else 0

    def assertNoErrors(self):
        self.assertEqual(self.bridge.err_lines(), [])


class StatusWindow(SharedBridge):
    """Three topics on one simulation server with a known status; the server
    grants 1500 ms when asked for 1000 ms. The tests run in their numbered
    order and each leaves the first tab selected, at Normal, the window shown."""

    scenario = SERVER + "revise = 1000:1500\n"
    # Neither in name order nor in reverse: the tabs follow the topics' atoms.
    ini = "[Zeta]\n[Alpha]\nProgID=Korven.OpcSim.1\n[Mid]\n"
    exit_via_menu = True

    input = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            cls.input = XInput()
        except unittest.SkipTest:
            pass

    @classmethod
    def tearDownClass(cls):
        if cls.input:
            cls.input.close()
        super().tearDownClass()

    def latest_state(self, handle):
        states = [e for e in journal(self.sim, "IOPCGroupStateMgt.GetState")
                  if e["results"].get("hClientGroup") == str(handle)]
        self.assertTrue(states, f"no GetState for group {handle}")
        return states[-1]["results"]

    def shows(self, handle):
        return lambda page: page[CLIENT_HANDLE] == hex8(handle)

    def need_input(self):
        if self.input is None:
            self.skipTest("no XTEST input on the display")

    def focus_tabs(self):
        """A click on the selected first tab: gives the tab control the
        keyboard focus and changes nothing."""
        left, top, _, _ = window_rect()
        self.input.click(left + FIRST_TAB_OFFSET[0], top + FIRST_TAB_OFFSET[1])

    def test_1_page_shows_the_first_topic_with_every_field(self):
        self.assertEqual(len(self.handles), 3)
        first = self.handles[0]
        page = wait_page(self.shows(first), "the first topic's page")
        now = datetime.datetime.now()
        self.assertEqual(page[VENDOR_INFO], VENDOR)  # wide text, not through the code page
        self.assertEqual(page[VERSION], "65535.1.15")
        self.assertEqual(page[STATE], "SUSPENDED")
        self.assertEqual(page[BANDWIDTH], "4294967295")
        start, current, last = (local_time(page[i]) for i in (START_TIME, CURRENT_TIME, LAST_UPDATE))
        slack = datetime.timedelta(seconds=2)
        self.assertTrue(self.started - slack <= start <= current <= now + slack, (start, current, now))
        self.assertLessEqual(now - current, datetime.timedelta(seconds=3))  # at most a second old
        self.assertTrue(start <= last <= current, (start, last, current))
        # The group parameters are the server's answer to the last GetState.
        state = self.latest_state(first)
        self.assertEqual(page[ACTIVE], 1)
        self.assertEqual(state["active"], "1")
        self.assertEqual(page[UPDATE_RATE], state["rate"])
        self.assertEqual(page[UPDATE_RATE], "3000")
        self.assertEqual(page[TIME_BIAS], state["timeBias"])
        self.assertEqual(page[DEADBAND], "0.000")
        self.assertEqual(page[LCID], hex8(state["lcid"]))
        self.assertEqual(page[CLIENT_HANDLE], hex8(first))
        self.assertRegex(page[CLIENT_HANDLE], r"^0x0000C[0-9A-F]{3}$")  # upper-case digits
        self.assertEqual(page[SERVER_HANDLE], hex8(state["hServerGroup"]))
        self.assertEqual(page[SERVER_HANDLE], "0x00000001")
        left, top, right, bottom = window_rect()
        path = save_window("status-first-topic", (left, top, right, bottom))
        self.assertEqual(png_size(path), (right - left, bottom - top))
        self.assertNoErrors()

    def test_2_tabs_follow_the_topic_handles_and_a_change_shows_at_once(self):
        self.need_input()
        first, second, third = self.handles
        wait_page(self.shows(first), "the first topic at start")
        # The first topic at Low, so the pages differ in more than the handle.
        before = self.last_seq()
        self.post(LOW)
        self.wait_journal("IOPCGroupStateMgt.SetState", before, rate=5000, hClientGroup=first)
        wait_page(lambda p: p[UPDATE_RATE] == "5000", "Low on the first topic")
        self.focus_tabs()

        def change_tab(keysym, handle, rate):
            self.input.key(keysym)
            page = wait_page(self.shows(handle), f"the page of topic {self.topics[handle]}")
            self.assertEqual(page[UPDATE_RATE], rate)
            self.assertEqual(page[VENDOR_INFO], VENDOR)
            self.assertEqual(page[SERVER_HANDLE], hex8(self.latest_state(handle)["hServerGroup"]))

        change_tab(XK_RIGHT, second, "3000")
        path = save_window("status-tab-change")
        self.assertTrue(png_size(path)[0] > 200)
        change_tab(XK_RIGHT, third, "3000")
        change_tab(XK_LEFT, second, "3000")
        change_tab(XK_LEFT, first, "5000")
        # A burst of changes: each shows its topic's last snapshot at once and
        # asks for a new one unless one is still out; the page ends on the
        # tab the burst ends on.
        for keysym in (XK_RIGHT, XK_LEFT) * 3:
            self.input.key(keysym)
        wait_page(self.shows(first), "the first tab after the burst")
        # Only the first topic's group was changed.
        set_states = journal(self.sim, "IOPCGroupStateMgt.SetState")
        self.assertEqual({e["args"]["hClientGroup"] for e in set_states}, {str(first)})
        before = self.last_seq()
        self.post(NORMAL)
        self.wait_journal("IOPCGroupStateMgt.SetState", before, rate=3000, active=1)
        self.assertNoErrors()

    def test_3_every_connected_group_is_refreshed_once_a_second_also_hidden(self):
        windriver("close", "wait-visible", 0, 5000)
        try:
            mark = self.last_seq()
            begin = parse(self.sim.journal()[-1])["ms"]
            span = 4000
            # Counting window: four seconds of the server's own clock.
            poll(lambda: parse(self.sim.journal()[-1])["ms"] >= begin + span + 1000, span / 1000 + 10,
                 interval=0.2, what="four seconds of journal")
            calls = [e for e in journal(self.sim, "IOPCServer.GetStatus", "IOPCGroupStateMgt.GetState")
                     if e["seq"] > mark and begin < e["ms"] <= begin + span]
            per_group = {h: sum(1 for e in calls if e["results"].get("hClientGroup") == str(h))
                         for h in self.handles}
            for handle, count in per_group.items():
                # Four expected; a loaded machine may let one timer message slip.
                self.assertIn(count, (2, 3, 4, 5), f"GetState of {self.topics[handle]}: {per_group}")
            # Each snapshot is a status read and a state read: as many of
            # each (the topics ask side by side, each from its own thread).
            statuses = [e for e in calls if e["call"] == "IOPCServer.GetStatus"]
            self.assertIn(len(statuses), range(len(calls) // 2 - 3, len(calls) // 2 + 4))
        finally:
            # A left click on the tray icon brings the window back.
            windriver("post-message", TRAY_CALLBACK, 0, WM_LBUTTONDOWN, "wait-visible", 1, 5000)
        self.assertNoErrors()

    def test_4_speed_commands_reach_the_selected_group(self):
        first = self.handles[0]
        expected = [  # command, rate sent, active sent, rate granted, page rate, page check
            (HIGH, 1000, 1, "0x0004000D", 1500, 1),
            (LOW, 5000, 1, "0x00000000", 5000, 1),
            (PAUSE, 5000, 0, "0x00000000", 5000, 0),  # the rate stays while paused
            (NORMAL, 3000, 1, "0x00000000", 3000, 1),
        ]
        for command, rate, active, code, granted, check in expected:
            with self.subTest(command=command):
                before = self.last_seq()
                self.post(command)
                e = self.wait_journal("IOPCGroupStateMgt.SetState", before)
                self.assertEqual(e["args"], {"rate": str(rate), "active": str(active), "timeBias": "0",
                                             "deadband": "0.000000", "lcid": "0",
                                             "hClientGroup": str(first)})
                self.assertEqual((e["hr"], e["results"]["revisedRate"]), (code, str(granted)))
                page = wait_page(lambda p: p[UPDATE_RATE] == str(granted) and p[ACTIVE] == check,
                                 f"rate {granted} and Active {check} on the page")
                self.assertEqual(page[CLIENT_HANDLE], hex8(first))
                # One call per command.
                self.assertEqual(len([x for x in journal(self.sim, "IOPCGroupStateMgt.SetState")
                                      if x["seq"] > before]), 1)
        self.assertNoErrors()

    def test_5_refresh_now_answers_through_the_stream_and_not_while_paused(self):
        first = self.handles[0]
        before = self.last_seq()
        self.post(REFRESH_NOW)
        refresh = self.wait_journal("IOPCAsyncIO.Refresh", before)
        self.assertEqual((refresh["args"]["source"], refresh["hr"]), ("2", "0x00000000"))
        self.wait_journal("Send.OnDataChange", refresh["seq"], connection=refresh["args"]["connection"],
                          transaction=refresh["results"]["transaction"], hClientGroup=first)
        # Paused, the server refuses; the bridge ignores the refusal.
        self.post(PAUSE)
        self.wait_journal("IOPCGroupStateMgt.SetState", before, active=0)
        mark = self.last_seq()
        self.post(REFRESH_NOW)
        refused = self.wait_journal("IOPCAsyncIO.Refresh", mark)
        self.assertEqual(refused["hr"], "0x80004005")
        self.post(NORMAL)
        self.wait_journal("IOPCGroupStateMgt.SetState", mark, active=1, rate=3000)
        self.assertEqual([e for e in journal(self.sim, "Send.OnDataChange")
                          if e["seq"] > mark and e["args"]["transaction"] != "0"], [])
        self.assertIsNone(self.bridge.proc.poll())
        self.assertNoErrors()

    def test_6_always_on_top_toggles_and_ok_does_nothing(self):
        def topmost():
            return int(fields(windriver("exstyle")[0])["value"], 16) & WS_EX_TOPMOST

        self.assertEqual(topmost(), 0)
        self.post(ALWAYS_ON_TOP)
        poll(topmost, 5, what="WS_EX_TOPMOST")
        # IDOK, then a posted toggle behind it: once that has run, so has IDOK.
        windriver("post-message", WM_COMMAND, 1, 0, "post-command", ALWAYS_ON_TOP)
        poll(lambda: not topmost(), 5, what="WS_EX_TOPMOST cleared")
        self.assertEqual(fields(windriver("find")[0])["visible"], "1")
        self.assertIsNone(self.bridge.proc.poll())
        self.assertNoErrors()


class ServerShutdown(SharedBridge):
    scenario = SERVER
    ini = "[Line1]\n[Line2]\n"

    def test_page_of_a_released_group_and_no_more_calls(self):
        first = self.handles[0]
        before = wait_page(lambda p: p[CLIENT_HANDLE] == hex8(first) and p[STATE] == "SUSPENDED",
                           "the connected page")
        self.sim.command("shutdown maintenance")
        for handle in self.handles:
            self.bridge.wait_out(f"情報：「{self.topics[handle]}」シャットダウン。(maintenance)")
        page = wait_page(lambda p: p[STATE] == "UNKNOWN", "UNKNOWN after the shutdown")
        self.assertEqual((page[ACTIVE], page[CLIENT_HANDLE], page[SERVER_HANDLE]),
                         (0, "0x00000000", "0x00000000"))
        for kept in (VENDOR_INFO, VERSION, BANDWIDTH, START_TIME, UPDATE_RATE, TIME_BIAS, DEADBAND, LCID):
            self.assertEqual(page[kept], before[kept], kept)
        path = save_window("status-disconnected")
        self.assertTrue(png_size(path)[0] > 200)

        # No call for a released group; the commands only record the mode.
        self.sim.wait_call("IOPCServer.RemoveGroup", len(self.handles))
        mark = self.last_seq()
        # Behind the two commands a toggle whose effect shows that they ran.
        windriver("post-command", HIGH, "post-command", REFRESH_NOW, "post-command", ALWAYS_ON_TOP)
        poll(lambda: int(fields(windriver("exstyle")[0])["value"], 16) & WS_EX_TOPMOST, 5,
             what="the commands to run")
        self.post(ALWAYS_ON_TOP)
        counting_window(2.5)  # two ticks of the status timer at least
        late = [e["call"] for e in journal(self.sim) if e["seq"] > mark]
        for call in ("IOPCServer.GetStatus", "IOPCGroupStateMgt.GetState",
                     "IOPCGroupStateMgt.SetState", "IOPCAsyncIO.Refresh"):
            self.assertNotIn(call, late)
        # Nothing is read any more: even the current time stays as last read.
        # Only the requested rate of High was recorded, unchecked by a server.
        self.assertEqual(read_page(), {**page, UPDATE_RATE: "1000"})
        self.assertNoErrors()


class RefusedSetState(SharedBridge):
    scenario = SERVER + "[faults]\nsetState = 0x80004005\n"
    ini = "[Line1]\n"

    def test_one_error_line_per_command_and_the_server_values_return(self):
        line = SETSTATE_REFUSED.format("Line1")
        before = self.last_seq()
        # Both in the queue at once, so no status refresh comes between them.
        windriver("post-command", HIGH, "post-command", PAUSE)
        poll(lambda: self.bridge.err_lines().count(line) >= 2, 10, what="a second error line")
        refused = [e for e in journal(self.sim, "IOPCGroupStateMgt.SetState") if e["seq"] > before]
        self.assertEqual([(e["args"]["rate"], e["args"]["active"], e["hr"]) for e in refused],
                         [("1000", "1", "0x80004005"), ("1000", "0", "0x80004005")])
        # The next refresh shows the server's own rate and state again.
        mark = self.last_seq()
        self.wait_journal("IOPCGroupStateMgt.GetState", mark)
        page = wait_page(lambda p: p[UPDATE_RATE] == "3000" and p[ACTIVE] == 1, "the server's values")
        self.assertEqual(page[STATE], "SUSPENDED")
        self.assertEqual(self.bridge.err_lines(), [line, line])


if __name__ == "__main__":
    unittest.main()
