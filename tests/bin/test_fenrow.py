"""The board plug-in in the program: simulated boards (bin/fenrow_board_sim)
on loopback addresses, brisko --no-gui loading libfenrow from its
configuration, runs driven through the SOAP server with curl, and the run
files and board traffic that result.

Every program runs with a private HOME; the board network, the SOAP server
and the boards use ports found free for the test, on 127.0.0.0/8 only."""

import os
import re
import shlex
import signal
import socket
import subprocess
import tempfile
import shutil
import time
import unittest
import xml.etree.ElementTree as ET

import h5py
import numpy as np

from test_startup import BRISKO, Program, ProgramTest, free_port, run_state, soap, wait_until

PLUGIN = os.environ["FENROW_PLUGIN"]
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BOARD_SIM = os.environ["BOARD_SIM"]
SCHEMA_DIR = os.environ["SCHEMA_DIR"]

# What GLib says of a fault, in a program's log: an assertion of a domain
# the program prints itself ("KorvaneTellum[<domain>]: ... assertion '...'
# failed"), or a critical of any other domain in GLib's own form.
GLIB_CRITICAL = re.compile(r"^KorvaneTellum\[[^\]]*\]: .*assertion '.*' failed$|^.*-CRITICAL \*\*.*$", re.M)

FIRMWARE = 0x010203
KNOCK = 11
START_STOP = 10


_given_ports = set()


def free_udp_port():
    """A UDP port free on 127.0.0.1 and on every address the boards use
    (127.0.0.2 to 127.0.0.15, the loopback broadcast address), which the
    system does not see to when it picks one for 127.0.0.1; never one handed
    out before."""
    for _ in range(200):
        held = []
        try:
            first = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            held.append(first)
            first.bind(("127.0.0.1", 0))
            port = first.getsockname()[1]
            if port in _given_ports:
                continue
            for address in ["127.0.0.%d" % h for h in range(2, 16)] + ["127.255.255.255"]:
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                held.append(s)
                s.bind((address, port))
            _given_ports.add(port)
            return port
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise RuntimeError("no UDP port free on every loopback address")


def board_values(evtcnt, nchan):
    """The values the simulated board sends for an event (its noise source)."""
    state = evtcnt
    out = []
    for _ in range(nchan):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        out.append(2048 + ((state >> 20) & 0x3F) - 32)
    return out


def run(*args, timeout=20):
    """An X tool, bounded: its standard output, or raises on a failure."""
    out = subprocess.run(list(args), capture_output=True, text=True, timeout=timeout)
    if out.returncode != 0:
        raise AssertionError("%s: %d %s" % (" ".join(args), out.returncode, out.stderr))
    return out.stdout


def windows(name):
    """The visible X windows whose title matches name."""
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name],
                         capture_output=True, text=True, timeout=20)
    return [int(w) for w in out.stdout.split()]


class Board:
    """A simulated board process that records every datagram it receives."""

    def __init__(self, test, address, env, streams=(), chips=1, count=0, rate=0.0, on_start=True):
        self.record = os.path.join(test.home, "board-%s.txt" % address)
        args = [BOARD_SIM, "--address", address, "--record", self.record]
        if streams:
            args += ["--mode", "serial", "--streams", ",".join(str(s) for s in streams),
                     "--chips", str(chips), "--count", str(count), "--rate", str(rate),
                     "--wait-host", "60"]
            if on_start:
                args.append("--on-start")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     env=env, text=True)
        self.output = None
        test.addCleanup(self.kill)
        test.assertTrue(wait_until(lambda: os.path.exists(self.record), 10), "the board did not start")

    def datagrams(self):
        """Every datagram received so far, as lists of words."""
        with open(self.record) as f:
            return [[int(w, 16) for w in line.split()] for line in f if line.strip()]

    def commands(self):
        return [d for d in self.datagrams() if len(d) > 1 and d[1] & 0x7F != KNOCK]

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        self.output, _ = self.proc.communicate(timeout=30)
        return self.output

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


