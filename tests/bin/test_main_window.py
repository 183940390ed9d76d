"""The program with its window, used as a person uses it: a simulated board on
loopback, brisko on a configuration with the board plug-in, and every click
and key stroke real X input (xdotool) on an X server of the test's own
(tests/gui/own_display.sh --a11y). The widgets are found as a screen reader
finds them, through the accessibility tree; what the window shows is read
from there too. No window manager runs: focus is given by the test."""

import os
import subprocess
import time
import unittest
import xml.etree.ElementTree as ET

import h5py
import numpy as np
import pyatspi

from test_fenrow import Board, FenrowTest, run, windows
from test_startup import free_port, run_state, wait_until

TITLE = "KorvaneTellum"


def geometry(window):
    values = dict(line.split("=") for line in run("xdotool", "getwindowgeometry", "--shell", str(window)).split())
    return int(values["WIDTH"]), int(values["HEIGHT"])


class Atspi:
    """The widgets of one process as its accessibility tree shows them."""

    def __init__(self, pid):
        self.pid = pid

    def app(self):
        for app in pyatspi.Registry.getDesktop(0):
            try:
                if app is not None and app.get_process_id() == self.pid:
                    return app
            except Exception:
                pass
        return None

    @staticmethod
    def showing(node):
        return node.getState().contains(pyatspi.STATE_SHOWING)

    def all(self, role, name=None, description=None, root=None):
        """Every showing widget of that role (any with None; and name, and
        tooltip) under root."""
        root = root or self.app()
        if root is None:
            return []
        found = []

        def walk(node):
            if node is None or not self.showing(node):
                return
            if ((role is None or node.getRoleName() == role) and (name is None or node.name == name)
                    and (description is None or node.description == description)):
                found.append(node)
            for child in node:
                walk(child)
        try:
            for child in root:
                walk(child)
        except Exception:
            # The tree changes under the walk (a panel rebuilt, a popup
            # gone): the next walk sees it whole.
            return []
        return found

    def find(self, role, name=None, description=None, root=None, seconds=10):
        """The first showing widget that matches, waited for."""
        end = time.monotonic() + seconds
        while True:
            found = self.all(role, name, description, root)
            if found:
                return found[0]
            if time.monotonic() > end:
                raise AssertionError("no %s %r %r within %s s" % (role, name, description, seconds))
            time.sleep(0.1)

    @staticmethod
    def extents(node):
        e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return e.x, e.y, e.width, e.height

    def right_of(self, title, seconds=5):
        """The text of the label shown right of a title label: its value."""
        return self.label_right_of(title, seconds, lambda label: label.name)

    def label_right_of(self, title, seconds=5, take=lambda label: label):
        """The label shown right of a title label, on its line (or what take
        reads of it). Waited for, as the window may be laying itself out
        anew. The label itself, not its text, which a live value changes."""
        end = time.monotonic() + seconds
        while True:
            try:
                x, y, w, h = self.extents(title)
                for label in self.all("label", root=title.parent):
                    lx, ly, _, lh = self.extents(label)
                    if lx >= x + w and abs((ly + lh / 2) - (y + h / 2)) < h / 2:
                        return take(label)
            except Exception:
                pass  # a label gone from the tree between two reads
            if time.monotonic() > end:
                raise AssertionError("nothing right of %r" % title.name)
            time.sleep(0.1)


def click(node):
    x, y, w, h = Atspi.extents(node)
    x, y = x + w // 2, y + h // 2
    here = dict(line.split("=") for line in run("xdotool", "getmouselocation", "--shell").split())
    # xdotool's --sync waits for a motion that a move to where the pointer
    # stands never makes.
    if (int(here["X"]), int(here["Y"])) == (x, y):
        run("xdotool", "click", "1")
    else:
        run("xdotool", "mousemove", "--sync", str(x), str(y), "click", "1")


