// pybrisko.Analysis: an analysis whose hooks are written in Python.
#include <cstddef>
#include <string>
#include <vector>

#include "python/PyBridges.h"
#include "python/pybrisko.h"

// ---- native side -------------------------------------------------------------

pyanalysis::pyanalysis(int nchip, int nchan) : Analysis(nchip, nchan, 256, 0.0, 1023.0) {}

pyanalysis::~pyanalysis() = default;

void pyanalysis::Analyze()
{
    {
        // One hold of the lock for the check and the call, once per event.
        PyLock lock;
        if (lock.active() && self() && !python_call() && PyObject_HasAttrString(self(), "Analyze")) {
            call_void_method("Analyze");
            return;
        }
    }
    // The native analysis waits for the fill lock: never while holding the
    // interpreter lock (see without_lock).
    Analysis::Analyze();
}

bool pyanalysis::data_valid(TellumData* record) const
{
    PyLock lock;
    if (!lock.active() || !self() || python_call())
        return Analysis::data_valid(record);
    PyRef wrapper(tellum_data_copy(record));
    if (!wrapper) {
        ostrel_print_error(method_name("data_valid").c_str());
        return false;
    }
    // A record that the check could not pass is not valid.
    int valid = 1;
    if (!call_int_method(valid, "data_valid", "O", wrapper.get()))
        return false;
    return valid != 0;
}

void pyanalysis::decode(TellumData* record)
{
    PyLock lock;
    if (!lock.active() || !self() || python_call()) {
        Analysis::decode(record);
        return;
    }
    PyRef wrapper(tellum_data_copy(record));
    if (!wrapper) {
        ostrel_print_error(method_name("decode").c_str());
        return;
    }
    call_void_method("decode", "O", wrapper.get());
}

void pyanalysis::init_run()
{
    call_void_method("init_run");
}

void pyanalysis::end_run()
{
    call_void_method("end_run");
}

// ---- Python side -------------------------------------------------------------

namespace {

PyAnalysisObject* as_analysis(PyObject* self)
{
    return reinterpret_cast<PyAnalysisObject*>(self);
}

// The native analysis; null with RuntimeError for an object never set up.
pyanalysis* analysis_of(PyObject* self)
{
    pyanalysis* a = as_analysis(self)->ana;
    if (!a)
        PyErr_SetString(PyExc_RuntimeError, "Analysis - the object was not initialised");
    return a;
}

// Gives the object a new native analysis, which it owns; false with a
// Python error set for counts the analysis refuses.
bool bind_new_analysis(PyObject* self, int nchip, int nchan)
{
    pyanalysis* made = nullptr;
    if (!native_call([&] { made = new pyanalysis(nchip, nchan); }))
        return false;
    made->set_object(self, false);
    as_analysis(self)->ana = made;
    return true;
}

int analysis_init(PyObject* self, PyObject* args, PyObject* kwds)
{
    static const char* keywords[] = {"nchip", "nchan", nullptr};
    int nchip = 0;
    int nchan = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "ii:Analysis.init", const_cast<char**>(keywords), &nchip,
                                     &nchan))
        return -1;
    // Modules may hold the analysis: it stays what it is.
    if (as_analysis(self)->ana) {
        PyErr_SetString(PyExc_RuntimeError, "Analysis.init: the analysis is set up already");
        return -1;
    }
    return bind_new_analysis(self, nchip, nchan) ? 0 : -1;
}

void analysis_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    // No module uses it: a module given it holds a reference.
    delete as_analysis(self)->ana;
    as_analysis(self)->ana = nullptr;
    ostrel_free_object(self);
}

