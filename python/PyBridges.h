// The native sides of the Python types of pybrisko, and their Python
// instance layouts.
//
// Ownership:
//  - a module written in Python is a framework module like any other: the
//    framework owns the native module (pygenmodule), which holds a reference
//    on its Python object. When the acquisition deletes the module, the
//    Python object forgets it and its operations raise RuntimeError;
//  - a Python analysis object owns its native analysis (pyanalysis). A
//    module given a Python analysis holds a reference on the Python object
//    instead of owning the native one, and lets go of it when it goes or
//    takes another analysis;
//  - a Python record object holds one reference of its framework block.
#ifndef BRISKO_PYTHON_PYBRIDGES_H
#define BRISKO_PYTHON_PYBRIDGES_H

#include "ostrel/python/PyOstrel.h"

#include <exception>
#include <new>
#include <optional>

#include "daq/GenModule.h"
#include "data/Analysis.h"
#include "ostrel/Exception.h"
#include "ostrel/ModuleData.h"
#include "ostrel/TellumData.h"

class pyanalysis;

// A module whose run operations and data calls are the methods of its
// Python object. It keeps its own run state (Start makes it Running, Stop
// Stopped, ...), so that Trigger reaches Python only during a run.
class pygenmodule : public GenModule, public PyOstrel {
public:
    pygenmodule(const Ostrel::DAQid& id, unsigned long address);
    ~pygenmodule() override;

    int get_data_type() override;
    int PrepareForRun() override;
    int Start(int mode) override;
    int Stop(int mode) override;
    int Pause() override;
    int Continue() override;
    int Reset() override;
    int GetReady() override;
    int Trigger() override;
    int flush() override;
    bool hasData() override;
    Ostrel::ModuleData* getData() override;
    void EndOfEvent() override;
    int check_attributes() override;

    // Makes the analysis of the Python object (lock held) the module's:
    // the module holds a reference on the object, which owns the analysis.
    // The parameters "pedestal" and "noise" get one value per channel.
    void attach_analysis(PyObject* object, pyanalysis* analysis);

private:
    using Status = Ostrel::RunState::StatusType;
    // Forwards a run operation, then takes the status `after` when one is
    // given; -1 when the Python method failed.
    int forward(const char* name, std::optional<int> argument = {}, std::optional<Status> after = {});

    PyObject* py_analysis = nullptr;
};

// An analysis whose hooks are the methods of its Python object.
class pyanalysis : public Analysis, public PyOstrel {
public:
    pyanalysis(int nchip, int nchan);
    ~pyanalysis() override;

    void Analyze() override;
    bool data_valid(TellumData* record) const override;
    void decode(TellumData* record) override;
    void init_run() override;
    void end_run() override;
};

// ---- Python instance layouts ---------------------------------------------

// pybrisko.GenModule has the layout of ostrel.Module (OstrelModuleObject):
// its native module is the one bound there, none until the object is
// initialised and none once the acquisition deleted the module.

struct PyAnalysisObject {
    PyObject_HEAD
    PyObject* dict;
    pyanalysis* ana;
};

struct PyTellumDataObject {
    PyObject_HEAD
    PyObject* dict;
    Ostrel::ModuleData* data;   // one reference; null until initialised
};

extern PyTypeObject GenModule_Type;
extern PyTypeObject brisko_analysis_Type;
extern PyTypeObject tellum_data_Type;

// A new Python record object holding a copy of the record: its header and
// the payload its size field counts. Null with a Python error set.
PyObject* tellum_data_copy(const TellumData* record);
// The record of a Python record object; null for anything else.
TellumData* tellum_data_record(PyObject* object);

// Runs f and turns the exceptions of the native classes into Python errors:
// ValueError for the framework's (bad sizes, among them), MemoryError, and
// RuntimeError for anything else. False after one.
template <class F>
bool native_call(F f)
{
    try {
        f();
        return true;
    } catch (const Ostrel::Exception& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return false;
}

// Runs f with the interpreter lock given up, for native work that may wait
// for locks which another thread holds while it waits for the interpreter.
// An exception of f reaches the caller with the lock taken again.
template <class F>
void without_lock(F f)
{
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        f();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure)
        std::rethrow_exception(failure);
}

#endif