class MainWindowTest(FenrowTest):
    def quit_from_menu(self, ui, proc):
        click(ui.find("menu item", "File"))
        click(ui.find("menu item", "Quit"))
        try:
            self.assertEqual(proc.wait(timeout=30), 0, self.output())
        except subprocess.TimeoutExpired:
            self.fail("the program did not quit:\n" + self.output())

    def test_a_run_logged_and_watched_through_the_window(self):
        Board(self, "127.0.0.2", self.env, streams=[1], count=0, rate=2000)
        proc = self.start_with_window('<fenrow name="127.0.0.2"><stream name="21" address="127.0.0.2">'
                                      '<ro_mode>serial</ro_mode></stream></fenrow>')
        self.assertTrue(wait_until(lambda: windows(TITLE), 20, 0.2), "no window")
        window = windows(TITLE)[0]
        ui = Atspi(proc.pid)
        self.assertIsNotNone(ui.find("frame", TITLE, seconds=20))
        run_button = ui.find("push button", description="Click for the run-control menu")
        self.assertEqual(run_button.name, "Not Ready")

        # The board answers the first knock: its stream's panel comes.
        module_label = ui.find("label", "21", seconds=15)
        panel = module_label.parent
        trig_title = ui.find("label", "n. trig.", root=panel)
        rate_title = ui.find("label", "rate", root=panel)

        # Logging on: the chooser asks for a file, typed in by name.
        click(ui.find("toggle button", "Log data"))
        self.assertTrue(wait_until(lambda: windows("Output Data File"), 10, 0.1), "no file chooser")
        chooser = windows("Output Data File")[0]
        path = os.path.join(self.home, "events.h5")
        run("xdotool", "windowfocus", "--sync", str(chooser))
        run("xdotool", "type", "--delay", "20", path)
        run("xdotool", "key", "Return")
        self.assertTrue(wait_until(lambda: not windows("Output Data File"), 10, 0.1), "the chooser stays")
        data_frame = ui.find("panel", "Data")
        self.assertTrue(wait_until(lambda: any(l.name.endswith("events.h5")
                                               for l in ui.all("label", root=data_frame)), 5, 0.1),
                        [l.name for l in ui.all("label", root=data_frame)])

        def choose(item, state):
            click(ui.find("push button", description="Click for the run-control menu"))
            click(ui.find("menu item", item))
            self.assertTrue(wait_until(lambda: ui.find("push button", description="Click for the run-control menu")
                                       .name == state, 15, 0.1), "not %s after %s" % (state, item))

        choose("Get Ready", "Ready")
        choose("Start", "Running")

        triggers_title = ui.find("label", "Triggers")
        self.assertTrue(wait_until(lambda: int(ui.right_of(triggers_title)) > 0, 10, 0.2), "no trigger counted")
        first = int(ui.right_of(triggers_title)), int(ui.right_of(trig_title)), float(ui.right_of(rate_title))
        time.sleep(2.2)
        second = int(ui.right_of(triggers_title)), int(ui.right_of(trig_title)), float(ui.right_of(rate_title))
        self.assertGreater(second[0], first[0])
        self.assertGreater(second[1], first[1])
        # The board sends 2000 events a second.
        self.assertGreater(second[2], 500, second)

        # Off the window: a tooltip over it would be no part of its picture.
        run("xdotool", "mousemove", "--sync", "1270", "1015")
        shot = os.path.join(self.home, "window.png")
        run("import", "-window", str(window), shot, timeout=30)
        width, height = geometry(window)
        w, h, colours = run("identify", "-format", "%w %h %k", shot).split()
        self.assertLessEqual(abs(int(w) - width), 4, (w, width))
        self.assertLessEqual(abs(int(h) - height), 4, (h, height))
        self.assertGreater(int(colours), 50)

        choose("Stop", "Ready")
        # The count shown once the refresh has caught up with the end of
        # the run.
        counts = []

        def settled():
            counts.append(int(ui.right_of(triggers_title)))
            return len(counts) > 1 and counts[-1] == counts[-2]
        self.assertTrue(wait_until(settled, 10, 1.2), counts)
        shown = counts[-1]
        self.assertGreater(shown, second[0])

        # The stream's monitor window, opened from its panel and closed
        # with its own Quit (with no window manager it lies over the panel).
        monitor = ui.find("toggle button", description="Push to open or close the monitoring window", root=panel)
        click(monitor)
        self.assertTrue(wait_until(lambda: windows("21"), 10, 0.1), "no monitor window")
        title = run("xdotool", "getwindowname", str(windows("21")[0])).strip()
        self.assertTrue(monitor.getState().contains(pyatspi.STATE_CHECKED))
        click(ui.find("push button", "Quit", root=ui.find("frame", title)))
        self.assertTrue(wait_until(lambda: not windows("21"), 10, 0.1), "the monitor window stays")
        # Its panel's switch says it is closed.
        self.assertTrue(wait_until(lambda: not monitor.getState().contains(pyatspi.STATE_CHECKED), 5, 0.1))

        self.quit_from_menu(ui, proc)

        with h5py.File(path, "r") as f:
            rows = f["/modules/21/data/fenrow"][...]
            self.assertEqual(len(rows), shown)
            self.assertEqual([int(e) for e in rows["evtcnt"]], [i & 0xFFFF for i in range(len(rows))])
            self.assertEqual(int(f["/header/run_records"][1]["nevts"]), len(rows))
        saved = ET.parse(self.default_file).getroot()
        self.assertEqual(saved.find("modules/fenrow/stream").get("name"), "21")

    def test_a_scan_begun_with_logging_on_is_logged_and_ends_showing_its_last_figures(self):
        Board(self, "127.0.0.2", self.env, streams=[1], count=0, rate=1000)
        port = free_port()
        proc = self.start_with_window('<fenrow name="127.0.0.2"><stream name="21" address="127.0.0.2">'
                                      '<ro_mode>serial</ro_mode></stream></fenrow>', port=port,
                                      extra='<scans nevts="200"><scan name="thr"><type name="threshold" '
                                            'from="10" to="50" step="10"/></scan></scans>\n')
        self.assertTrue(wait_until(lambda: windows(TITLE), 20, 0.2), "no window")
        window = windows(TITLE)[0]
        ui = Atspi(proc.pid)
        ui.find("frame", TITLE, seconds=20)
        ui.find("label", "21", seconds=15)

        # Logging on first, then the scan: the file chosen stays.
        click(ui.find("toggle button", "Log data"))
        self.assertTrue(wait_until(lambda: windows("Output Data File"), 10, 0.1), "no file chooser")
        path = os.path.join(self.home, "scan.h5")
        run("xdotool", "windowfocus", "--sync", str(windows("Output Data File")[0]))
        run("xdotool", "type", "--delay", "20", path)
        run("xdotool", "key", "Return")
        data_frame = ui.find("panel", "Data")

        def file_shown():
            return any(l.name == path for l in ui.all("label", root=data_frame))
        self.assertTrue(wait_until(file_shown, 5, 0.1), "no file shown")
        click(ui.find("push button", "Scan"))
        dialog = ui.find("dialog", "Scan configuration", seconds=10)
        click(ui.find("check box", "Do scan", root=dialog))
        click(ui.find("push button", "OK", root=dialog))
        self.assertTrue(wait_until(lambda: not ui.all("dialog", "Scan configuration"), 10, 0.1))
        time.sleep(1.5)   # a refresh or two
        self.assertTrue(file_shown(), [l.name for l in ui.all("label", root=data_frame)])

        run_button = ui.find("push button", description="Click for the run-control menu")
        for item, state in (("Get Ready", "Ready"), ("Start", None)):
            click(run_button)
            click(ui.find("menu item", item))
            if state:
                self.assertTrue(wait_until(lambda: run_button.name == state, 15, 0.1))
        # Five points of 200 at 1000 events a second.
        self.assertTrue(wait_until(lambda: "End of run" in self.output(), 30, 0.1), "the scan did not end")
        self.assertTrue(wait_until(lambda: run_button.name == "Ready", 10, 0.1))
        end = run_state(port)
        status = ui.find("panel", "Status")

        def shown(title):
            return ui.right_of(ui.find("label", title, root=status))
        # As soon as the window says Ready, not a refresh later.
        self.assertEqual(shown("Triggers"), end["nTrigger"])
        seconds = int(float(end["time"]))
        self.assertEqual(shown("Run time"), "0  0:%02d:%02d" % (seconds // 60, seconds % 60))
        # The point the scan ended on, under its title.
        point = [l.name for l in ui.all("label", root=status) if "Threshold" in l.name]
        self.assertEqual(point, ["thr:> Threshold:  50.00 "])
        run("xdotool", "mousemove", "--sync", "1270", "1015")
        run("import", "-window", str(window), os.path.join(os.environ.get("BRISKO_SHOTS", self.home),
                                                           "scan-end.png"), timeout=30)
        self.quit_from_menu(ui, proc)

        with h5py.File(path, "r") as f:
            self.assertEqual(int(f["/scan/def/nevt"][()]), 200)
            starts = f["/scan/points/start"][...]
            self.assertEqual(len(starts), 5)
            times = f["/modules/21/data/time"][...]
            per_point = np.bincount(np.searchsorted(starts, times, side="right") - 1, minlength=5)
            self.assertEqual(list(per_point[:4]), [200] * 4)
            self.assertGreaterEqual(per_point[4], 200)
            self.assertEqual(len(times), int(end["nTrigger"]))

    @staticmethod
    def inside(inner, outer):
        x, y, w, h = inner
        ox, oy, ow, oh = outer
        return ox <= x and oy <= y and x + w <= ox + ow and y + h <= oy + oh

    def test_a_board_defined_once_the_window_is_up_shows_its_panel_whole(self):
        # No board in the configuration: the board that answers the knock is
        # defined through the new-board dialog, and its panel comes late.
        Board(self, "127.0.0.3", self.env)
        proc = self.start_with_window("")
        self.assertTrue(wait_until(lambda: windows(TITLE), 20, 0.2), "no window")
        ui = Atspi(proc.pid)
        frame = ui.find("frame", TITLE, seconds=20)
        dialog = ui.find("dialog", "Config Board", seconds=20)
        click(ui.find("toggle button", "2", root=dialog))
        click(ui.find("push button", "OK", root=dialog))

        panel = ui.find("label", "32", seconds=20).parent
        pane = panel
        while pane is not None and pane.getRoleName() != "scroll pane":
            pane = pane.parent
        self.assertIsNotNone(pane)
        rate = ui.find("label", "rate", root=panel)
        parts = {"rate": rate,
                 "its value": ui.label_right_of(rate),
                 "the local switch": ui.find("toggle button", description="Toggle to set in local or global",
                                             root=panel),
                 "the monitor switch": ui.find("toggle button",
                                               description="Push to open or close the monitoring window",
                                               root=panel)}

        # At the window's own size, once it has taken it: whole, in the
        # window and in the part of the panel row that shows.
        def whole():
            return all(self.inside(Atspi.extents(w), Atspi.extents(pane))
                       and self.inside(Atspi.extents(w), Atspi.extents(frame)) for w in parts.values())
        wait_until(whole, 5, 0.2)
        for what, widget in parts.items():
            self.assertTrue(self.inside(Atspi.extents(widget), Atspi.extents(pane)),
                            "%s %s outside the panel row %s" % (what, Atspi.extents(widget), Atspi.extents(pane)))
            self.assertTrue(self.inside(Atspi.extents(widget), Atspi.extents(frame)),
                            "%s %s outside the window %s" % (what, Atspi.extents(widget), Atspi.extents(frame)))

    def test_a_failed_open_and_a_changed_preference_as_the_operator_finds_them(self):
        # As the demo configuration: no IO element.
        proc = self.start_with_window("")
        self.assertTrue(wait_until(lambda: windows(TITLE), 20, 0.2), "no window")
        ui = Atspi(proc.pid)
        ui.find("frame", TITLE, seconds=20)

        def log_text():
            view = [t for t in ui.all("text", root=ui.find("frame", TITLE))
                    if t.getState().contains(pyatspi.STATE_MULTI_LINE)][0]
            return view.queryText().getText(0, -1)

        # File > Open of a file that does not read: the error, and no word
        # of a loaded file.
        broken = os.path.join(self.home, "broken.xml")
        with open(broken, "w") as f:
            f.write("<Sorbek><modules>")
        click(ui.find("menu item", "File"))
        click(ui.find("menu item", "Open"))
        self.assertTrue(wait_until(lambda: windows("Load config"), 10, 0.1), "no file chooser")
        run("xdotool", "windowfocus", "--sync", str(windows("Load config")[0]))
        run("xdotool", "type", "--delay", "20", broken)
        run("xdotool", "key", "Return")
        alert = ui.find("alert", seconds=15)
        self.assertIn("could not be read", " ".join(l.name for l in ui.all("label", root=alert)))
        self.assertTrue(wait_until(lambda: "Problems parsing " + broken in log_text(), 5, 0.2), log_text())
        self.assertNotIn("Loaded config file", log_text())
        click(ui.find("push button", "Close", root=alert))

        # A preference of the IO section, changed and kept at exit.
        click(ui.find("menu item", "Settings"))
        click(ui.find("menu item", "Preferences"))
        prefs = ui.find("dialog", "Preferences", seconds=10)
        label = ui.find("label", "File prefix", root=prefs)
        entry = [c for c in label.parent if c.getRoleName() == "text"][0]
        click(entry)
        run("xdotool", "key", "ctrl+a")
        run("xdotool", "type", "--delay", "20", "beam-")
        click(ui.find("push button", "OK", root=prefs))
        self.assertTrue(wait_until(lambda: not ui.all("dialog", "Preferences"), 10, 0.1), "the dialog stays")
        self.quit_from_menu(ui, proc)
        saved = ET.parse(self.default_file).getroot()
        self.assertEqual(saved.find("IO").get("prefix"), "beam-")

    def test_switches_without_text_are_found_by_their_names(self):
        Board(self, "127.0.0.2", self.env, streams=[1], count=0, rate=100)
        proc = self.start_with_window('<fenrow name="127.0.0.2"><stream name="21" address="127.0.0.2">'
                                      '<ro_mode>serial</ro_mode></stream></fenrow>')
        ui = Atspi(proc.pid)
        panel = ui.find("label", "21", seconds=30).parent

        # The panel's two image toggles, by what they switch for which module.
        local = ui.find("toggle button", "Local run of 21", root=panel)
        monitor = ui.find("toggle button", "Monitor of 21", root=panel)
        click(monitor)
        self.assertTrue(wait_until(lambda: windows("21 - Data Monitor"), 10, 0.1), "no monitor window")
        # It opens over the panel (no window manager): closed with its Quit.
        click(ui.find("push button", "Quit", root=ui.find("frame", "21 - Data Monitor")))
        self.assertTrue(wait_until(lambda: not monitor.getState().contains(pyatspi.STATE_CHECKED), 10, 0.1))
        click(local)
        self.assertTrue(wait_until(lambda: local.getState().contains(pyatspi.STATE_CHECKED), 5, 0.1))
        click(local)
        self.assertTrue(wait_until(lambda: not local.getState().contains(pyatspi.STATE_CHECKED), 5, 0.1))

        # The refusal of interrupts (no hook is configured), closed as a
        # screen reader closes it: the toolkit goes on with the Close button
        # after its click, which must find it whole (the log would hold
        # GLib's criticals).
        click(ui.find("radio button", "Interrupt"))
        alert = ui.find("alert", seconds=10)
        ui.find("push button", "Close", root=alert).queryAction().doAction(0)
        self.assertTrue(wait_until(lambda: not ui.all("alert"), 10, 0.1), "the refusal stays")

        # Every entry of the scan dialog, the events per point among them.
        click(ui.find("push button", "Scan"))
        dialog = ui.find("dialog", "Scan configuration", seconds=10)
        nevts = ui.find("text", "Nevts/point", root=dialog)
        self.assertGreater(int(nevts.queryText().getText(0, -1)), 0)
        click(ui.find("push button", "Cancel", root=dialog))
        self.assertTrue(wait_until(lambda: not ui.all("dialog", "Scan configuration"), 10, 0.1))

        # The board configuration dialog: the channel cells and the
        # calibration sources, each by a name of its own.
        click(ui.find("push button", description="Click here to change module properties", root=panel))
        self.assertTrue(wait_until(lambda: windows("21 - Module configuration"), 10, 0.1), "no dialog")
        dialog = ui.find("dialog", "21 - Module configuration")
        click(ui.find("page tab", "Chip Settings", root=dialog))
        mask = ui.find(None, "Mask channel 5", root=dialog)
        self.assertEqual(1, len(ui.all(None, "Mask channel 5", root=dialog)))
        self.assertEqual(128, len([c for c in ui.all(None, root=dialog) if c.name.startswith("Mask channel ")]))
        click(mask)
        self.assertTrue(wait_until(lambda: mask.getState().contains(pyatspi.STATE_CHECKED), 5, 0.1))

        click(ui.find("page tab", "Test", root=dialog))
        ui.find(None, "Test channel 127", root=dialog)
        internal, external = (ui.find("radio button", n + " capacitor", root=dialog) for n in ("Internal", "External"))
        click(external)
        self.assertTrue(wait_until(lambda: external.getState().contains(pyatspi.STATE_CHECKED), 5, 0.1))
        self.assertFalse(internal.getState().contains(pyatspi.STATE_CHECKED))
        for name in ("Internal step", "External step"):
            ui.find("radio button", name, root=dialog)
        click(ui.find("page tab", "Threshold", root=dialog))
        self.assertEqual("text", ui.find(None, "Trim channel 0", root=dialog).getRoleName())


if __name__ == "__main__":
    unittest.main()