// The analysis and the record of decode and data_valid called from Python.
// Null with an error set, or with `skip` set when the analysis is calling
// into Python itself (the type's own method was reached: nothing to do).
pyanalysis* record_call(PyObject* self, PyObject* args, const char* format, TellumData*& record, bool& skip)
{
    skip = false;
    PyObject* object = nullptr;
    if (!PyArg_ParseTuple(args, format, &object))
        return nullptr;
    pyanalysis* a = analysis_of(self);
    if (!a)
        return nullptr;
    if (a->external_call()) {
        skip = true;
        return nullptr;
    }
    record = tellum_data_record(object);
    if (!record) {
        PyErr_SetString(PyExc_TypeError, "Analysis - Invalid TellumData object");
        return nullptr;
    }
    return a;
}

PyObject* analysis_decode(PyObject* self, PyObject* args)
{
    TellumData* record = nullptr;
    bool skip = false;
    pyanalysis* a = record_call(self, args, "O:Analysis.decode", record, skip);
    if (!a && !skip)
        return nullptr;
    if (a) {
        PyOstrel::PythonCallScope scope(a);
        a->decode(record);
    }
    Py_RETURN_NONE;
}

PyObject* analysis_data_valid(PyObject* self, PyObject* args)
{
    TellumData* record = nullptr;
    bool skip = false;
    pyanalysis* a = record_call(self, args, "O:Analysis.data_valid", record, skip);
    if (!a)
        return skip ? PyLong_FromLong(1) : nullptr;
    PyOstrel::PythonCallScope scope(a);
    return PyLong_FromLong(a->data_valid(record) ? 1 : 0);
}

