"""The program started as users start it: options, configuration file,
SOAP control, runs into files, signals and kills, full disks, and the
configuration saved at exit.

Every program runs with a private HOME; the SOAP server listens on loopback
on a port found free for the test. Runs are driven with curl, as a remote
client would."""

import glob
import os
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

BRISKO = os.environ["BRISKO"]
PLUGIN = os.environ["SYNTHETIC_PLUGIN"]
ASCIIDUMP = os.environ.get("ASCIIDUMP_PLUGIN", "libasciidump.so")
SOAP_NS = "http://schemas.xmlsoap.org/soap/envelope/"
DEMO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bin", "demo.sh"))


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_until(cond, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(step)
    return cond()


def soap(port, operation, **args):
    """One SOAP call with curl; the <return> element, or raises on a fault."""
    env = ET.Element("{%s}Envelope" % SOAP_NS)
    body = ET.SubElement(env, "{%s}Body" % SOAP_NS)
    op = ET.SubElement(body, operation)
    for name, value in args.items():
        ET.SubElement(op, name).text = str(value)
    request = ET.tostring(env, encoding="unicode")
    out = subprocess.run(
        ["curl", "-s", "-m", "30", "-H", "Content-Type: text/xml; charset=utf-8",
         "--data-binary", request, "http://127.0.0.1:%d/" % port],
        capture_output=True, text=True)
    if out.returncode != 0:
        raise ConnectionError("curl: %d %s" % (out.returncode, out.stderr))
    reply = ET.fromstring(out.stdout)
    fault = reply.find(".//{%s}Fault" % SOAP_NS)
    if fault is not None:
        raise RuntimeError(fault.findtext("faultstring"))
    return reply.find(".//return")


def run_state(port, name="main"):
    ret = soap(port, "getRunState", object=name)
    return {child.tag: child.text for child in ret}


class Program:
    """brisko on its own private HOME."""

    def __init__(self, home, args, preexec_fn=None):
        self.home = home
        env = dict(os.environ)
        env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"))
        env.pop("DISPLAY", None)
        self.proc = subprocess.Popen([BRISKO] + args, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env, text=True,
                                     preexec_fn=preexec_fn)
        self.output = None

    def catches(self, signum=signal.SIGINT):
        """Whether the program has its handler for the signal yet."""
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                caught = next(l for l in f if l.startswith("SigCgt:")).split()[1]
        except (OSError, StopIteration):
            return False
        return bool(int(caught, 16) >> (signum - 1) & 1)

    def interrupt(self, timeout=60, signum=signal.SIGINT):
        """SIGINT (or another signal), then wait for the exit; the exit code."""
        self.proc.send_signal(signum)
        self.output, _ = self.proc.communicate(timeout=timeout)
        return self.proc.returncode

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


class ProgramTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="brisko-program-")
        self.config_dir = os.path.join(self.home, ".config", "Tellum")
        self.default_file = os.path.join(self.config_dir, "brisko.xml")
        self.programs = []
        self.mounts = []

    def tearDown(self):
        for p in self.programs:
            p.kill()
        for m in self.mounts:
            subprocess.run(["umount", m], capture_output=True)
        shutil.rmtree(self.home, ignore_errors=True)

    def start(self, *args, preexec_fn=None):
        p = Program(self.home, list(args), preexec_fn)
        self.programs.append(p)
        return p

    def write_config(self, path, modules="", plugins="", soap_port=None, extra="", general=""):
        daq = general
        if soap_port is not None:
            daq += "<daq><soap_port>%d</soap_port></daq>" % soap_port
        with open(path, "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                    '<Sorbek xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
                    'xsi:noNamespaceSchemaLocation="sorbek.xsd">\n'
                    "<plugins>%s</plugins>\n<modules>%s</modules>\n<general>%s</general>\n%s"
                    "</Sorbek>\n" % (plugins, modules, daq, extra))
        return path

    def wait_for_soap(self, port):
        def up():
            try:
                run_state(port)
                return True
            except (ConnectionError, RuntimeError, ET.ParseError):
                return False
        self.assertTrue(wait_until(up, 20), "the SOAP server did not answer")