class FenrowTest(ProgramTest):
    def setUp(self):
        super().setUp()
        self.env = dict(os.environ)
        self.env.update(FENROW_BIND_ADDRESS="127.0.0.1", FENROW_KNOCK_ADDRESS="127.255.255.255",
                        FENROW_HOST_PORT=str(free_udp_port()), FENROW_TRIGGER_PORT=str(free_udp_port()),
                        FENROW_BOARD_PORT=str(free_udp_port()))
        # The program reads the board network's ports from its environment.
        self._saved = {k: os.environ.get(k) for k in self.env if k.startswith("FENROW_")}
        os.environ.update({k: v for k, v in self.env.items() if k.startswith("FENROW_")})

    def tearDown(self):
        try:
            self.assert_no_glib_critical()
        finally:
            super().tearDown()
            for k, v in self._saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v

    def plugin(self, name="fenrow", module="fenrow", hook="create_Fenrow"):
        return ('<plugin name="%s" module="%s"><lib>%s</lib><hook>%s</hook></plugin>'
                % (name, module, PLUGIN, hook))

    def start_program(self, modules, plugins=None):
        port = free_port()
        given = self.write_config(os.path.join(self.home, "boards.xml"), modules=modules,
                                  plugins=plugins if plugins is not None else self.plugin(),
                                  soap_port=port)
        p = self.start("--no-gui", "--validate", "-s", SCHEMA_DIR, given)
        self.wait_for_soap(port)
        return p, port

    def start_with_window(self, modules, port=None, general="", extra=""):
        """The program with its window (on the test's display), its SOAP
        server on `port` (one found free when none is given); its output
        goes to self.log."""
        port = port or free_port()
        config = self.write_config(os.path.join(self.home, "boards.xml"), modules=modules,
                                   plugins=self.plugin(), soap_port=port, general=general, extra=extra)
        env = dict(self.env, HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   XDG_DATA_HOME=os.path.join(self.home, ".local", "share"),
                   XDG_CACHE_HOME=os.path.join(self.home, ".cache"))
        # As a user's home has it: the file chooser keeps its recent files there.
        os.makedirs(env["XDG_DATA_HOME"], exist_ok=True)
        # A file rather than a pipe: nobody reads it while the window runs.
        # The one of a program before is read here for the last time.
        self.assert_no_glib_critical()
        self.log = os.path.join(self.home, "brisko.log")
        with open(self.log, "w") as out:
            proc = subprocess.Popen([BRISKO, config], stdout=out, stderr=subprocess.STDOUT, env=env)
        self.window_program = proc

        def kill():
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self.addCleanup(kill)
        return proc

    def output(self):
        with open(self.log) as f:
            return f.read()

    def assert_no_glib_critical(self):
        """The log of the program with its window, if there was one, holds
        no GLib critical: each is a fault, wherever it shows. A program still
        running is ended first (SIGTERM, an orderly end), as its output
        reaches the file only then."""
        proc = getattr(self, "window_program", None)
        if proc is None:
            return
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.assertEqual(GLIB_CRITICAL.findall(self.output()), [], "GLib criticals in the program's log")

    def wait_modules(self, port, ids, seconds=30):
        """Boards answer a knock every 5 s: they are registered within two."""
        def there():
            have = [i.text for i in soap(port, "listModules")]
            return all(i in have for i in ids)
        self.assertTrue(wait_until(there, seconds, 0.2), "modules %s did not come" % (ids,))

    def take_run(self, port, stem, done, seconds=60):
        soap(port, "setParameter", object="main", name="command",
             value="logData|file=%s:max_size=0:compression=no" % stem)
        soap(port, "runControl", runManager="main", command="Start")
        self.assertTrue(wait_until(done, seconds, 0.1), "the run did not get its events")
        soap(port, "runControl", runManager="main", command="Stop")
        self.assertTrue(wait_until(lambda: run_state(port)["active"] == "false", 30, 0.1))

    def check_events(self, f, module, stream, count, nchan):
        rows = f["/modules/%s/data/fenrow" % module][...]
        self.assertEqual(len(rows), count, "events of module %s" % module)
        self.assertEqual([int(e) for e in rows["evtcnt"]], [i & 0xFFFF for i in range(count)])
        self.assertTrue(np.all(rows["nchan"] == nchan))
        self.assertTrue(np.all(rows["romode"] == 1))
        # Each stream of the simulator reports its own temperature.
        self.assertTrue(np.all(rows["temp"] == 30.0 + stream), rows["temp"][:5])
        self.assertTrue(np.all(np.diff(rows["time"].astype(np.int64)) >= 0))
        for i in (0, 1, count // 2, count - 1):
            self.assertEqual([int(v) for v in rows["data"][i]], board_values(i, nchan), "event %d" % i)
        self.assertEqual(len(f["/modules/%s/data/time" % module]), count)


def command(code, w2, w3, w1_high=0):
    return [0xCAFE, w1_high << 8 | code, w2, w3, 0xACAB]


def get_ready_sequence(stream, nchips, threshold, hold_delay, vthrh):
    """What a "gp7" stream in serial mode sends when made ready, in order."""
    s = stream << 8
    # Vout off (bit 6); the stream record's polarity 1 (bit 5); nadj 10.
    ro = command(8, s | 0x40 | 0x20 | 1, 10)
    init = command(1, s | 0x10, nchips << 8)
    return ([ro, ro, ro, "config"] + [init]
            + [command(4, s | i, 1460) for i in (1, 2, 3, 4)]
            + [command(2, s, hold_delay), command(3, s | 2, threshold), command(3, s | 4, vthrh),
               command(3, s | 3, 610), command(3, s | 5, 125), command(3, s | 6, 150),
               command(3, s | 7, 50), command(3, s | 8, 50), command(9, s | 1, 0), command(5, s, 20)])


class Boards(FenrowTest):
    def test_one_board_run_of_10000_events(self):
        board = Board(self, "127.0.0.2", self.env, streams=[1], count=10000, rate=5000)
        modules = ('<fenrow name="127.0.0.2" address="10000" interface="em1">'
                   '<stream name="21" address="127.0.0.2"><nchips>1</nchips><chip_type>gp7</chip_type>'
                   '<ro_mode>serial</ro_mode><threshold>77</threshold><hold_delay>120</hold_delay>'
                   '<vthrh>1400</vthrh></stream></fenrow>')
        p, port = self.start_program(modules)
        self.wait_modules(port, ["21"])

        # The first knock goes out while the configuration is read, before
        # "main" exists; the board is registered at its reply and configured
        # once "main" is there, long before the next knock 5 s later: its
        # stream stopped and initialised.
        self.assertTrue(wait_until(lambda: len(board.commands()) >= 2, 10))
        datagrams = board.datagrams()
        first = next(i for i, d in enumerate(datagrams) if d[1] & 0x7F != KNOCK)
        self.assertEqual(sum(1 for d in datagrams[:first] if d[1] & 0x7F == KNOCK), 1)
        self.assertEqual(board.commands()[:2], [command(START_STOP, 0xFF00, 0, 1), command(1, 0x0110, 0x0100)])

        mark = len(board.commands())
        soap(port, "runControl", runManager="main", command="GetReady")
        expected = get_ready_sequence(1, 1, 77, 120, 1400)
        self.assertTrue(wait_until(lambda: len(board.commands()) >= mark + len(expected), 20))
        self.assertTrue(wait_until(lambda: run_state(port)["statusName"] == "Ready", 20, 0.1))
        got = board.commands()[mark:]
        self.assertEqual(len(got), len(expected), got)
        for want, have in zip(expected, got):
            if want == "config":
                # 58 words of a "gp7" chip between the three words and the
                # trailer, all cleared: the chip was configured with nothing.
                self.assertEqual(have[:3], [0xCAFE, 7, 0x0100])
                self.assertEqual(len(have), 58 + 4)
                self.assertEqual(have[-1], 0xACAB)
            else:
                self.assertEqual(have, want, [hex(w) for w in have])

        stem = os.path.join(self.home, "run")
        self.take_run(port, stem, lambda: int(run_state(port, "21")["nTrigger"]) >= 10000)
        state = run_state(port)
        self.assertEqual(p.interrupt(), 0)
        self.assertIn("sent 10000 serial packets of stream 1", board.stop())

        with h5py.File(stem + ".h5", "r") as f:
            self.check_events(f, "21", 1, 10000, 128)
            # threshold, readout mode, adjacent channels, hold delay,
            # coincidence window, trigger type, then the main biases.
            self.assertEqual([int(w) for w in f["/modules/21/configuration"][...]],
                             [FIRMWARE & 0xFFFF, FIRMWARE >> 16, 77, 1, 10, 120, 20, 1, 4,
                              1460, 1460, 1460, 1460])
            self.assertEqual(int(f["/header/run_records"][1]["nevts"]), int(state["eventNumber"]))
        self.assertEqual(int(state["eventNumber"]), 10000)
        # The saved configuration still follows the schema.
        check = subprocess.run(["xmllint", "--noout", "--schema", os.path.join(SCHEMA_DIR, "sorbek.xsd"),
                                self.default_file], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertEqual(p.output.count("Registering module 127.0.0.2\n"), 1)

    def test_two_boards_with_several_streams(self):
        a = Board(self, "127.0.0.2", self.env, streams=[1, 3], count=3000, rate=2000)
        b = Board(self, "127.0.0.3", self.env, streams=[2], chips=2, count=3000, rate=2000)
        modules = ('<fenrow name="127.0.0.2"><stream name="21" address="127.0.0.2"><ro_mode>serial</ro_mode>'
                   '</stream><stream name="23" address="127.0.0.2"><ro_mode>serial</ro_mode></stream></fenrow>'
                   '<fenrow name="127.0.0.3"><stream name="32" address="127.0.0.3"><nchips>2</nchips>'
                   '<ro_mode>serial</ro_mode></stream></fenrow>')
        p, port = self.start_program(modules)
        self.wait_modules(port, ["21", "23", "32"])
        stem = os.path.join(self.home, "two")
        self.take_run(port, stem, lambda: all(int(run_state(port, m)["nTrigger"]) >= 3000 for m in ("21", "23", "32")))
        self.assertEqual(p.interrupt(), 0)
        a.stop()
        b.stop()
        with h5py.File(stem + ".h5", "r") as f:
            self.assertEqual(sorted(f["/modules"].keys()), ["21", "23", "32"])
            self.check_events(f, "21", 1, 3000, 128)
            self.check_events(f, "23", 3, 3000, 128)
            self.check_events(f, "32", 2, 3000, 256)
        # Each board's streams were started and stopped for the run.
        for board, streams in ((a, (1, 3)), (b, (2,))):
            for s in streams:
                starts = [c for c in board.commands() if c[1] == (s << 8 | START_STOP) and c[3] == 1]
                self.assertEqual(len(starts), 1, (s, board.commands()))

    def test_sigint_during_a_board_run_leaves_a_complete_file(self):
        Board(self, "127.0.0.2", self.env, streams=[1], count=0, rate=2000)
        modules = ('<fenrow name="127.0.0.2"><stream name="21" address="127.0.0.2"><ro_mode>serial</ro_mode>'
                   '</stream></fenrow>')
        p, port = self.start_program(modules)
        self.wait_modules(port, ["21"])
        stem = os.path.join(self.home, "cut")
        soap(port, "setParameter", object="main", name="command", value="logData|file=%s:max_size=0" % stem)
        soap(port, "runControl", runManager="main", command="Start")
        self.assertTrue(wait_until(lambda: int(run_state(port)["nTrigger"]) >= 1000, 30, 0.1))
        self.assertEqual(p.interrupt(), 0)
        with h5py.File(stem + ".h5", "r") as f:
            rows = f["/modules/21/data/fenrow"][...]
            records = f["/header/run_records"][...]
            self.assertEqual(len(records), 2)
            self.assertGreaterEqual(len(rows), 1000)
            self.assertEqual(int(records[1]["nevts"]), len(rows))
            self.assertEqual([int(e) for e in rows["evtcnt"]], [i & 0xFFFF for i in range(len(rows))])

    def test_second_instance_reports_the_busy_port_and_leaves_the_board(self):
        Board(self, "127.0.0.2", self.env, streams=[1], count=0, rate=2000)
        modules = ('<fenrow name="127.0.0.2"><stream name="21" address="127.0.0.2"><ro_mode>serial</ro_mode>'
                   '</stream></fenrow>')
        p, port = self.start_program(modules)
        self.wait_modules(port, ["21"])
        soap(port, "runControl", runManager="main", command="Start")
        self.assertTrue(wait_until(lambda: int(run_state(port, "21")["nTrigger"]) >= 500, 30, 0.1))

        # A second program on the same board network, with a home and a
        # SOAP port of its own.
        home = tempfile.mkdtemp(prefix="brisko-second-")
        self.addCleanup(shutil.rmtree, home, True)
        second_port = free_port()
        given = self.write_config(os.path.join(home, "boards.xml"), modules=modules, plugins=self.plugin(),
                                  soap_port=second_port)
        second = Program(home, ["--no-gui", given])
        self.programs.append(second)
        self.wait_for_soap(second_port)
        # The first keeps its board, across a knock of each program.
        counted = int(run_state(port, "21")["nTrigger"])
        time.sleep(6)
        self.assertGreater(int(run_state(port, "21")["nTrigger"]), counted + 5000)
        self.assertEqual([i.text for i in soap(second_port, "listModules")], [])
        self.assertEqual(second.interrupt(), 0)
        self.assertIn(":%s is in use by another program, perhaps another brisko" % self.env["FENROW_HOST_PORT"],
                      second.output)
        self.assertNotIn("Registering module", second.output)

        soap(port, "runControl", runManager="main", command="Stop")
        self.assertEqual(p.interrupt(), 0)
        self.assertEqual(p.output.count("Registering module 127.0.0.2\n"), 1)

    def test_the_readme_simulator_example_runs_as_written(self):
        """Its two commands as a reader copies them, on the test's ports: the
        simulator plays the board of the configuration they name (made from
        the README's board example when it is no file of the sources)."""
        with open(os.path.join(REPO, "README.md")) as f:
            readme = f.read()
        code = [line.strip() for line in readme.splitlines() if line.startswith("    ")]
        sim_line = next(line for line in code if "fenrow_board_sim --address" in line)
        brisko_line = code[code.index(sim_line) - 1]

        def split(line):
            words = [w for w in shlex.split(line) if w != "&"]
            env = dict(w.split("=", 1) for w in words if re.match(r"^[A-Z_]+=", w))
            return env, words[len(env):]
        brisko_env, brisko_words = split(brisko_line)
        sim_env, sim_words = split(sim_line)
        given = os.path.join(REPO, brisko_words[-1])
        if not os.path.exists(given):
            example = re.search(r"\n((?:    +<.*\n)+)", readme[readme.index("## Readout boards"):]).group(1)
            given = os.path.join(self.home, brisko_words[-1])
            with open(given, "w") as f:
                f.write("<Sorbek>\n%s</Sorbek>\n" % example)

        board = subprocess.Popen([BOARD_SIM] + sim_words[1:], env=dict(self.env, **sim_env),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: (board.kill(), board.wait()))
        for name, value in brisko_env.items():
            self.addCleanup(os.environ.__setitem__, name, os.environ[name]) if name in os.environ \
                else self.addCleanup(os.environ.pop, name, None)
            os.environ[name] = value
        port = free_port()
        p = self.start(*brisko_words[1:-1], "--soap-port", str(port), given)
        self.wait_for_soap(port)
        self.wait_modules(port, ["21"])
        self.assertEqual(p.interrupt(), 0)
        self.assertIn("Registering module 127.0.0.2\n", p.output)
        self.assertNotIn("I need to know how to configure board", p.output)

    def test_unknown_board_is_named_and_not_registered(self):
        board = Board(self, "127.0.0.3", self.env)
        p, port = self.start_program("")
        # Three knocks, each asking.
        self.assertTrue(wait_until(lambda: sum(1 for d in board.datagrams() if d[1] & 0x7F == KNOCK) >= 3, 20))
        time.sleep(0.5)
        self.assertEqual([i.text for i in soap(port, "listModules")], [])
        self.assertEqual(p.interrupt(), 0)
        lines = p.output.count("I need to know how to configure board in 127.0.0.3\n")
        self.assertGreaterEqual(lines, 1)
        self.assertLessEqual(lines, 3)
        self.assertNotIn("Registering module", p.output)
        self.assertEqual(board.commands(), [])
        saved = ET.parse(self.default_file).getroot()
        self.assertEqual(list(saved.find("modules")), [])

    def test_refused_settings_are_faults_and_the_run_file_keeps_its_rows(self):
        Board(self, "127.0.0.2", self.env, streams=[1], chips=7, count=2000, rate=4000)
        modules = ('<fenrow name="127.0.0.2"><stream name="21" address="127.0.0.2"><ro_mode>serial</ro_mode>'
                   '</stream></fenrow>')
        p, port = self.start_program(modules)
        self.wait_modules(port, ["21"])

        def refused(obj, name, value):
            with self.assertRaises(RuntimeError) as caught:
                soap(port, "setParameter", object=obj, name=name, value=value)
            return str(caught.exception)

        def nchip():
            return soap(port, "getParameter", object="21", name="nchip").text

        for bad in ("0", "-1", "65535", "2147483647"):
            self.assertEqual(refused("21", "nchip", bad), 'Bad value "%s" for parameter nchip of 21: '
                             '%s chips refused; a stream holds 1 to 255' % (bad, bad))
        self.assertEqual(nchip(), "1")
        soap(port, "setParameter", object="21", name="nchip", value="7")
        stem = os.path.join(self.home, "seven")
        for bad in ("1e9", "-5", "30000000000000000000"):
            self.assertIn('max_size \"%s\" is no whole number of bytes' % bad,
                          refused("main", "command", "logData|file=%s:max_size=%s" % (stem, bad)))
        soap(port, "setParameter", object="main", name="command",
             value="logData|file=%s:max_size=3000000000:compression=no" % stem)
        # The file holds rows of 7 chips until it is closed.
        self.assertIn("the run file %s.h5 is open with the present layout of the rows" % stem,
                      refused("21", "nchip", "1"))
        self.assertIn("the readout mode can change once it is closed", refused("21", "ro_mode", "4"))
        self.assertEqual(nchip(), "7")
        soap(port, "runControl", runManager="main", command="Start")
        self.assertTrue(wait_until(lambda: int(run_state(port, "21")["nTrigger"]) >= 2000, 60, 0.1))
        soap(port, "runControl", runManager="main", command="Stop")
        self.assertTrue(wait_until(lambda: run_state(port)["active"] == "false", 30, 0.1))
        soap(port, "setParameter", object="21", name="nchip", value="1")
        self.assertEqual(p.interrupt(), 0)
        self.assertIn("Module 21: 0 chips refused; a stream holds 1 to 255\n", p.output)
        with h5py.File(stem + ".h5", "r") as f:
            self.check_events(f, "21", 1, 2000, 7 * 128)


class TriggerBoards(FenrowTest):
    def test_trigger_board_is_configured_from_its_element_before_a_run(self):
        board = Board(self, "127.0.0.7", self.env)
        modules = ('<trigger name="127.0.0.7" xsi:type="TriggerBoard"><majority>3</majority>'
                   '<operation>0</operation><mask>1 0 1</mask></trigger>')
        p, port = self.start_program(modules, self.plugin("trg", "trigger", "create_TriggerBoard"))
        self.wait_modules(port, ["71"])
        self.assertEqual(board.commands(), [])
        stem = os.path.join(self.home, "trg")
        self.take_run(port, stem, lambda: len(board.commands()) >= 1, 20)
        self.assertEqual(board.commands()[0], [0xCAFE, 0x4701, 0x0003, 0x0005, 0xACAB])
        self.assertEqual(p.interrupt(), 0)
        saved = ET.parse(self.default_file).getroot()
        element = saved.find("modules/trigger")
        self.assertEqual(element.get("name"), "127.0.0.7")
        self.assertEqual(element.findtext("mask"), "1 0 1 0 0 0 0 0 ")
        self.assertEqual(element.findtext("majority"), "3")


if __name__ == "__main__":
    unittest.main()
