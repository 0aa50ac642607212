"""The x64 installer in a Wine prefix of its own (not the tests' session):
a silent install with the simulation server, an upgrade over it, the
installed KORVEN serving an item to the installed DDE client (neither setup
nor uninstall touching it while it runs), and the silent
uninstall, after which nothing of ours is left but the user's working folder;
then an install beside an OPC proxy/stub registered already.

The registry is read from the prefix's files after the wineserver has ended
(it saves them then), so every key of every view is seen at once."""
import os
import re
import shutil
import subprocess
import unittest

from harness import BUILD_DIR, LOG_ENCODING, SOURCE_DIR, kill_process, poll, prefix_processes

VERSION_FILE = os.path.join(SOURCE_DIR, "CMakeLists.txt")
INSTALLER = os.environ.get("KORVEN_INSTALLER", "")
WINE64 = "/usr/lib/wine/wine64"
SESSION = os.path.join(SOURCE_DIR, "scripts", "wine-session.sh")

PROGRAM_DIR = r"C:\Program Files\KORVEN"
WORK_DIR = r"C:\KORVEN work"  # with a blank: Wine passes "/WORKDIR=C:\KORVEN work"
START_MENU = r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\KORVEN"
INSTALLED = {"KORVEN.exe", "KorvenOpcPS.dll", "ddeclient.exe", "windriver.exe", "opcsim.exe",
             "opcbrowse.exe", "KORVEN.sample.ini", "guide-en.txt", "guide-ja.txt",
             "live-viewer.cmd", "uninstall.exe"}
SHORTCUTS = {"KORVEN.lnk", "Live viewer.lnk", "Working folder.lnk", "Guide (English).lnk",
             "ガイド (日本語).lnk"}
SIM_CLSID = "{6E2B1F4A-93C4-4D8A-B1E7-3F5A0C9D2E61}"
SIM2_CLSID = "{ECC7D599-B3D9-4B28-80E9-C9525BD419AF}"  # the simulation's second class
IOPCSERVER = "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"
FOREIGN_PROXY = "{0C0DE000-0000-4000-8000-0000000000CC}"  # the OPC core components' stand-in
UNINSTALL_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\KORVEN"
EXIT_COMMAND = 40007  # the status window's Exit


def project_version():
    with open(VERSION_FILE, encoding="utf-8") as f:
        return re.search(r"project\(KORVEN VERSION (\S+)", f.read()).group(1)


def interface_ids():
    """Every uuid of the OPC interface definitions (the proxy/stub's keys)."""
    with open(os.path.join(SOURCE_DIR, "idl", "OpcDa.idl"), encoding="utf-8") as f:
        return ["{" + u.upper() + "}" for u in re.findall(r"uuid\(([0-9A-Fa-f-]{36})\)", f.read())]


def read_registry(path):
    """A Wine registry file as {key name (lower case): {value name: raw text}}."""
    keys, current = {}, None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            m = re.match(r"^\[(.*)\] \d+", line)
            if m:
                current = keys.setdefault(m.group(1).replace("\\\\", "\\").lower(), {})
            elif current is not None:
                m = re.match(r'^("(?:[^"\\]|\\.)*"|@)=(.*)$', line)
                if m:
                    name = m.group(1).strip('"')
                    current[name] = m.group(2)
    return keys


