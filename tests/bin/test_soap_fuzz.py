"""A fuzzer of the SOAP server in the program: brisko --no-gui from the build,
with a simulated board (stream module 21) and a synthetic module (7), driven
by several clients at once with every operation, object and parameter the
server lists, values at the edges, hostile texts and logData options, and
run-control commands in random orders, checked against a model of the run
states.

A failure is a crash, a sanitizer's report in the program's output, an answer
that is no SOAP envelope, a run state or an accepted or refused command the
model cannot explain, a setting answered with a fault that changed the value,
or an "ok" for a value that changed nothing. It names the seed and the
requests that led to it: the last ones in the message, all of them in a file.

    BRISKO_FUZZ_SEED     the seed (default 43)
    BRISKO_FUZZ_SECONDS  how long it fuzzes (default 30)

A long run, say ten minutes:
    BRISKO_FUZZ_SECONDS=600 BRISKO_FUZZ_SEED=7 ctest --test-dir build-asan -R program_soap_fuzz --output-on-failure
"""

import http.client
import math
import os
import random
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

from test_fenrow import BRISKO, Board, FenrowTest
from test_startup import PLUGINS as SYNTHETIC_PLUGINS, free_port, wait_until

SEED = int(os.environ.get("BRISKO_FUZZ_SEED", "43"))
SECONDS = float(os.environ.get("BRISKO_FUZZ_SECONDS", "30"))
NS = "http://schemas.xmlsoap.org/soap/envelope/"
SANITIZER = re.compile(r"ERROR: (Address|Leak)Sanitizer|runtime error:|SUMMARY: \w+Sanitizer|WARNING: ThreadSanitizer")

# Faults of other parts of the program that are being mended elsewhere: the
# fuzzer steers clear of each (or lets it pass) and counts it. Remove an
# entry once its mend has landed.
KNOWN_FAULTS = {}

# Settings that another one changes as it takes effect: a board stream's
# pedestal and noise lists follow its chip count. Set in the same round as
# that one, a refused value of theirs may still change.
FOLLOWERS = {("21", "nchip"): {("21", "pedestal"), ("21", "noise")}}

# The run-control model: the state each command leaves, from each state; a
# command missing from a state's row is refused there and changes nothing.
MODEL = {
    "NotReady": {"GetReady": "Ready", "Start": "Running", "Reset": "NotReady"},
    "Ready": {"GetReady": "Ready", "Start": "Running", "Reset": "NotReady"},
    "Running": {"Stop": "Ready", "Pause": "Paused", "Reset": "NotReady"},
    "Paused": {"Stop": "Ready", "Continue": "Running", "Reset": "NotReady"},
}
COMMANDS = ["GetReady", "Start", "Stop", "Pause", "Continue", "Reset"]
# What a command refused for the queue's bound is told.
QUEUE_FULL = "commands wait to be carried out, and it queues at most"

NUMBERS = ["0", "-0", "1", "-1", "7", "+3", " 5 ", "050", "1.5", "-2.5e-3", "2147483647", "2147483648",
           "-2147483649", "4294967296", "9223372036854775808", "1" * 40, "1e309", "-1e309", "inf", "-inf",
           "nan", "NaN", "1e-320", "0x10", "65535", "65536"]
TEXTS = ["", " ", "true", "false", "yes", "off", "abc", "1 2 3", "0-127", "1,2", "<&>\"'", "\u00e9\u4e2d",
         "\ufffd", "\t\n", "a" * 5000, "1 " * 3000, "logData|file=x", "|:=", "\U0001f600"]
# Bytes that are no UTF-8 or that XML cannot carry, sent as they are.
RAW = [b"\xff\xfe", b"\xc3\x28", b"\xed\xa0\x80", b"\x00", b"\x01", b"\xef\xbf\xbf"]


class Failure(AssertionError):
    pass


