"""The types of pybrisko as Python code sees them: names, attributes, error
texts, hits, pedestals, and reference counts that stay put.

Runs under a plain python3 with the build's library folder on PYTHONPATH,
and inside the embedding test program (test_embedded.cpp), which runs it in
a process that holds the whole acquisition.
"""
import gc
import itertools
import os
import shutil
import struct
import sys
import tempfile
import threading
import unittest
import weakref

# A private home before anything of the program reads HOME.
_HOME = tempfile.mkdtemp(prefix="pybrisko-home-")
_SAVED_HOME = os.environ.get("HOME")
os.environ["HOME"] = _HOME

import pybrisko  # noqa: E402

HEADER = struct.Struct("=HHIHHI")
_ids = itertools.count()


def tearDownModule():
    if _SAVED_HOME is not None:
        os.environ["HOME"] = _SAVED_HOME
    shutil.rmtree(_HOME, ignore_errors=True)


def new_id():
    """A module id no other test uses: modules live as long as the process."""
    return "pytest-%d-%d" % (os.getpid(), next(_ids))


class Source(pybrisko.GenModule):
    def hasData(self):
        return 0

    def getData(self):
        return None

    def get_data_type(self):
        return 0x11


class TypesTest(unittest.TestCase):
    def test_names_and_docs(self):
        self.assertEqual("pybrisko", pybrisko.GenModule.__module__)
        self.assertEqual("GenModule", pybrisko.GenModule.__name__)
        self.assertEqual("pybrisko", pybrisko.Analysis.__module__)
        self.assertEqual("tellum", pybrisko.TellumData.__module__)
        self.assertEqual("TellumData", pybrisko.TellumData.__name__)
        self.assertEqual("Analysis class", pybrisko.Analysis.__doc__)
        self.assertEqual("TellumData structre", pybrisko.TellumData.__doc__)
        self.assertEqual("Change the number of chips and channels.\n",
                         pybrisko.Analysis.resize.__doc__)
        docs = {name: getattr(pybrisko.TellumData, name).__doc__
                for name in ("header", "record_type", "event_counter", "mod_id",
                             "data_type", "size", "data")}
        self.assertEqual({"header": "The data header",
                          "record_type": "The type of data record",
                          "event_counter": "The event counter",
                          "mod_id": "The ID of the module producing the data",
                          "data_type": "The type of data",
                          "size": "The size of the data",
                          "data": "The data"}, docs)
        self.assertEqual("Number of chips", pybrisko.GenModule.nchip.__doc__)
        self.assertEqual("The module analysis", pybrisko.GenModule.analysis.__doc__)
        self.assertEqual("Total number of channels", pybrisko.Analysis.ntot.__doc__)

    def test_types_take_subclasses_and_instance_attributes(self):
        class Record(pybrisko.TellumData):
            pass

        r = Record(1, 2, 3)
        r.note = "kept"
        self.assertEqual("kept", r.note)
        a = pybrisko.Analysis(1, 1)
        a.note = 5
        self.assertEqual(5, a.note)
        self.assertTrue(issubclass(pybrisko.GenModule, object))