class StartUp(ProgramTest):
    def test_no_argument_and_no_default_file(self):
        port = free_port()
        p = self.start("--no-gui", "--soap-port", str(port))
        self.wait_for_soap(port)
        self.assertEqual(p.interrupt(), 0)
        out = p.output
        self.assertIn(self.default_file + " not found.\n", out)
        self.assertIn("I will need a configuration file.\nusage:\n\tbrisko [config_file]\n", out)
        self.assertIn("\nArrrgggg !!!!!\n", out)
        self.assertIn("Saving current configuration in " + self.default_file, out)
        self.assertTrue(out.rstrip().endswith("Done"), out)
        saved = ET.parse(self.default_file).getroot()
        self.assertEqual(saved.tag, "Sorbek")
        self.assertEqual(saved.findtext("general/daq/soap_port"), str(port))

    def test_no_cfg_starts_empty_and_keeps_the_old_default_file(self):
        os.makedirs(self.config_dir)
        original = self.write_config(self.default_file, extra="<!-- the user's own -->\n")
        with open(original) as f:
            before = f.read()
        port = free_port()
        p = self.start("--no-gui", "--no-cfg", "--soap-port", str(port))
        self.wait_for_soap(port)
        self.assertEqual(p.interrupt(), 0)
        self.assertNotIn("not found.", p.output)
        with open(self.default_file + ".bak") as f:
            self.assertEqual(f.read(), before)
        self.assertIn("brisko.xml.bak", p.output)

    def test_loaded_file_untouched_and_default_file_written(self):
        given = self.write_config(os.path.join(self.home, "given.xml"),
                                  extra='<IO run_number="42"/>\n')
        with open(given) as f:
            before = f.read()
        port = free_port()
        p = self.start("--no-gui", "--soap-port", str(port), given)
        self.wait_for_soap(port)
        self.assertEqual(p.interrupt(), 0)
        with open(given) as f:
            self.assertEqual(f.read(), before)
        saved = ET.parse(self.default_file).getroot()
        self.assertEqual(saved.find("IO").get("run_number"), "42")

    def test_soap_port_in_use_keeps_the_configured_port(self):
        busy = socket.socket()
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        port = busy.getsockname()[1]
        try:
            given = self.write_config(os.path.join(self.home, "c.xml"), soap_port=50321)
            p = self.start("--no-gui", "--soap-port", str(port), given)
            # No server to wait for: an interrupt before its handler would
            # end the program with no shut-down to look at.
            self.assertTrue(wait_until(p.catches, 30, 0.1))
            time.sleep(1.0)
            self.assertEqual(p.interrupt(), 0)
        finally:
            busy.close()
        self.assertIn("**** Could not start the SOAP server ******\n\t", p.output)
        saved = ET.parse(self.default_file).getroot()
        self.assertEqual(saved.findtext("general/daq/soap_port"), "50321")

    def test_two_config_paths_search_in_order(self):
        a = os.path.join(self.home, "A")
        b = os.path.join(self.home, "B")
        os.makedirs(a)
        os.makedirs(b)
        self.write_config(os.path.join(b, "x.xml"), extra='<IO run_number="7"/>\n')
        port = free_port()
        p = self.start("--no-gui", "-c", a, "--config-path", b, "--soap-port", str(port), "x.xml")
        self.wait_for_soap(port)
        self.assertEqual(p.interrupt(), 0)
        self.assertEqual(ET.parse(self.default_file).getroot().find("IO").get("run_number"), "7")

    def test_unparsable_file_quits_with_status_1(self):
        bad = os.path.join(self.home, "bad.xml")
        with open(bad, "w") as f:
            f.write("<Sorbek><unclosed></Sorbek>")
        p = self.start("--no-gui", bad)
        p.output, _ = p.proc.communicate(timeout=30)
        self.assertEqual(p.proc.returncode, 1)
        self.assertIn("brisko: Problems parsing " + bad + "\n Quitting brisko", p.output)
        self.assertFalse(os.path.exists(self.default_file))

    def test_the_window_without_a_display_quits_with_status_1(self):
        for args in ([], ["--gui"]):
            with self.subTest(args=args):
                p = self.start(*args)
                p.output, _ = p.proc.communicate(timeout=30)
                self.assertEqual(p.proc.returncode, 1)
                self.assertIn("brisko: cannot open the window: no display", p.output)
                # Not even the per-user folders are made.
                self.assertEqual(os.listdir(self.home), [])

    def test_the_demo_runs_on_a_home_of_its_own(self):
        """bin/demo.sh with stand-ins for the program and the simulator: the
        program's home has the XDG folders a user's has (the file chooser
        keeps its recent files there), and the user's own are out of reach."""
        build = os.path.join(self.home, "build")
        os.makedirs(os.path.join(build, "bin"))
        for name, body in (("brisko", 'env > "$HOME/env.txt"'), ("fenrow_board_sim", "exec sleep 60")):
            path = os.path.join(build, "bin", name)
            with open(path, "w") as f:
                f.write("#!/bin/sh\n%s\n" % body)
            os.chmod(path, 0o755)
        demo_home = os.path.join(self.home, "demo")
        user = os.path.join(self.home, "user")
        env = dict(os.environ, BRISKO_DEMO_HOME=demo_home, XDG_CONFIG_HOME=user + "/config",
                   XDG_DATA_HOME=user + "/data", XDG_CACHE_HOME=user + "/cache")
        out = subprocess.run(["sh", DEMO, build], env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        with open(os.path.join(demo_home, "env.txt")) as f:
            seen = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        self.assertEqual(seen["HOME"], demo_home)
        for name, default in (("XDG_CONFIG_HOME", ".config"), ("XDG_DATA_HOME", ".local/share"),
                              ("XDG_CACHE_HOME", ".cache")):
            folder = seen.get(name, os.path.join(demo_home, default))
            self.assertTrue(folder.startswith(demo_home + "/") and os.path.isdir(folder), (name, folder))
        self.assertFalse(os.path.exists(user))

    def test_soap_port_that_is_no_port_is_refused(self):
        for word in ("abc", "0", "70000", "-1", "12abc", ""):
            with self.subTest(port=word):
                p = self.start("--no-gui", "--soap-port", word)
                p.output, _ = p.proc.communicate(timeout=30)
                self.assertEqual(p.proc.returncode, 1, p.output)
                self.assertIn("brisko: --soap-port %s refused: " % word, p.output)
                self.assertIn("a port is a number from 1 to 65535", p.output)
                self.assertNotIn("SOAP server listening", p.output)
                self.assertEqual(os.listdir(self.home), [])

    def test_bad_options_do_not_stop_the_program(self):
        port = free_port()
        p = self.start("--no-gui", "--soap-port", str(port), "-h", "--ior", "x")
        self.wait_for_soap(port)
        self.assertEqual(p.interrupt(), 0)
        self.assertIn("[Ughhhh !!!!]", p.output)


PLUGINS = ('<plugin name="synthetic" module="synthetic"><lib>%s</lib>'
           "<hook>synthetic_section</hook></plugin>" % PLUGIN)
NATIVE = "<data_logger><lib>%s</lib><hook>native_logger</hook><options/></data_logger>" % PLUGIN
TEXT = ("<run_managers><data><lib>%s</lib><hook>create_run_manager</hook></data></run_managers>"
        "<data_logger><lib>%s</lib><hook>create_ascii_logger</hook></data_logger>" % (ASCIIDUMP, ASCIIDUMP))
H5_ROWS = ("import h5py,sys\n"
           "f=h5py.File(sys.argv[1],'r')\n"
           "seq=[int(r['seq']) for r in f['/modules/7/data/synthetic']]\n"
           "assert seq==list(range(len(seq))), seq[:10]\n"
           "assert len(f['/modules/7/data/time'])==len(seq)\n"
           "print(len(seq), int(f['/header/run_records'][1]['nevts']))\n")


def h5_rows(path):
    """The event rows of a run file and the events its run record counts,
    read with h5py; raises when the file does not read."""
    out = subprocess.run(["/usr/bin/python3", "-c", H5_ROWS, path], capture_output=True, text=True)
    if out.returncode != 0:
        raise AssertionError("%s does not read: %s" % (path, out.stderr))
    rows, counted = out.stdout.split()
    return int(rows), int(counted)


def native_records(path):
    """The records of a native run file, walked as a reader walks them: the
    kind of each ("event", or 1 to 8 for a side record) and the sequence
    numbers of the events; raises unless it ends with its last whole record."""
    with open(path, "rb") as f:
        data = f.read()
    kinds, seqs, pos = [], [], 0
    while pos + 4 <= len(data):
        word = struct.unpack_from("<I", data, pos)[0]
        if word & 0xFFFF == 0xCAFE:           # an event record
            size = struct.unpack_from("<I", data, pos + 12)[0]
            seqs.append(struct.unpack_from("<I", data, pos + 16)[0])
            kinds.append("event")
        elif word >> 16 == 0xCAFE:            # a side record
            size = 4 * (word & 0xFFF)
            kinds.append((word >> 12) & 0xF)
        else:
            raise AssertionError("%s: no record at byte %d" % (path, pos))
        if size == 0 or pos + size > len(data):
            raise AssertionError("%s: a record cut at byte %d" % (path, pos))
        pos += size
    if pos != len(data):
        raise AssertionError("%s: %d bytes after the last record" % (path, len(data) - pos))
    return kinds, seqs


class RunProgramTest(ProgramTest):
    def start_with_module(self, mode="trigger", native=False, loggers="", rate=2000, preexec_fn=None,
                          layout="synthetic"):
        port = free_port()
        modules = ('<synthetic name="7" mode="%s" rate="%d" nchip="1" nchan="8" layout="%s"/>'
                   % (mode, rate, layout))
        plugins = PLUGINS + (NATIVE if native else "") + loggers
        given = self.write_config(os.path.join(self.home, "run.xml"), modules=modules,
                                  plugins=plugins, soap_port=port)
        p = self.start("--no-gui", given, preexec_fn=preexec_fn)
        self.wait_for_soap(port)
        self.assertIn("7", [i.text for i in soap(port, "listModules")])
        return p, port

    def take_run(self, port, stem, events):
        soap(port, "setParameter", object="main", name="command",
             value="logData|file=%s:max_size=0:compression=no" % stem)
        soap(port, "runControl", runManager="main", command="Start")
        self.assertTrue(wait_until(lambda: int(run_state(port)["nTrigger"]) >= events, 30))
        soap(port, "runControl", runManager="main", command="Stop")
        self.assertTrue(wait_until(lambda: run_state(port)["active"] == "false", 30))
        return run_state(port)


class Runs(RunProgramTest):
    def test_run_into_hdf5(self):
        p, port = self.start_with_module()
        stem = os.path.join(self.home, "run")
        state = self.take_run(port, stem, 500)
        self.assertEqual(p.interrupt(), 0)
        events = int(state["eventNumber"])
        dump = subprocess.run(["h5dump", "-H", stem + ".h5"], capture_output=True, text=True)
        self.assertEqual(dump.returncode, 0, dump.stderr)
        for path in ('GROUP "header"', 'DATASET "run_records"', 'GROUP "modules"', 'GROUP "7"',
                     'DATASET "configuration"', 'GROUP "pedestal"', 'DATASET "pedestal"',
                     'DATASET "noise"', 'GROUP "data"', 'DATASET "synthetic"', 'DATASET "time"'):
            self.assertIn(path, dump.stdout)
        check = subprocess.run(
            ["/usr/bin/python3", "-c",
             "import h5py,sys\n"
             "f=h5py.File(sys.argv[1],'r')\n"
             "rows=f['/modules/7/data/synthetic']\n"
             "seq=[int(r['seq']) for r in rows]\n"
             "assert seq==list(range(len(seq))), seq[:10]\n"
             "assert all(list(r['adc'])==[100.0+i for i in range(8)] for r in rows)\n"
             "assert len(f['/modules/7/data/time'])==len(seq)\n"
             "assert len(f['/header/run_records'])==2\n"
             "print(len(seq))\n", stem + ".h5"],
            capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertEqual(int(check.stdout), events)

    def test_run_into_native_binary_file(self):
        p, port = self.start_with_module(native=True)
        stem = os.path.join(self.home, "run")
        state = self.take_run(port, stem, 300)
        self.assertEqual(p.interrupt(), 0)
        kinds, seqs = native_records(stem + ".data")
        self.assertEqual(kinds[0], 1)             # run header
        self.assertEqual(kinds[-1], 3)            # run tail
        self.assertIn(4, kinds)                   # pedestals
        self.assertEqual(seqs, list(range(len(seqs))))
        self.assertEqual(len(seqs), int(state["eventNumber"]))

    def test_sigint_during_a_run_leaves_a_complete_file(self):
        p, port = self.start_with_module(mode="timed")
        stem = os.path.join(self.home, "cut")
        soap(port, "setParameter", object="main", name="command",
             value="logData|file=%s:max_size=0" % stem)
        soap(port, "runControl", runManager="main", command="Start")
        self.assertTrue(wait_until(lambda: int(run_state(port)["nTrigger"]) >= 200, 30))
        self.assertEqual(p.interrupt(), 0)
        check = subprocess.run(
            ["/usr/bin/python3", "-c",
             "import h5py,sys\n"
             "f=h5py.File(sys.argv[1],'r')\n"
             "n=len(f['/modules/7/data/synthetic'])\n"
             "assert n>=200 and len(f['/header/run_records'])==2\n"
             "assert f['/header/run_records'][1]['nevts']==n, (f['/header/run_records'][1], n)\n",
             stem + ".h5"],
            capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stderr)


class RunFiles(RunProgramTest):
    def small_disk(self):
        """A folder for run files with room for 64 KiB: a file system of its
        own when this process may mount one (CI runs as root), else a limit
        on the size of each file the program writes. The folder, the
        program's preexec_fn, and whether the room is shared by files."""
        folder = os.path.join(self.home, "disk")
        os.makedirs(folder)
        if os.geteuid() == 0:
            mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder],
                                   capture_output=True)
            if mount.returncode == 0:
                self.mounts.append(folder)
                return folder, None, True

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
        return folder, limit, False

    def test_log_data_is_answered_at_once_and_a_missing_folder_is_refused(self):
        p, port = self.start_with_module(mode="timed")
        missing = os.path.join(self.home, "no", "such", "run")
        command = "logData|file=%s"
        with self.assertRaisesRegex(RuntimeError, "no/such/run: .*No such file or directory"):
            soap(port, "setParameter", object="main", name="command", value=command % missing)
        soap(port, "runControl", runManager="main", command="Start")
        self.assertTrue(wait_until(lambda: int(run_state(port)["nTrigger"]) >= 100, 30))
        with self.assertRaisesRegex(RuntimeError, "no/such/run: .*No such file or directory"):
            soap(port, "setParameter", object="main", name="command", value=command % missing)
        # A good file, during the run, is taken at once (for the next run).
        later = os.path.join(self.home, "later")
        os.makedirs(later)
        sent = time.monotonic()
        soap(port, "setParameter", object="main", name="command", value=command % os.path.join(later, "next"))
        self.assertLess(time.monotonic() - sent, 1.0)
        # Its folder gone before that run opens it, the run counts no event
        # as written.
        soap(port, "runControl", runManager="main", command="Stop")
        self.assertTrue(wait_until(lambda: run_state(port)["active"] == "false", 30, 0.1))
        os.rmdir(later)
        soap(port, "runControl", runManager="main", command="Start")
        self.assertTrue(wait_until(lambda: int(run_state(port)["nTrigger"]) >= 100, 30))
        self.assertEqual(run_state(port)["nWritten"], "0")
        self.assertEqual(p.interrupt(), 0)

    def test_sigterm_and_sighup_end_a_run_as_sigint_does(self):
        os.makedirs(self.config_dir)
        for signum in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signum.name):
                own = self.write_config(self.default_file, extra="<!-- the user's own -->\n")
                with open(own) as f:
                    before = f.read()
                p, port = self.start_with_module(mode="timed")
                stem = os.path.join(self.home, signum.name)
                soap(port, "setParameter", object="main", name="command", value="logData|file=%s" % stem)
                soap(port, "runControl", runManager="main", command="Start")
                self.assertTrue(wait_until(lambda: int(run_state(port)["nTrigger"]) >= 200, 30))
                self.assertEqual(p.interrupt(signum=signum), 0)
                self.assertTrue(p.output.rstrip().endswith("Done"), p.output)
                rows, counted = h5_rows(stem + ".h5")
                self.assertGreaterEqual(rows, 200)
                self.assertEqual(rows, counted)
                # Saved over the user's file, which is kept, though another was loaded.
                saved = ET.parse(self.default_file).getroot()
                self.assertEqual(saved.findtext("general/daq/soap_port"), str(port))
                with open(self.default_file + ".bak") as f:
                    self.assertEqual(f.read(), before)

    def test_a_killed_run_leaves_the_events_older_than_two_seconds(self):
        p, port = self.start_with_module(mode="timed")
        stem = os.path.join(self.home, "killed")
        soap(port, "setParameter", object="main", name="command", value="logData|file=%s" % stem)
        soap(port, "runControl", runManager="main", command="Start")
        self.assertTrue(wait_until(lambda: int(run_state(port)["nTrigger"]) >= 2000, 30))
        older = int(run_state(port)["eventNumber"])
        time.sleep(2.0)
        p.proc.kill()
        p.proc.communicate()
        rows, counted = h5_rows(stem + ".h5")
        self.assertGreaterEqual(rows, older)
        self.assertEqual(rows, counted)
        dump = subprocess.run(["h5dump", stem + ".h5"], capture_output=True, text=True)
        self.assertEqual(dump.returncode, 0, dump.stderr)

    def test_a_full_disk_ends_the_logging_loudly_in_each_format(self):
        folder, preexec_fn, shared = self.small_disk()
        for fmt, loggers in (("h5", ""), ("data", NATIVE), ("txt", TEXT)):
            with self.subTest(format=fmt):
                p, port = self.start_with_module(mode="timed", loggers=loggers, rate=20000,
                                                 preexec_fn=preexec_fn,
                                                 layout="text" if fmt == "txt" else "synthetic")
                stem = os.path.join(folder, "run")
                # On a shared disk the run goes on in new files until none fits.
                soap(port, "setParameter", object="main", name="command",
                     value="logData|file=%s:max_size=%d" % (stem, 16384 if shared else 0))
                soap(port, "runControl", runManager="main", command="Start")

                def stopped_counting():
                    a = run_state(port)
                    time.sleep(0.3)
                    b = run_state(port)
                    return (int(a["nWritten"]) > 0 and a["nWritten"] == b["nWritten"]
                            and int(b["nTrigger"]) > int(a["nTrigger"]))
                self.assertTrue(wait_until(stopped_counting, 30))
                soap(port, "runControl", runManager="main", command="Stop")
                self.assertTrue(wait_until(lambda: run_state(port)["active"] == "false", 30))
                self.assertEqual(p.interrupt(), 0)

                errors = [l for l in p.output.splitlines() if l.startswith("Could not write")]
                self.assertEqual(len(errors), 1, p.output)
                self.assertRegex(errors[0], r"^Could not write the run file %s\S*\.%s: "
                                 r"(No space left on device|File too large);" % (re.escape(stem), fmt))
                self.assertNotIn("HDF5-DIAG", p.output)
                files = glob.glob(stem + "*")
                self.assertTrue(files)
                for path in files:
                    self.assertGreater(os.path.getsize(path), 0, path)
                    if fmt == "h5":
                        h5_rows(path)
                    elif fmt == "data":
                        self.assertEqual(native_records(path)[0][0], 1, path)
                    else:
                        with open(path) as f:
                            self.assertTrue(f.read().endswith("\n"), path)
                    os.remove(path)


if __name__ == "__main__":
    unittest.main()
