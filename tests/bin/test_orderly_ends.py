"""The orderly ends of the program with its window, at random moments of a
logged run: SIGTERM, SIGHUP, File > Quit, the window manager's close, and
SIGINT (which with the window only says so: the run goes on until another
end). SIGTERM and SIGHUP come now and then while a dialog waits for its
answer (Help > About). A simulated board on loopback sends 2,000 events a
second; after each end the program has exited with status 0 and its run
file opens with h5py and holds every event its run record counts, each once
and in order. A pedestal run ended so leaves the configuration saved with
the settings the operator had, never those the run set for itself.

The X server is the test's own and has no window manager
(tests/gui/own_display.sh); the window manager's close is its
WM_DELETE_WINDOW message, sent by tests/gui/x_wm_delete. The moments are
drawn from a seed printed with each failure."""

import os
import random
import signal
import subprocess
import time
import unittest

import xml.etree.ElementTree as ET

import h5py
import numpy as np

from test_fenrow import Board, FenrowTest, run, windows
from test_main_window import Atspi, click
from test_startup import free_port, run_state, soap, wait_until

X_WM_DELETE = os.environ["X_WM_DELETE"]
TITLE = "KorvaneTellum"
STREAM = '<fenrow name="127.0.0.2"><stream name="21" address="127.0.0.2"><ro_mode>serial</ro_mode></stream></fenrow>'
ENDS = ("SIGTERM", "SIGHUP", "File > Quit", "window manager's close", "SIGINT, then SIGTERM")
# Repetitions begin until this many seconds have passed, each end at least once.
BUDGET = 50.0