class FreshPrefix:
    """A new Wine prefix under the build folder, started by the session
    script without the project's registration hooks (so, as on a new
    Windows machine), with its own display; HOME points into it too, because
    a new prefix links the user's Documents to HOME."""

    def __init__(self, root):
        self.root = root
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(os.path.join(root, "home"))
        self.prefix = os.path.join(root, "prefix")
        self.log = open(os.path.join(root, "wine.log"), "ab")
        self.env = dict(os.environ, KORVEN_WINE_DIR=root, KORVEN_WINE_HOOKS="0",
                        WINEPREFIX=self.prefix, WINEDEBUG="-all", HOME=os.path.join(root, "home"),
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        # Unix file names in UTF-8, or the Japanese shortcut cannot be made.
        self.env["LANG"] = "C.UTF-8"
        for name in ("LC_ALL", "LC_CTYPE"):
            self.env.pop(name, None)
        self.start_server()

    def _session(self, command):
        subprocess.run([SESSION, command], stdin=subprocess.DEVNULL, stdout=self.log,
                       stderr=self.log, env=self.env, timeout=180, check=True)

    def start_server(self):
        self._session("start")
        with open(os.path.join(self.root, "display"), encoding="ascii") as f:
            self.env["DISPLAY"] = f.read().strip()

    def stop_server(self):
        """Ends every process of the prefix and the display; the registry
        files are written then."""
        self._session("stop")

    def registry(self):
        self.stop_server()
        keys = read_registry(os.path.join(self.prefix, "system.reg"))  # HKLM
        text = ""
        for name in ("system.reg", "user.reg"):
            with open(os.path.join(self.prefix, name), encoding="utf-8", errors="replace") as f:
                text += f.read()
        self.start_server()
        return keys, text

    def host(self, windows_path):
        """The Unix path of a C: path."""
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.prefix, "drive_c", *windows_path[3:].split("\\"))

    def run(self, *args, timeout=120):
        proc = subprocess.run([WINE64, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=self.env, timeout=timeout)
        return proc.returncode, proc.stdout, proc.stderr

    def popen(self, *args, cwd=None, **streams):
        return subprocess.Popen([WINE64, *args], cwd=cwd, env=self.env, start_new_session=True,
                                **streams)

    def processes(self, exe_name):
        """Unix ids of this prefix's processes running a program of that name."""
        return [pid for pid, program in prefix_processes(self.prefix)
                if program.replace("\\", "/").split("/")[-1].lower() == exe_name.lower()]

    def close(self):
        """Ends the prefix's processes and the display; the prefix goes, the
        logs (wine.log, korven.out) stay."""
        try:
            self.stop_server()
            shutil.rmtree(self.prefix, ignore_errors=True)
            shutil.rmtree(self.env["HOME"], ignore_errors=True)
        finally:
            self.log.close()


@unittest.skipUnless(INSTALLER and os.path.exists(INSTALLER), "the x64 installer is not built")
class SilentInstall(unittest.TestCase):
    def setUp(self):
        self.wine = FreshPrefix(os.path.join(BUILD_DIR, "install-test"))
        self.addCleanup(self.wine.close)

    def install(self, *options):
        code, out, err = self.wine.run("Z:" + INSTALLER.replace("/", "\\"), "/S", *options)
        self.assertEqual(code, 0, (out, err))

    def program_files(self):
        return set(os.listdir(self.wine.host(PROGRAM_DIR)))

    def test_install_upgrade_serve_and_uninstall(self):
        wine = self.wine
        work = wine.host(WORK_DIR)
        ini = os.path.join(work, "KORVEN.ini")

        self.install("/SIM=1", f"/WORKDIR={WORK_DIR}")
        self.assertEqual(self.program_files(), INSTALLED)
        self.assertEqual(set(os.listdir(wine.host(START_MENU))), SHORTCUTS)
        with open(os.path.join(wine.host(PROGRAM_DIR), "KORVEN.sample.ini"), "rb") as f:
            sample = f.read()
        with open(ini, "rb") as f:
            self.assertEqual(f.read(), sample)
        self.assertIn(b"\r\nProgID=Velmora.Ctrl9.1\r\n", sample)
        for guide in ("guide-en.txt", "guide-ja.txt"):
            with open(os.path.join(wine.host(PROGRAM_DIR), guide), "rb") as f:
                self.assertTrue(f.read().startswith(b"\xef\xbb\xbf# "), guide)
        # The shortcut "KORVEN" starts in the working folder.
        with open(os.path.join(wine.host(START_MENU), "KORVEN.lnk"), "rb") as f:
            link = f.read()
        self.assertTrue(WORK_DIR.encode("utf-16-le") in link or WORK_DIR.encode() in link)

        # The user's own INI, and a program of the first install that the
        # upgrade has to replace; the upgrade is a plain "setup /S".
        mine = b"[Plant]\r\nProgID=Korven.OpcSim.1\r\n"
        with open(ini, "wb") as f:
            f.write(mine)
        with open(os.path.join(wine.host(PROGRAM_DIR), "KORVEN.exe"), "wb") as f:
            f.write(b"an older KORVEN.exe")
        self.install()
        with open(ini, "rb") as f:
            self.assertEqual(f.read(), mine)
        staged = os.path.join(BUILD_DIR, "packaging", "stage", f"KORVEN-{project_version()}-x64")
        with open(os.path.join(wine.host(PROGRAM_DIR), "KORVEN.exe"), "rb") as f, \
                open(os.path.join(staged, "KORVEN.exe"), "rb") as packed:
            self.assertEqual(f.read(), packed.read())
        # The working folder came from the first install, not the default.
        self.assertFalse(os.path.exists(os.path.join(wine.env["HOME"], "KORVEN")))

        self.serve_one_value(work)

        keys, _ = wine.registry()
        uninstall = keys[UNINSTALL_KEY.lower()]
        self.assertEqual(uninstall["DisplayName"], f'"KORVEN {project_version()} (x64)"')
        self.assertEqual(uninstall["DisplayVersion"], f'"{project_version()}"')
        self.assertEqual(uninstall["Publisher"], '"KORVEN"')
        self.assertEqual(uninstall["NoModify"], "dword:00000001")
        self.assertEqual(uninstall["NoRepair"], "dword:00000001")
        self.assertEqual(uninstall["InstallLocation"], '"C:\\\\Program Files\\\\KORVEN"')
        self.assertEqual(uninstall["QuietUninstallString"],
                         '"\\"C:\\\\Program Files\\\\KORVEN\\\\uninstall.exe\\" /S"')
        own = keys["software\\korven"]
        self.assertEqual((own["ProxyStub"], own["Simulation"]), ("dword:00000001",) * 2)
        registered = [f"software\\classes\\interface\\{IOPCSERVER.lower()}\\proxystubclsid32",
                      "software\\classes\\korven.opcsim.1\\clsid",
                      "software\\classes\\korven.opcsim2.1\\clsid"]
        self.assertEqual([key for key in registered if key not in keys], [])
        # The bridge's default ProgID belongs to a plant's real server.
        self.assertFalse("software\\classes\\velmora.ctrl9.1" in keys,
                         "the simulation server took Velmora.Ctrl9.1")

        code, out, err = wine.run(PROGRAM_DIR + "\\uninstall.exe", "/S")
        self.assertEqual(code, 0, (out, err))
        # The uninstaller works on from a copy of itself in the temp folder.
        poll(lambda: not os.path.exists(wine.host(PROGRAM_DIR)), 60, what="the program folder to go")
        poll(lambda: not os.path.exists(wine.host(START_MENU)), 10, what="the Start-menu folder to go")
        poll(lambda: not wine.processes("Au_.exe"), 30, what="the uninstaller to end")
        with open(ini, "rb") as f:
            self.assertEqual(f.read(), mine)

        _, text = wine.registry()
        ours = [SIM_CLSID, SIM2_CLSID, *interface_ids(), "Korven.OpcSim", "Velmora.Ctrl9.1",
                "[Software\\\\KORVEN]", "\\\\Uninstall\\\\KORVEN]", "KorvenOpcPS"]
        self.assertEqual([name for name in ours if name.lower() in text.lower()], [],
                         "left in the registry")

        # Where the OPC core components have registered their proxy/stub, ours
        # is neither registered by the install nor is theirs touched by the
        # uninstall.
        theirs = f"Interface\\{IOPCSERVER}\\ProxyStubClsid32"
        code, out, err = wine.run("reg", "add", "HKCR\\" + theirs, "/ve", "/d", FOREIGN_PROXY, "/f")
        self.assertEqual(code, 0, (out, err))
        self.install()
        keys, text = wine.registry()
        self.assertEqual(keys["software\\korven"]["ProxyStub"], "dword:00000000")
        self.assertNotIn("korvenopcps", text.lower())
        code, out, err = wine.run(PROGRAM_DIR + "\\uninstall.exe", "/S")
        self.assertEqual(code, 0, (out, err))
        poll(lambda: not os.path.exists(wine.host(PROGRAM_DIR)), 60, what="the program folder to go")
        poll(lambda: not wine.processes("Au_.exe"), 30, what="the uninstaller to end")
        keys, _ = wine.registry()
        self.assertEqual(keys["software\\classes\\" + theirs.lower()].get("@"), f'"{FOREIGN_PROXY}"')
        self.assertNotIn("software\\korven", keys)

    def serve_one_value(self, work):
        """The installed KORVEN, started in the working folder, serves an item
        of the simulation server (its own ProgID) to the installed ddeclient."""
        wine = self.wine
        out_path = os.path.join(wine.root, "korven.out")
        with open(out_path, "wb") as out:
            bridge = wine.popen(PROGRAM_DIR + "\\KORVEN.exe", cwd=work, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(kill_process, bridge)

        def started():
            with open(out_path, "rb") as f:
                return "情報：スタートアップ完了。" in f.read().decode(LOG_ENCODING, "replace")

        poll(lambda: started() or bridge.poll() is not None, 60, what="KORVEN to start")
        if bridge.poll() is not None:
            with open(out_path, "rb") as f:
                self.fail("KORVEN ended: " + f.read().decode(LOG_ENCODING, "replace"))

        values_path = os.path.join(wine.root, "ddeclient.out")
        with open(values_path, "wb") as out:
            client = wine.popen(PROGRAM_DIR + "\\ddeclient.exe", "KORVEN", "Plant", "advise",
                                "Demo.Counter", "wait", "0", stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT)

        def value_arrived():
            with open(values_path, "rb") as f:
                return re.search(rb"^DATA .*item=Demo\.Counter .* text=\d+\r$", f.read(), re.M)

        try:
            poll(value_arrived, 30, what="a value of Demo.Counter at the DDE client")
        finally:
            kill_process(client)

        # While it runs, neither setup nor uninstall touches the programs.
        installed = set(os.listdir(wine.host(PROGRAM_DIR)))
        self.assertEqual(wine.run("Z:" + INSTALLER.replace("/", "\\"), "/S")[0], 2)
        # The uninstaller works from a copy of itself, whose exit code is not seen.
        wine.run(PROGRAM_DIR + "\\uninstall.exe", "/S")
        poll(lambda: not wine.processes("Au_.exe"), 30, what="the uninstaller to end")
        self.assertEqual(set(os.listdir(wine.host(PROGRAM_DIR))), installed)

        code, out, _ = wine.run(PROGRAM_DIR + "\\windriver.exe", "post-command", str(EXIT_COMMAND),
                                timeout=30)
        self.assertEqual(code, 0, out)
        self.assertEqual(bridge.wait(30), 0)
        # The released simulation server ends by itself.
        poll(lambda: not wine.processes("opcsim.exe"), 30, what="the simulation server to end")


if __name__ == "__main__":
    unittest.main()