PyObject* analysis_nothing(PyObject* self, PyObject*)
{
    if (!analysis_of(self))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* analysis_resize(PyObject* self, PyObject* args)
{
    int nchip = 0;
    int nchan = 0;
    if (!PyArg_ParseTuple(args, "ii:Analysis.resize", &nchip, &nchan))
        return nullptr;
    pyanalysis* a = analysis_of(self);
    if (!a)
        return nullptr;
    if (!native_call([&] { without_lock([&] { a->Resize(nchip, nchan); }); }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* analysis_add_hit(PyObject* self, PyObject* args)
{
    int channel = 0;
    if (!PyArg_ParseTuple(args, "i:Analysis.add_hit", &channel))
        return nullptr;
    pyanalysis* a = analysis_of(self);
    if (!a)
        return nullptr;
    if (channel < 0 || channel >= a->Ntot())
        return PyErr_Format(PyExc_ValueError, "Analysis.add_hit: channel %d is outside 0 to %d", channel,
                            a->Ntot() - 1);
    a->add_hit(channel);
    Py_RETURN_NONE;
}

PyObject* analysis_nhits(PyObject* self, PyObject*)
{
    pyanalysis* a = analysis_of(self);
    return a ? PyLong_FromLong(a->nhits()) : nullptr;
}

PyObject* analysis_pop_hit(PyObject* self, PyObject*)
{
    pyanalysis* a = analysis_of(self);
    return a ? PyLong_FromLong(a->pop_hit()) : nullptr;
}

PyObject* analysis_compute_pedestals(PyObject* self, PyObject* args)
{
    PyObject* sequence = nullptr;
    int pulse = 1;
    if (!PyArg_ParseTuple(args, "O|i:Analysis.compute_pedestals", &sequence, &pulse))
        return nullptr;
    pyanalysis* a = analysis_of(self);
    if (!a)
        return nullptr;
    if (!PySequence_Check(sequence)) {
        PyErr_SetString(PyExc_TypeError, "Argument of compute_pedestals should be a sequence");
        return nullptr;
    }
    std::vector<int> channels;
    try {
        for (long c : import_int_sequence(sequence, 0, a->Ntot() - 1))
            channels.push_back(static_cast<int>(c));
    } catch (const SeqException& e) {
        e.set_error("Analysis.compute_pedestals: ");
        return nullptr;
    }
    const bool normal = Analysis::current_pedestal_settings().normal_method;
    if (!native_call([&] {
            without_lock([&] {
                if (normal)
                    a->update_pedestals(channels, pulse != 0);
                else
                    a->update_pedestals_fast(channels, pulse != 0);
            });
        }))
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef analysis_methods[] = {
    {"decode", analysis_decode, METH_VARARGS, "Decodes the record into the channels' values."},
    {"data_valid", analysis_data_valid, METH_VARARGS, "1 when the record can be analysed, else 0."},
    {"init_run", analysis_nothing, METH_NOARGS, "Called when a run starts."},
    {"end_run", analysis_nothing, METH_NOARGS, "Called when a run ends."},
    {"resize", analysis_resize, METH_VARARGS, "Change the number of chips and channels.\n"},
    {"add_hit", analysis_add_hit, METH_VARARGS, "Adds a hit on the channel."},
    {"nhits", analysis_nhits, METH_NOARGS, "The number of hits held."},
    {"pop_hit", analysis_pop_hit, METH_NOARGS, "Removes and returns the latest hit; -1 when none."},
    {"compute_pedestals", analysis_compute_pedestals, METH_VARARGS,
     "Updates the pedestals and noise of the channels; pulse: look for hits."},
    {nullptr, nullptr, 0, nullptr},
};

enum class Attr { Nchip, Nchan, Ntot, RangeMin, RangeMax, Nbins };

PyObject* analysis_get(PyObject* self, void* closure)
{
    pyanalysis* a = analysis_of(self);
    if (!a)
        return nullptr;
    switch (static_cast<Attr>(reinterpret_cast<intptr_t>(closure))) {
    case Attr::Nchip: return PyLong_FromLong(a->Nchip());
    case Attr::Nchan: return PyLong_FromLong(a->Nchan());
    case Attr::Ntot: return PyLong_FromLong(a->Ntot());
    case Attr::RangeMin: return PyFloat_FromDouble(a->get_range_min());
    case Attr::RangeMax: return PyFloat_FromDouble(a->get_range_max());
    case Attr::Nbins: return PyLong_FromLong(a->get_nbins());
    }
    Py_RETURN_NONE;
}

void* attr(Attr a)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(a));
}

PyGetSetDef analysis_getset[] = {
    {"nchip", analysis_get, nullptr, "Number of chips", attr(Attr::Nchip)},
    {"nchan", analysis_get, nullptr, "Number of channels per chip", attr(Attr::Nchan)},
    {"ntot", analysis_get, nullptr, "Total number of channels", attr(Attr::Ntot)},
    {"range_min", analysis_get, nullptr, "Lower end of the signal histograms", attr(Attr::RangeMin)},
    {"range_max", analysis_get, nullptr, "Upper end of the signal histograms", attr(Attr::RangeMax)},
    {"nbins", analysis_get, nullptr, "Number of bins of the signal histograms", attr(Attr::Nbins)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_analysis_type()
{
    PyTypeObject t = ostrel_new_type("pybrisko.Analysis", sizeof(PyAnalysisObject), "Analysis class",
                                     offsetof(PyAnalysisObject, dict));
    t.tp_methods = analysis_methods;
    t.tp_getset = analysis_getset;
    t.tp_init = analysis_init;
    t.tp_dealloc = analysis_dealloc;
    return t;
}

} // namespace

PyTypeObject brisko_analysis_Type = make_analysis_type();

extern "C" {

int register_analysis(PyObject* dict)
{
    return ostrel_register_class(dict, "Analysis", &brisko_analysis_Type);
}

int PyBrisko_Analysis_Check(PyObject* object)
{
    return object && PyObject_TypeCheck(object, &brisko_analysis_Type);
}

PyObject* PyBrisko_Analysis_New(int nchip, int nchan)
{
    PyObject* object = PyType_Ready(&brisko_analysis_Type) < 0
                           ? nullptr
                           : brisko_analysis_Type.tp_alloc(&brisko_analysis_Type, 0);
    if (object && !bind_new_analysis(object, nchip, nchan))
        Py_CLEAR(object);
    return object;
}

} // extern "C"