class TellumDataTest(unittest.TestCase):
    def test_new_record(self):
        r = pybrisko.TellumData(0x2000, 7, 10)
        self.assertEqual(0xCAFE, r.header)
        self.assertEqual(0x2000, r.record_type)
        self.assertEqual(0, r.event_counter)
        self.assertEqual(7, r.mod_id)
        self.assertEqual(0, r.data_type)
        self.assertEqual(32, r.size)
        self.assertEqual(bytes(16), r.data)

    def test_block_sizes(self):
        for payload, size in ((0, 24), (8, 32), (10, 32), (11, 32), (12, 36)):
            r = pybrisko.TellumData(1, 1, payload)
            self.assertEqual(size, r.size, payload)
            self.assertEqual(size - 16, len(r.data), payload)

    def test_fields_are_written_where_they_are_read(self):
        r = pybrisko.TellumData(0, 0, 4)
        r.record_type, r.event_counter, r.mod_id, r.data_type = 0x1234, 0xDEADBEEF, 65535, 7
        self.assertEqual((0x1234, 0xDEADBEEF, 65535, 7),
                         (r.record_type, r.event_counter, r.mod_id, r.data_type))
        self.assertEqual((0xCAFE, 28, bytes(12)), (r.header, r.size, r.data))

    def test_setters_want_integers(self):
        r = pybrisko.TellumData(0, 0, 0)
        texts = {"record_type": "record type", "event_counter": "event counter",
                 "mod_id": "module id", "data_type": "data type"}
        for name, what in texts.items():
            with self.assertRaises(TypeError) as e:
                setattr(r, name, "5")
            self.assertEqual("TellumData - The %s should be an integer" % what, str(e.exception))
            with self.assertRaises(TypeError) as e:
                delattr(r, name)
            self.assertEqual("TellumData - cannot set the %s" % what, str(e.exception))
        with self.assertRaises(TypeError):
            r.mod_id = 1.5

    def test_setters_check_the_range(self):
        r = pybrisko.TellumData(0, 0, 0)
        with self.assertRaises(OverflowError):
            r.record_type = 65536
        with self.assertRaises(OverflowError):
            r.mod_id = -1
        with self.assertRaises(OverflowError):
            r.event_counter = 1 << 32
        r.event_counter = (1 << 32) - 1
        self.assertEqual((1 << 32) - 1, r.event_counter)
        self.assertEqual(0, r.record_type)

    def test_read_only_fields(self):
        r = pybrisko.TellumData(0, 0, 0)
        for name in ("header", "size", "data"):
            with self.assertRaises(AttributeError):
                setattr(r, name, 1)
        self.assertEqual(24, r.size)

    def test_bad_arguments(self):
        with self.assertRaises(TypeError):
            pybrisko.TellumData("a", 0, 0)
        with self.assertRaises(TypeError):
            pybrisko.TellumData(0, 0)
        with self.assertRaises(OverflowError):
            pybrisko.TellumData(-1, 0, 0)
        with self.assertRaises(OverflowError):
            pybrisko.TellumData(0, 70000, 0)
        with self.assertRaises(OverflowError):
            pybrisko.TellumData(0, 0, -1)
        with self.assertRaises(OverflowError):
            pybrisko.TellumData(0, 0, 1 << 40)

    def test_object_without_record_raises(self):
        r = pybrisko.TellumData.__new__(pybrisko.TellumData)
        with self.assertRaises(RuntimeError):
            r.size
        with self.assertRaises(RuntimeError):
            r.mod_id = 1