class Reply:
    def __init__(self, status, body):
        self.status, self.fault, self.text, self.fields, self.items = status, None, None, {}, []
        try:
            root = ET.fromstring(body)
        except ET.ParseError as e:
            raise Failure("HTTP %d, no XML (%s): %r" % (status, e, body[:300]))
        envelope = root.tag == "{%s}Envelope" % NS
        op = root.find("{%s}Body/*" % NS)
        if not envelope or op is None:
            raise Failure("HTTP %d, no SOAP envelope: %r" % (status, body[:300]))
        if op.tag == "{%s}Fault" % NS:
            self.fault = op.findtext("faultstring") or ""
            if status not in (500, 413, 503) or not op.findtext("faultcode"):
                raise Failure("HTTP %d for a fault: %r" % (status, body[:300]))
            return
        if status != 200:
            raise Failure("HTTP %d for an answer: %r" % (status, body[:300]))
        ret = op.find("return")
        if ret is None:
            raise Failure("an answer without return: %r" % body[:300])
        self.text = ret.text or ""
        self.items = [i.text or "" for i in ret.findall("item")]
        self.fields = {c.tag: c.text or "" for c in ret if c.tag != "item"}

    def __str__(self):
        return "fault %r" % self.fault[:120] if self.fault is not None else "ok %r" % self.text[:60]


def envelope(op, args):
    """The request body; a value given as bytes goes in as it is."""
    parts = [b"<s:Envelope xmlns:s='%s'><s:Body><%s>" % (NS.encode(), op.encode())]
    for name, value in args:
        if isinstance(value, str):
            value = escape(value).encode("utf-8", "surrogatepass")
        parts.append(b"<%s>%s</%s>" % (name.encode(), value, name.encode()))
    parts.append(b"</%s></s:Body></s:Envelope>" % op.encode())
    return b"".join(parts)