class OrderlyEnds(FenrowTest):
    def launch(self, stream=STREAM, general=""):
        port = free_port()
        proc = self.start_with_window(stream, port, general)
        self.wait_for_soap(port)
        self.wait_modules(port, ["21"])
        self.assertTrue(wait_until(lambda: windows(TITLE), 20, 0.1), "no window")
        return proc, port, windows(TITLE)[0]

    def choose(self, window, menu, item, done):
        """A menu item chosen by its keys (alt+menu, then item), until
        done(); a menu that takes a moment to open on a loaded machine is
        closed and opened again."""
        for _ in range(5):
            run("xdotool", "windowfocus", "--sync", str(window))
            run("xdotool", "key", "alt+" + menu)
            time.sleep(0.2)
            run("xdotool", "key", item)
            if wait_until(done, 3, 0.05):
                return
            run("xdotool", "key", "Escape", "Escape")
        self.fail("alt+%s, %s did nothing" % (menu, item))

    def end(self, how, proc, port, window, running):
        if how in ("SIGTERM", "SIGHUP"):
            proc.send_signal(getattr(signal, how))
        elif how == "File > Quit":
            self.choose(window, "f", "q", lambda: proc.poll() is not None)
        elif how == "window manager's close":
            run(X_WM_DELETE, str(window))
        else:
            proc.send_signal(signal.SIGINT)
            self.assertTrue(wait_until(lambda: "Arrrgggg !!!!!" in self.output(), 10, 0.05))
            self.assertFalse(wait_until(lambda: proc.poll() is not None, 1, 0.05), "SIGINT ended the program")
            if running:
                self.assertEqual(run_state(port)["statusName"], "Running")
            proc.send_signal(signal.SIGTERM)

    def check_file(self, path, written):
        with h5py.File(path, "r") as f:
            rows = f["/modules/21/data/fenrow"][...]
            times = f["/modules/21/data/time"]
            counted = int(f["/header/run_records"][1]["nevts"])
            self.assertEqual(len(rows), counted)
            self.assertEqual(len(times), len(rows))
            self.assertGreaterEqual(len(rows), written)
            if len(rows):
                counts = rows["evtcnt"].astype(np.int64)
                self.assertTrue(np.all(np.diff(counts) % 65536 == 1), "events missing or twice")

    def test_each_end_at_random_moments_leaves_a_readable_complete_file(self):
        seed = int(os.environ.get("ORDERLY_ENDS_SEED", time.time_ns() % 1000000))
        draw = random.Random(seed)
        Board(self, "127.0.0.2", self.env, streams=[1], count=0, rate=2000)
        began = time.monotonic()
        n = 0
        while n < len(ENDS) or (time.monotonic() - began < BUDGET and n < 40):
            how = ENDS[n % len(ENDS)]
            # Now and then logging on and no run yet; else some way into the run.
            running = draw.random() > 0.15
            wait = draw.uniform(0.0, 1.5)
            dialog = how in ("SIGTERM", "SIGHUP") and (n == 0 or draw.random() < 0.4)
            with self.subTest(repetition=n, end=how, running=running, wait=round(wait, 3), dialog=dialog, seed=seed):
                proc, port, window = self.launch()
                try:
                    stem = os.path.join(self.home, "run-%d" % n)
                    soap(port, "setParameter", object="main", name="command",
                         value="logData|file=%s:max_size=0" % stem)
                    if running:
                        soap(port, "runControl", runManager="main", command="Start")
                    if dialog:
                        self.choose(window, "h", "a", lambda: windows("Korvane Systems"))
                    time.sleep(wait)
                    written = int(run_state(port)["nWritten"])
                    self.end(how, proc, port, window, running)
                    try:
                        self.assertEqual(proc.wait(timeout=30), 0, self.output())
                    except subprocess.TimeoutExpired:
                        self.fail("the program did not end:\n" + self.output())
                finally:
                    # The next program needs the board.
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                self.assertIn("\nDone\n", self.output())
                self.check_file(stem + ".h5", written)
            n += 1

    def test_a_pedestal_run_ended_with_the_program_saves_the_settings_it_found(self):
        # Pedestals of the stream's own, trigger type 1: the run takes trigger
        # type 3, placeholder pedestals 2048 and noise 1, and the general
        # section's sample size for its length, until its end.
        peds = [460.0 + 80.0 * i / 127 for i in range(128)]
        stream = ('<fenrow name="127.0.0.2"><stream name="21" address="127.0.0.2"><ro_mode>serial</ro_mode>'
                  '<trg_type>1</trg_type><pedestal>%s</pedestal><noise>%s</noise></stream></fenrow>'
                  % (" ".join("%g" % p for p in peds), " ".join(["3"] * 128)))
        general = "<pedestals><nevts>1000000</nevts><min_sample>300</min_sample></pedestals>"
        Board(self, "127.0.0.2", self.env, streams=[1], count=0, rate=1000)
        for how in ("SIGTERM", "File > Quit", "window manager's close"):
            with self.subTest(end=how):
                proc, port, window = self.launch(stream, general)
                try:
                    click(Atspi(proc.pid).find("push button", "Pedestal", seconds=20))
                    self.assertTrue(wait_until(lambda: int(run_state(port)["nTrigger"]) >= 500, 20, 0.1),
                                    "the pedestal run took no events")
                    self.end(how, proc, port, window, True)
                    self.assertEqual(proc.wait(timeout=30), 0, self.output())
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                saved = ET.parse(self.default_file).getroot()
                element = saved.find("modules/fenrow/stream")
                self.assertEqual(element.findtext("trg_type"), "1")
                self.assertEqual(saved.findtext("general/pedestals/min_sample"), "300")
                ped = [float(v) for v in element.findtext("pedestal").split()]
                noise = [float(v) for v in element.findtext("noise").split()]
                self.assertEqual((len(ped), len(noise)), (128, 128))
                # As the run took them from the board's values, 2016 to 2079.
                self.assertTrue(all(2016 <= p <= 2079 for p in ped), ped)
                self.assertNotEqual(ped, [2048.0] * 128)
                self.assertTrue(all(n > 1.0 for n in noise), noise)


if __name__ == "__main__":
    unittest.main()