class AnalysisTest(unittest.TestCase):
    def test_attributes(self):
        a = pybrisko.Analysis(2, 4)
        self.assertEqual((2, 4, 8), (a.nchip, a.nchan, a.ntot))
        self.assertEqual((256, 0.0, 1023.0), (a.nbins, a.range_min, a.range_max))
        a.resize(3, 2)
        self.assertEqual((3, 2, 6), (a.nchip, a.nchan, a.ntot))
        self.assertIsNone(a.init_run())
        self.assertIsNone(a.end_run())

    def test_bad_sizes_raise(self):
        with self.assertRaises(ValueError):
            pybrisko.Analysis(0, 4)
        with self.assertRaises(TypeError):
            pybrisko.Analysis("2", 4)
        a = pybrisko.Analysis(1, 4)
        with self.assertRaises(ValueError):
            a.resize(1, -3)
        self.assertEqual(4, a.ntot)
        with self.assertRaises(RuntimeError):
            a.__init__(2, 2)
        self.assertEqual(4, a.ntot)

    def test_hits(self):
        a = pybrisko.Analysis(1, 16)
        self.assertEqual(0, a.nhits())
        a.add_hit(5)
        a.add_hit(9)
        self.assertEqual(2, a.nhits())
        self.assertEqual([9, 5, -1], [a.pop_hit(), a.pop_hit(), a.pop_hit()])
        for channel in (-1, 16):
            with self.assertRaises(ValueError):
                a.add_hit(channel)
        self.assertEqual(0, a.nhits())

    def test_compute_pedestals(self):
        a = pybrisko.Analysis(1, 4)
        with self.assertRaises(TypeError) as e:
            a.compute_pedestals(5)
        self.assertEqual("Argument of compute_pedestals should be a sequence", str(e.exception))
        with self.assertRaises(TypeError):
            a.compute_pedestals([0, "1"])
        with self.assertRaises(ValueError):
            a.compute_pedestals([0, 4])
        with self.assertRaises(TypeError):
            a.compute_pedestals([0], "pulse")
        self.assertIsNone(a.compute_pedestals([0, 1, 2, 3]))
        self.assertIsNone(a.compute_pedestals((3, 2), 0))
        self.assertIsNone(a.compute_pedestals(range(4)))

    def test_pedestals_computed_while_another_thread_resizes(self):
        a = pybrisko.Analysis(8, 128)
        channels = list(range(a.ntot))
        done = threading.Event()

        def compute(pulse):
            while not done.is_set():
                try:
                    a.compute_pedestals(channels, pulse)
                except ValueError:
                    pass  # checked against one chip: the list is too long
        workers = [threading.Thread(target=compute, args=(p,)) for p in (0, 1)]
        for w in workers:
            w.start()
        try:
            for i in range(300):
                a.resize(8 if i % 2 else 1, 128)
        finally:
            done.set()
            for w in workers:
                w.join()
        self.assertEqual(8 * 128, a.ntot)

    def test_decode_and_data_valid_want_records(self):
        a = pybrisko.Analysis(1, 4)
        r = pybrisko.TellumData(0x2000, 3, 8)
        self.assertEqual(1, a.data_valid(r))
        self.assertIsNone(a.decode(r))
        for bad in (5, None, b"\xfe\xca" + bytes(14), pybrisko.TellumData.__new__(pybrisko.TellumData)):
            with self.assertRaises(TypeError) as e:
                a.data_valid(bad)
            self.assertEqual("Analysis - Invalid TellumData object", str(e.exception))
            with self.assertRaises(TypeError) as e:
                a.decode(bad)
            self.assertEqual("Analysis - Invalid TellumData object", str(e.exception))

    def test_object_without_analysis_raises(self):
        class Lazy(pybrisko.Analysis):
            def __init__(self):
                pass

        a = Lazy()
        with self.assertRaises(RuntimeError):
            a.ntot
        with self.assertRaises(RuntimeError):
            a.add_hit(0)


class GenModuleTest(unittest.TestCase):
    def test_methods_that_must_be_defined(self):
        class Incomplete(pybrisko.GenModule):
            def hasData(self):
                return 0

        name = new_id()
        with self.assertRaises(RuntimeError) as e:
            Incomplete(name, 0)
        self.assertEqual("Module should define its own hasData, getData and get_data_type methods",
                         str(e.exception))
        # Nothing was left registered under the name.
        Source(name, 0)

    def test_attributes_and_counter(self):
        m = Source(new_id(), 0x100)
        self.assertEqual((1, 1, 0x100, 0), (m.nchip, m.nchan, m.address, m.evt_counter))
        self.assertIsNone(m.analysis)
        m.increase_evt_counter()
        m.increase_evt_counter()
        self.assertEqual(2, m.evt_counter)
        self.assertIsNone(m.reset_evt_counter())
        self.assertEqual(0, m.evt_counter)
        self.assertIsNone(m.EndOfEvent())
        m.extra = [1]
        self.assertEqual([1], m.extra)

    def test_set_analysis(self):
        m = Source(new_id(), 0)
        a = pybrisko.Analysis(2, 16)
        self.assertIsNone(m.set_analysis(a))
        self.assertIs(a, m.analysis)
        self.assertEqual((2, 16), (m.nchip, m.nchan))
        m.set_analysis(None)
        self.assertIs(a, m.analysis)
        b = pybrisko.Analysis(1, 3)
        m.set_analysis(b)
        self.assertIs(b, m.analysis)
        self.assertEqual((1, 3), (m.nchip, m.nchan))
        for bad in (5, "a", pybrisko.TellumData(0, 0, 0)):
            with self.assertRaises(TypeError):
                m.set_analysis(bad)
        self.assertIs(b, m.analysis)

    def test_bad_arguments(self):
        with self.assertRaises(OverflowError):
            Source(new_id(), -1)
        with self.assertRaises(TypeError):
            Source(new_id(), "0x10")
        with self.assertRaises(TypeError):
            Source(new_id())
        name = new_id()
        Source(name, 0)
        with self.assertRaises(ValueError):
            Source(name, 0)

    def test_module_without_name_has_no_native_part(self):
        m = Source(None, 0)
        for name in ("nchip", "nchan", "address", "evt_counter", "analysis"):
            with self.assertRaises(RuntimeError) as e:
                getattr(m, name)
            self.assertEqual("GenModule - no acquisition module is bound to this object", str(e.exception))
        with self.assertRaises(RuntimeError):
            m.EndOfEvent()
        with self.assertRaises(RuntimeError):
            m.set_analysis(pybrisko.Analysis(1, 1))

    def test_second_init_is_refused(self):
        m = Source(new_id(), 3)
        with self.assertRaises(RuntimeError):
            pybrisko.GenModule.__init__(m, new_id(), 4)
        self.assertEqual(3, m.address)


