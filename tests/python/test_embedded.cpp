// Modules and analyses written in Python inside a program's process: this
// test program embeds the interpreter, imports pybrisko, and runs Python
// modules in the run manager "main" of the text logger plug-in. The run
// thread and the monitor queue's thread call into Python meanwhile.
#include <gtest/gtest.h>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>

#include <string>

#include "common/AsciiDumpFixture.h"
#include "common/TestUtil.h"
#include "config/GeneralConfig.h"
#include "daq/DAQcontroller.h"
#include "daq/GenModule.h"
#include "daq/TellumRunManager.h"
#include "data/Analysis.h"
#include "ostrel/DAQmanager.h"

// The interpreter keeps a few allocations of its own until the process ends
// (a few kB; their stacks end inside libpython). The module's objects are
// checked by the reference-count tests.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libpython3\n";
}

namespace {

// One interpreter for the process; the main thread gives up its lock while
// the tests run, as a program does whose threads call into Python.
class Interpreter : public ::testing::Environment {
public:
    void SetUp() override
    {
        Py_InitializeEx(0);
        PyRun_SimpleString(("import sys; sys.dont_write_bytecode = True; sys.path.insert(0, '" PYBRISKO_DIR "'); sys.path.insert(0, '" +
                            std::string(PYTHON_TESTS_DIR) + "')")
                               .c_str());
        saved = PyEval_SaveThread();
    }
    void TearDown() override
    {
        PyEval_RestoreThread(saved);
        Py_FinalizeEx();
    }

private:
    PyThreadState* saved = nullptr;
};

[[maybe_unused]] ::testing::Environment* const interpreter =
    ::testing::AddGlobalTestEnvironment(new Interpreter);

// The text of the pending Python error ("Type: message"), which is cleared.
std::string error_text()
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string text = type ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "?";
    if (PyObject* s = value ? PyObject_Str(value) : nullptr) {
        text += std::string(": ") + PyUnicode_AsUTF8(s);
        Py_DECREF(s);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return text;
}

// Runs code in __main__ with the interpreter lock: its result's str() for
// an expression (Py_eval_input), "" for statements (Py_file_input), or the
// error it raised.
std::string run_python(const std::string& code, int start)
{
    PyGILState_STATE state = PyGILState_Ensure();
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* result = PyRun_String(code.c_str(), start, globals, globals);
    PyObject* text = result && start == Py_eval_input ? PyObject_Str(result) : nullptr;
    std::string out;
    if (text)
        out = PyUnicode_AsUTF8(text);
    else if (PyErr_Occurred())
        out = error_text();
    Py_XDECREF(text);
    Py_XDECREF(result);
    PyGILState_Release(state);
    return out;
}

std::string py(const std::string& statements)
{
    return run_python(statements, Py_file_input);
}

std::string eval(const std::string& expression)
{
    return run_python(expression, Py_eval_input);
}

// A module that makes one record per trigger from a list of what getData is
// to return (a record's values, or anything else as it is), and an analysis
// that keeps what it decodes.
const char* const python_classes = R"(
import io, struct, sys, weakref
import pybrisko

def record(mod_id, values, size=None):
    n = len(values)
    length = 26 + 2 * n
    head = struct.pack('=HHIHHI', 0xCAFE, 0x2000, 0, mod_id, 0, length if size is None else size)
    return head + bytes(6) + struct.pack('=HH%dH' % n, n, 1, *values)

class Keeper(pybrisko.Analysis):
    def __init__(self, nchip, nchan, refuse=()):
        pybrisko.Analysis.__init__(self, nchip, nchan)
        self.decoded = []
        self.refuse = refuse
    def data_valid(self, rec):
        first = struct.unpack_from('=H', rec.data, 10)[0]
        if first in self.refuse:
            raise ValueError('refused %d' % first)
        return 1
    def decode(self, rec):
        self.decoded.append((rec.mod_id, rec.size, list(struct.unpack('=%dH' % (len(rec.data) // 2), rec.data))))

class Source(pybrisko.GenModule):
    def __init__(self, name, results):
        pybrisko.GenModule.__init__(self, name, 0x40)
        self.results = list(results)
        self.pending = []
        self.calls = []
    def Start(self, run):
        self.calls.append('Start')
        return 0
    def Stop(self, run):
        self.calls.append('Stop')
        return 0
    def Trigger(self):
        if self.results:
            self.pending.append(self.results.pop(0))
        return 0
    def hasData(self):
        return 1 if self.pending else 0
    def getData(self):
        self.increase_evt_counter()
        return self.pending.pop(0)
    def get_data_type(self):
        return 0x11
)";

class EmbeddedPython : public AsciiDumpFixture {
protected:
    void SetUp() override
    {
        ASSERT_EQ("", py(python_classes));
        AsciiDumpFixture::SetUp();
    }

    // A run of the Python module of that id in "main", into dir/run.txt.
    TellumRunManager* run_module(const std::string& id, unsigned long events)
    {
        TellumRunManager* rm = make_main();
        GenModule* m = GenModule::find_module(id);
        EXPECT_NE(nullptr, m);
        if (!rm || !m)
            return rm;
        rm->addModule(m);
        rm->set_max_events(events);
        log_to(rm, dir + "/run");
        EXPECT_TRUE(run_to_end(rm));
        return rm;
    }

    GeneralConfig* general() { return dynamic_cast<GeneralConfig*>(cfg->get_handler("general")); }
};

TEST_F(EmbeddedPython, ModuleEventsFlowThroughARunIntoTheTextFile)
{
    ASSERT_EQ("", py("src = Source('7', [record(7, [i, 2 * i]) for i in range(5)])\n"
                     "ana = Keeper(1, 4)\n"
                     "src.set_analysis(ana)\n"));
    TellumRunManager* rm = run_module("7", 5);
    ASSERT_NE(nullptr, rm);

    EXPECT_EQ("0 0\n1 2\n2 4\n3 6\n4 8\n", testutil::read_file(dir + "/run.txt"));
    EXPECT_EQ(5u, rm->get_status().n_written());
    EXPECT_EQ("['Start', 'Stop']", eval("src.calls"));
    EXPECT_EQ("5", eval("src.evt_counter"));
    // The monitor queue handed every record to the Python analysis.
    EXPECT_EQ("5", eval("len(ana.decoded)"));
    EXPECT_EQ("(7, 30, [0, 0, 0, 2, 1, 3, 6])", eval("ana.decoded[3]"));
}

TEST_F(EmbeddedPython, ErrorsOnAcquisitionThreadsArePrintedAndCleared)
{
    ASSERT_EQ("", py("class Faulty(Source):\n"
                     "    first = True\n"
                     "    def hasData(self):\n"
                     "        if self.first:\n"
                     "            self.first = False\n"
                     "            return 1 // 0\n"
                     "        return Source.hasData(self)\n"
                     "    def Start(self, run):\n"
                     "        return None\n"
                     "src = Faulty('8', [b'short', [1, 2, 300], 3.5, record(8, [9], size=200),\n"
                     "                   record(8, [1]), list(record(8, [2])), record(8, [3])])\n"
                     "ana = Keeper(1, 4, refuse=(2,))\n"
                     "src.set_analysis(ana)\n"
                     "sys.stderr = io.StringIO()\n"));
    std::string out;
    TellumRunManager* rm = nullptr;
    out = testutil::capture_stdout([&] { rm = run_module("8", 3); });
    const std::string err = eval("sys.stderr.getvalue()");
    ASSERT_EQ("", py("sys.stderr = sys.__stderr__"));
    ASSERT_NE(nullptr, rm);

    // Only the records went through; every fault was told, once.
    EXPECT_EQ("1\n2\n3\n", testutil::read_file(dir + "/run.txt"));
    EXPECT_NE(std::string::npos, err.find("***** Python error in Faulty.hasData\n")) << err;
    EXPECT_NE(std::string::npos, err.find("ZeroDivisionError")) << err;
    EXPECT_NE(std::string::npos, err.find("Faulty.Start should return an integer")) << err;
    EXPECT_NE(std::string::npos, err.find("Module.getData: 5 bytes hold no event record")) << err;
    EXPECT_NE(std::string::npos, err.find("Module.getData: item 2 is outside 0 to 255")) << err;
    EXPECT_NE(std::string::npos, err.find("Module.getData: get data should provide a buffer or a sequence"))
        << err;
    EXPECT_NE(std::string::npos, err.find("Module.getData: the record's size 200 exceeds its 28 bytes")) << err;
    EXPECT_NE(std::string::npos, out.find("\n***** Module.getData: item 2 is outside 0 to 255\n")) << out;
    // A check that raised is no valid record: the analysis skipped it.
    EXPECT_NE(std::string::npos, err.find("***** Python error in Keeper.data_valid\n")) << err;
    EXPECT_NE(std::string::npos, err.find("ValueError: refused 2")) << err;
    EXPECT_EQ("[[1], [3]]", eval("[d[2][5:] for d in ana.decoded]"));
}

TEST_F(EmbeddedPython, ModuleDeletedByTheAcquisitionLeavesItsObjectSafe)
{
    ASSERT_EQ("", py("gone = Source('9', [])\n"
                     "ana = Keeper(2, 8)\n"
                     "gone.set_analysis(ana)\n"
                     "counts = sys.getrefcount(gone), sys.getrefcount(ana)\n"
                     "alone = weakref.ref(Source('10', []))\n"));
    ASSERT_NE(nullptr, GenModule::find_module("9"));
    EXPECT_EQ("True", eval("alone() is not None"));

    DAQcontroller::instance()->reset_daq();
    EXPECT_EQ(nullptr, GenModule::find_module("9"));

    // The module's references went with it: to its object and its analysis.
    EXPECT_EQ("True", eval("(sys.getrefcount(gone), sys.getrefcount(ana)) == (counts[0] - 1, counts[1] - 1)"));
    EXPECT_EQ("True", eval("alone() is None"));
    const std::string gone = "RuntimeError: GenModule - no acquisition module is bound to this object";
    EXPECT_EQ(gone, eval("gone.nchip"));
    EXPECT_EQ(gone, eval("gone.analysis"));
    EXPECT_EQ(gone, eval("gone.EndOfEvent()"));
    EXPECT_EQ(gone, eval("gone.set_analysis(ana)"));
    EXPECT_EQ("16", eval("ana.ntot"));
    EXPECT_EQ("", py("del gone, ana"));
}

TEST_F(EmbeddedPython, PedestalsComputedFromPython)
{
    ASSERT_EQ("", py("peds = Source('11', [])\n"
                     "fast = Keeper(1, 4)\n"
                     "peds.set_analysis(fast)\n"));
    GenModule* m = GenModule::find_module("11");
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(4u, m->get_par_value<std::vector<double>>("pedestal").size());
    EXPECT_EQ(4u, m->get_par_value<std::vector<double>>("noise").size());

    auto raw = [](Analysis* a) {
        hst_function_lock(HST_FUNCTION(a->get_out()));
        for (int i = 0; i < a->Ntot(); ++i)
            a->Event()[i] = 10.0 * (i + 1);
        hst_function_unlock(HST_FUNCTION(a->get_out()));
    };
    Analysis* a = m->get_analysis();
    raw(a);
    general()->set_ped_method(GeneralConfig::fast);
    ASSERT_EQ("", py("fast.compute_pedestals([0, 1, 2, 3])"));
    EXPECT_EQ(10.0, a->Ped()[0]);
    EXPECT_EQ(40.0, a->Ped()[3]);
    EXPECT_EQ(0.0, a->Nevts()[0]);   // the fast method counts no samples

    // The module's parameters keep their size when it takes another analysis.
    ASSERT_EQ("", py("normal = Keeper(1, 4)\npeds.set_analysis(normal)\n"));
    EXPECT_EQ(4u, m->get_par_value<std::vector<double>>("pedestal").size());
    a = m->get_analysis();
    raw(a);
    general()->set_ped_method(GeneralConfig::normal);
    ASSERT_EQ("", py("normal.compute_pedestals([0, 1])"));
    EXPECT_EQ(20.0, a->Ped()[1]);
    EXPECT_EQ(1.0, a->Nevts()[1]);
    EXPECT_EQ(0.0, a->Nevts()[2]);
    EXPECT_EQ(0.0, a->Ped()[2]);
}

// An embedding program's way to a new analysis object, through the entry
// point the loaded module exports.
TEST_F(EmbeddedPython, AnalysisMadeByTheEmbeddingProgram)
{
    const std::string file = eval("pybrisko.__file__");
    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(nullptr, module) << file;
    using New = PyObject* (*)(int, int);
    auto make = reinterpret_cast<New>(dlsym(module, "PyBrisko_Analysis_New"));
    ASSERT_NE(nullptr, make);

    PyGILState_STATE state = PyGILState_Ensure();
    PyObject* made = make(2, 4);
    std::string refused;
    PyObject* none = make(0, 4);
    if (!none)
        refused = error_text();
    if (made)
        PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "made", made);
    Py_XDECREF(made);
    Py_XDECREF(none);
    PyGILState_Release(state);
    dlclose(module);

    ASSERT_NE(nullptr, made);
    EXPECT_EQ("(True, 8)", eval("(isinstance(made, pybrisko.Analysis), made.ntot)"));
    EXPECT_EQ("True", eval("sys.getrefcount(made) == 2"));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(0u, refused.find("ValueError: ")) << refused;
    EXPECT_EQ("", py("del made"));
}

// The types' own tests, in a process that holds the acquisition (and, in a
// sanitizer build, under the sanitizers).
TEST_F(EmbeddedPython, TypesSuite)
{
    ASSERT_EQ("", py("import unittest, test_pybrisko\n"
                     "suite = unittest.defaultTestLoader.loadTestsFromModule(test_pybrisko)\n"
                     "report = io.StringIO()\n"
                     "result = unittest.TextTestRunner(stream=report, verbosity=2).run(suite)\n"));
    EXPECT_EQ("True", eval("result.wasSuccessful()")) << eval("report.getvalue()");
    EXPECT_NE("0", eval("result.testsRun"));
}

} // namespace