class Fuzzer:
    """The program under the requests, the trace of them, and the model."""

    def __init__(self, port, proc, log, folder):
        self.port, self.proc, self.log, self.folder = port, proc, log, folder
        self.trace = []
        self.lock = threading.Lock()
        self.requests = 0
        self.rounds = 0
        self.known = {}
        self.state = "NotReady"
        self.log_seen = 0

    def note(self, line):
        with self.lock:
            self.trace.append("%8.3f %s" % (time.monotonic() - self.t0, line))

    def known_fault(self, name, example=None):
        with self.lock:
            count, examples = self.known.get(name, (0, []))
            if example and len(examples) < 3 and example not in examples:
                examples.append(example)
            self.known[name] = (count + 1, examples)

    def post(self, body, who=0, label=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request("POST", "/", body, {"Content-Type": "text/xml; charset=utf-8"})
            response = conn.getresponse()
            status, data = response.status, response.read()
        except (OSError, http.client.HTTPException) as e:
            self.note("c%d %s -> %s" % (who, label or body[:200], e))
            raise Failure("no answer (%s): is the program still there?" % e)
        finally:
            conn.close()
        with self.lock:
            self.requests += 1
        try:
            reply = Reply(status, data)
        except Failure as e:
            self.note("c%d %s -> %s" % (who, label or body[:200], e))
            raise
        self.note("c%d %s -> %s" % (who, label or body[:200], reply))
        return reply

    def call(self, op, who=0, **args):
        label = "%s(%s)" % (op, ", ".join("%s=%s" % (k, short(v)) for k, v in args.items()))
        return self.post(envelope(op, list(args.items())), who, label)

    def check_program(self):
        if self.proc.poll() is not None:
            raise Failure("the program ended with %s" % self.proc.returncode)
        with open(self.log, "rb") as f:
            f.seek(self.log_seen)
            data = f.read()
        text = data.decode("utf-8", "replace")
        m = SANITIZER.search(text)
        if m:
            raise Failure("sanitizer output: %s" % text[max(0, m.start() - 200):m.start() + 3000])
        # Again from a little before the end: a report may be half written.
        self.log_seen = max(self.log_seen, self.log_seen + len(data) - 200)

    def parallel(self, jobs):
        """Runs each list of calls on a client of its own; their results."""
        results = [[] for _ in jobs]
        errors = []

        def client(i, calls):
            try:
                for c in calls:
                    results[i].append(c(i + 1))
            except Exception as e:   # reported after the join
                errors.append(e)
        threads = [threading.Thread(target=client, args=(i, calls)) for i, calls in enumerate(jobs)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        if any(t.is_alive() for t in threads):
            raise Failure("a client got no answer in 120 s")
        if errors:
            raise errors[0]
        return results

    # ---- run control ----------------------------------------------------

    def settle(self):
        """The run state once every accepted command is carried out."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            s = self.call("getRunState", object="main").fields
            if s.get("pending") == "0":
                active = s["statusName"] in ("Running", "Paused")
                if (s["active"] == "true") != active:
                    raise Failure("active %s in %s" % (s["active"], s["statusName"]))
                return s["statusName"]
            time.sleep(0.01)
        raise Failure("commands still pending after 30 s")

    def explain(self, start, clients, end):
        """Whether some order of the clients' commands, each client's in the
        order sent, gives their answers and ends in `end`."""
        seen = set()

        def walk(state, pos):
            if (state, pos) in seen:
                return False
            seen.add((state, pos))
            if all(p == len(c) for p, c in zip(pos, clients)):
                return state == end
            for i, c in enumerate(clients):
                if pos[i] < len(c):
                    command, accepted = c[pos[i]]
                    nxt = MODEL[state].get(command)
                    if (nxt is not None) == accepted:
                        p = list(pos)
                        p[i] += 1
                        if walk(nxt or state, tuple(p)):
                            return True
            return False
        return walk(start, tuple(0 for _ in clients))

    def control_jobs(self, rng):
        """Clients each with commands to send one after the other."""
        jobs = []
        for _ in range(rng.choice([1, 1, 2, 3, 4])):
            commands = [rng.choice(COMMANDS) for _ in range(rng.randint(1, 5))]
            jobs.append([lambda who, c=c: ("control", c, self.call("runControl", who, runManager="main", command=c))
                         for c in commands])
        # A command that is none, and a manager that is none, change nothing.
        if rng.random() < 0.1:
            bad = rng.choice(["start", "", "Jump", "Start "])
            jobs[0].append(lambda who: ("none", bad, self.call("runControl", who, runManager="main", command=bad)))
        if rng.random() < 0.05:
            jobs[0].append(lambda who: ("none", "7", self.call("runControl", who, runManager="7", command="Start")))
        return jobs

    def check_control(self, results):
        clients = []
        for r in results:
            for kind, command, reply in r:
                if kind == "none" and reply.fault is None:
                    raise Failure("runControl %r was taken" % command)
            # A command refused for the queue's bound is not judged by the
            # run state: it changes nothing, whatever the state.
            clients.append([(c, reply.fault is None) for kind, c, reply in r
                            if kind == "control" and QUEUE_FULL not in (reply.fault or "")])
        if not any(clients):
            return
        end = self.settle()
        if not self.explain(self.state, clients, end):
            raise Failure("the model cannot explain %s from %s to %s" % (clients, self.state, end))
        self.state = end
        # Now and then: a run said to go on takes events.
        if end == "Running" and self.rounds % 10 == 0:
            count = int(self.call("getRunState", object="main").fields["nTrigger"])
            if not wait_until(lambda: int(self.call("getRunState", object="main").fields["nTrigger"]) > count, 10):
                raise Failure("Running, and no event in 10 s")

    def close_files(self):
        """A run begun and ended: whatever logData opened or kept is closed."""
        for c in ("Reset", "Start", "Stop"):
            self.call("runControl", runManager="main", command=c)
        self.state = self.settle()
        if self.state != "Ready":
            raise Failure("Reset, Start, Stop ended %s" % self.state)
        for name in os.listdir(self.folder):
            path = os.path.join(self.folder, name)
            if os.path.isfile(path):
                os.remove(path)

    # ---- settings and commands -------------------------------------------

    def value(self, rng):
        kind = rng.random()
        if kind < 0.45:
            return rng.choice(NUMBERS)
        if kind < 0.8:
            return rng.choice(TEXTS)
        if kind < 0.9:
            return rng.choice(RAW)
        return " ".join(rng.choice(NUMBERS) for _ in range(rng.randint(1, 200)))

    def setting(self, who, obj, name, value, followed=False):
        before = self.call("getParameter", who, object=obj, name=name).text
        if isinstance(value, bytes):
            reply = self.post(envelope("setParameter", [("object", obj), ("name", name), ("value", value)]),
                              who, "setParameter(%s, %s, %s)" % (obj, name, short(value)))
            if reply.fault is None:
                raise Failure("bytes XML cannot carry were taken: %r" % value)
        else:
            reply = self.call("setParameter", who, object=obj, name=name, value=value)
        after = self.call("getParameter", who, object=obj, name=name).text
        if obj == "main" and name == "command":
            return reply
        if reply.fault is not None and after != before and not followed:
            raise Failure("%s/%s refused %s and changed from %s to %s"
                          % (obj, name, short(value), short(before), short(after)))
        if reply.fault is None and name != "command" and after == before and not same(value, before):
            raise Failure("%s/%s answered ok for %s and stayed %s" % (obj, name, short(value), short(before)))

    def log_data(self, rng):
        names = ["run", "a b", "x" * 300, "../%s/up" % os.path.basename(self.folder), "no/such/folder/run",
                 "r:u|n", "\u00e9t\u00e9", ".h5", "run.data", ""]
        name = rng.choice(names)
        options = ["file=%s" % (os.path.join(self.folder, name) if name else "")]
        sizes = ["0", "100", "3000000000", "1e9", "-1", "abc", "", "99999999999999999999", "2147483648"]
        if rng.random() < 0.6:
            options.append("max_size=%s" % rng.choice(sizes))
        if rng.random() < 0.5:
            options.append("compression=%s" % rng.choice(["yes", "no", "1", "T", "on", "", "\u00ff" * 10]))
        if rng.random() < 0.1:
            options.append(rng.choice(["file=", "=", "unknown=1", ":"]))
        rest = options[1:]
        rng.shuffle(rest)
        return rng.choice(["logData|", "logData|", "LogData|", "logData"]) + ":".join(options[:1] + rest)

    def check_log_data(self, text, reply):
        m = re.match(r"logData\|(.*)", text)
        if not m:
            return
        options = dict(o.split("=", 1) for o in m.group(1).split(":") if "=" in o)
        path = options.get("file", "")
        if reply.fault is None and path and not os.path.isdir(os.path.dirname(path)):
            raise Failure("logData into a missing folder answered ok")
        size = options.get("max_size", "0")
        if reply.fault is None and path and not (re.fullmatch(r"\d+", size) and int(size) < 2 ** 64):
            raise Failure("logData with max_size %r answered ok" % size)

    def setting_jobs(self, rng, objects):
        """Clients each setting a parameter of its own, or giving a command."""
        chosen = {}
        for _ in range(rng.randint(1, 4)):
            obj = rng.choice(sorted(objects))
            name = rng.choice(objects[obj])
            if name != "command":
                value = self.value(rng)
            elif obj == "main":
                value = self.log_data(rng)
            else:
                value = rng.choice(["setMask", "setTrim", "preampDAC", "nothing"]) + "|" + ":".join(
                    "%s=%s" % (rng.choice(["0", "0-127", "-5", "99999", "3-1", "", "a"]), rng.choice(NUMBERS))
                    for _ in range(rng.randint(0, 4)))
            chosen[(obj, name)] = value
        followed = set().union(*(FOLLOWERS.get(k, set()) for k in chosen))
        jobs = [[lambda who, o=o, n=n, v=v, f=(o, n) in followed: ("set", v, self.setting(who, o, n, v, f))]
                for (o, n), v in chosen.items()]
        # Clients at one parameter at once: nothing to compare, but the
        # sanitizers watch.
        if rng.random() < 0.1:
            obj = rng.choice(sorted(objects))
            name = rng.choice([n for n in objects[obj] if n != "command" and (obj, n) not in chosen]
                              or ["none"])
            for _ in range(3):
                v = self.value(rng)
                jobs.append([lambda who, v=v: ("storm", v, self.post(
                    envelope("setParameter", [("object", obj), ("name", name), ("value", v)]), who,
                    "setParameter(%s, %s, %s)" % (obj, name, short(v))))])
        return jobs

    def check_settings(self, results):
        for r in results:
            for kind, text, reply in r:
                if kind == "set" and reply is not None:
                    self.check_log_data(text, reply)

    def garbage_jobs(self, rng):
        bodies = [b"", b"hello", b"<a>not closed", b"<?xml version='1.0'?><x/>",
                  envelope("noSuchOperation", []), envelope("getParameter", [("object", "7")]),
                  envelope("getRunState", [("object", rng.choice(RAW))]),
                  envelope("listParameters", [("object", "no such")]),
                  envelope("setParameter", [("object", "7"), ("name", "nothing"), ("value", "1")]),
                  envelope("runControl", [("runManager", "main"), ("command", rng.choice(RAW))]),
                  envelope("getParameter", [("object", "7" * 100000), ("name", "x")]),
                  b"<!DOCTYPE s [<!ENTITY e 'x'>]>" + envelope("listModules", []),
                  envelope("listModules", []).replace(b"<s:Body>", b"<s:Body>" + b"<a>" * 3000)]
        return [[lambda who, body=rng.choice(bodies): ("garbage", body, self.post(body, who, "raw %r" % body[:100]))]
                for _ in range(rng.randint(1, 3))]

    def edge_jobs(self, rng, objects):
        """Every operation with arguments at the edges, or missing."""
        ops = {"listModules": [], "listRunManagers": [], "listParameters": ["object"],
               "getParameter": ["object", "name"], "setParameter": ["object", "name", "value"],
               "runControl": ["runManager", "command"], "getRunState": ["object"]}
        jobs = []
        for _ in range(rng.randint(1, 3)):
            op = rng.choice(sorted(ops))
            args = []
            for name in ops[op]:
                if rng.random() < 0.1:
                    continue
                choice = rng.random()
                if choice < 0.3:
                    value = rng.choice(sorted(objects))
                elif choice < 0.4:
                    value = rng.choice(COMMANDS)
                else:
                    value = rng.choice(TEXTS + RAW)
                args.append((name, value))
            if op == "setParameter" and dict(args).get("name") in ("command", None):
                continue   # texts for commands are chosen above, with care
            if op == "runControl" and dict(args).get("command") in COMMANDS:
                continue   # the model's
            jobs.append([lambda who, op=op, args=args: ("edge", op, self.post(envelope(op, args), who,
                                                                              "%s%r" % (op, args)[:200]))])
        return jobs

    def check_garbage(self, results):
        for r in results:
            for kind, body, reply in r:
                if kind == "garbage" and reply.fault is None:
                    raise Failure("a request that is no operation was answered: %r" % body[:200])

    def listings(self):
        objects = {}
        for op in ("listModules", "listRunManagers"):
            for obj in self.call(op).items:
                objects[obj] = self.call("listParameters", object=obj).items
                self.call("getRunState", object=obj)
                for name in objects[obj]:
                    self.call("getParameter", object=obj, name=name)
        return objects

    def run(self, test):
        rng = random.Random(SEED)
        self.t0 = time.monotonic()
        end = self.t0 + SECONDS
        objects = self.listings()
        test.assertIn("21", objects)
        test.assertIn("7", objects)
        test.assertIn("main", objects)
        while time.monotonic() < end:
            self.rounds += 1
            jobs = []
            kinds = rng.choice(["control", "control", "settings", "settings", "mixed", "garbage", "listings"])
            if kinds in ("control", "mixed"):
                jobs += self.control_jobs(rng)
            if kinds in ("settings", "mixed"):
                jobs += self.setting_jobs(rng, objects)
            if kinds == "garbage":
                jobs += self.garbage_jobs(rng) + self.edge_jobs(rng, objects)
            if kinds == "listings":
                self.listings()
            results = self.parallel(jobs)
            self.check_garbage(results)
            self.check_settings(results)
            self.check_control(results)
            if self.rounds % 25 == 0:
                self.close_files()
            self.check_program()


def short(value):
    text = repr(value)
    return text if len(text) < 80 else text[:60] + "...(%d)" % len(value)


def same(value, text):
    """Whether a value set and a parameter's text say the same."""
    def canon(t):
        out = []
        for w in t.strip().lower().split():
            w = {"true": "1", "yes": "1", "on": "1", "false": "0", "no": "0", "off": "0"}.get(w, w)
            try:
                f = float(w)
                w = "nan" if math.isnan(f) else repr(f + 0.0)
            except ValueError:
                pass
            out.append(w)
        return out
    return isinstance(value, str) and canon(value) == canon(text)


class SoapFuzz(FenrowTest):
    def test_sequences_of_requests_from_several_clients(self):
        Board(self, "127.0.0.2", self.env, streams=[1], count=0, rate=300)
        port = free_port()
        folder = os.path.join(self.home, "runs")
        os.makedirs(folder)
        modules = ('<fenrow name="127.0.0.2"><stream name="21" address="127.0.0.2"><nchips>1</nchips>'
                   '<chip_type>gp7</chip_type><ro_mode>serial</ro_mode></stream></fenrow>'
                   '<synthetic name="7" mode="timed" rate="300" nchip="1" nchan="8"/>')
        config = self.write_config(os.path.join(self.home, "fuzz.xml"), modules=modules,
                                   plugins=self.plugin() + SYNTHETIC_PLUGINS, soap_port=port)
        env = dict(self.env, HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   XDG_DATA_HOME=os.path.join(self.home, ".local", "share"),
                   XDG_CACHE_HOME=os.path.join(self.home, ".cache"))
        env.pop("DISPLAY", None)
        log = os.path.join(self.home, "brisko.log")
        # A file, not a pipe: nobody reads the output while the fuzzer runs.
        with open(log, "w") as out:
            proc = subprocess.Popen([BRISKO, "--no-gui", config], stdout=out, stderr=subprocess.STDOUT,
                                    env=env, cwd=folder)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        self.wait_for_soap(port)
        fuzzer = Fuzzer(port, proc, log, folder)
        self.wait_modules(port, ["21", "7"])
        try:
            fuzzer.run(self)
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(60)
            except subprocess.TimeoutExpired:
                raise Failure("the program did not end within 60 s of SIGTERM")
            with open(log, errors="replace") as f:
                text = f.read()
            m = SANITIZER.search(text)
            if m or proc.returncode != 0:
                raise Failure("exit %s at the end: %s" % (proc.returncode, text[max(0, m.start() - 200):][:3000]
                                                          if m else text[-2000:]))
        except Exception as e:
            trace = os.path.join(tempfile.gettempdir(), "brisko-soap-fuzz-%d-%d.trace" % (SEED, os.getpid()))
            with open(trace, "w") as f:
                f.write("\n".join(fuzzer.trace) + "\n")
            shutil.copy(log, trace + ".log")
            self.fail("seed %d, after %d requests in %d rounds: %s\nthe last requests:\n%s\n"
                      "every request in %s, the program's output in %s.log"
                      % (SEED, fuzzer.requests, fuzzer.rounds, e, "\n".join(fuzzer.trace[-40:]), trace, trace))
        print("seed %d: %d requests in %d rounds, %.0f s; known faults steered clear of: %s"
              % (SEED, fuzzer.requests, fuzzer.rounds, time.monotonic() - fuzzer.t0, fuzzer.known or "none"))


if __name__ == "__main__":
    unittest.main()