class ReferenceCountTest(unittest.TestCase):
    LOOPS = 1000

    def assertStable(self, obj, action):
        gc.collect()
        before = sys.getrefcount(obj)
        for _ in range(self.LOOPS):
            action()
        gc.collect()
        self.assertEqual(before, sys.getrefcount(obj))

    def test_repeated_reads(self):
        m = Source(new_id(), 0)
        a = pybrisko.Analysis(1, 8)
        m.set_analysis(a)
        r = pybrisko.TellumData(1, 2, 40)
        self.assertStable(a, lambda: m.analysis)
        self.assertStable(m, lambda: (m.nchip, m.nchan, m.address, m.evt_counter))
        self.assertStable(r, lambda: (r.data, r.size, r.header, r.mod_id))
        self.assertStable(a, lambda: (a.ntot, a.nhits(), a.data_valid(r), a.decode(r)))
        self.assertStable(r, lambda: (a.data_valid(r), a.decode(r)))
        self.assertStable(a, lambda: m.set_analysis(a))

    def test_errors_leave_counts_alone(self):
        r = pybrisko.TellumData(1, 2, 4)
        a = pybrisko.Analysis(1, 2)

        def fail(f):
            try:
                f()
            except (TypeError, ValueError):
                pass

        self.assertStable(r, lambda: fail(lambda: setattr(r, "mod_id", r)))
        self.assertStable(a, lambda: fail(lambda: a.compute_pedestals([0, a])))
        self.assertStable(r, lambda: fail(lambda: a.compute_pedestals([r])))

    def test_replaced_analysis_is_released(self):
        m = Source(new_id(), 0)
        a = pybrisko.Analysis(1, 2)
        held = sys.getrefcount(a)
        m.set_analysis(a)
        self.assertEqual(held + 1, sys.getrefcount(a))
        m.set_analysis(pybrisko.Analysis(1, 2))
        self.assertEqual(held, sys.getrefcount(a))

        class Traced(pybrisko.Analysis):
            pass

        t = Traced(1, 2)
        gone = weakref.ref(t)
        m.set_analysis(t)
        del t
        gc.collect()
        self.assertIsNotNone(gone())
        m.set_analysis(pybrisko.Analysis(1, 2))
        gc.collect()
        self.assertIsNone(gone())

    def test_objects_go_when_released(self):
        class Record(pybrisko.TellumData):
            pass

        class Traced(pybrisko.Analysis):
            pass

        r, a = Record(1, 1, 8), Traced(2, 2)
        r.me, a.me = r, a   # cycles through the instance dictionaries
        refs = [weakref.ref(r), weakref.ref(a)]
        del r, a
        gc.collect()
        self.assertEqual([None, None], [ref() for ref in refs])

    def test_module_objects_live_with_their_native_module(self):
        m = Source(new_id(), 0)
        alive = weakref.ref(m)
        del m
        gc.collect()
        # The framework owns the module, and the module its Python object.
        self.assertIsNotNone(alive())
        self.assertEqual(0, alive().evt_counter)


if __name__ == "__main__":
    unittest.main()
