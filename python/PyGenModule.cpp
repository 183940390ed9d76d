// pybrisko.GenModule: an acquisition module written in Python.
#include <climits>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/DAQmanager.h"
#include "python/PyBridges.h"
#include "python/pybrisko.h"

// ---- native side -------------------------------------------------------------

pygenmodule::pygenmodule(const Ostrel::DAQid& id, unsigned long address) : GenModule(id, address)
{
    set_analysis(new Analysis(1, 1, 256, 0.0, 1023.0));
}

pygenmodule::~pygenmodule()
{
    Analysis* held = release_analysis();
    PyLock lock;
    if (!py_analysis)
        delete held;
    // else the analysis belongs to its Python object; without an interpreter
    // nothing Python can be touched any more.
    if (!lock.active())
        return;
    Py_CLEAR(py_analysis);
    // Unbinds the object too: its operations find no module any more.
    release_object();
}

int pygenmodule::forward(const char* name, std::optional<int> argument, std::optional<Status> after)
{
    int result = 0;
    const bool ok = argument ? call_int_method(result, name, "i", *argument) : call_int_method(result, name);
    if (after)
        get_status().set_status(*after);
    return ok ? result : -1;
}

int pygenmodule::get_data_type()
{
    int type = 0;
    call_int_method(type, "get_data_type");
    return type;
}

int pygenmodule::PrepareForRun()
{
    return forward("PrepareForRun");
}

int pygenmodule::Start(int mode)
{
    return forward("Start", mode, Ostrel::RunState::Running);
}

int pygenmodule::Stop(int mode)
{
    return forward("Stop", mode, Ostrel::RunState::Stopped);
}

int pygenmodule::Pause()
{
    return forward("Pause", {}, Ostrel::RunState::Paused);
}

int pygenmodule::Continue()
{
    return forward("Continue", {}, Ostrel::RunState::Running);
}

int pygenmodule::Reset()
{
    return forward("Reset", {}, Ostrel::RunState::NotReady);
}

int pygenmodule::GetReady()
{
    return forward("GetReady", {}, Ostrel::RunState::Ready);
}

int pygenmodule::Trigger()
{
    if (!get_status().isRunning())
        return 1;
    return forward("Trigger");
}

int pygenmodule::flush()
{
    return call_void_method("flush") ? 0 : -1;
}

bool pygenmodule::hasData()
{
    int has = 0;
    // A failed check is printed; the module then has nothing to give.
    return call_int_method(has, "hasData") && has != 0;
}

void pygenmodule::EndOfEvent()
{
    if (python_call())
        GenModule::EndOfEvent();
    else
        call_void_method("EndOfEvent");
}

namespace {

// A framework block with a copy of the bytes of a getData result; null with
// the binding's error set when they hold no event record.
Ostrel::ModuleData* record_block(const char* bytes, Py_ssize_t length)
{
    const size_t n = static_cast<size_t>(length);
    if (n < sizeof(TellumData)) {
        ostrel_set_error("Module.getData: " + std::to_string(n) + " bytes hold no event record (" +
                         std::to_string(sizeof(TellumData)) + " at least)");
        return nullptr;
    }
    TellumData head(0, 0, 0, 0);
    std::memcpy(&head, bytes, sizeof head);
    // Readers of the record trust its size: it must not lead them past the
    // block's end.
    if (head.size > n) {
        ostrel_set_error("Module.getData: the record's size " + std::to_string(head.size) +
                         " exceeds its " + std::to_string(n) + " bytes");
        return nullptr;
    }
    Ostrel::ModuleData* block = nullptr;
    if (!native_call([&] { block = Ostrel::ModuleData::new_block(n, bytes); }))
        return nullptr;
    return block;
}

Ostrel::ModuleData* block_of_result(PyObject* result)
{
    {
        ReadBuffer buffer(result);
        if (buffer)
            return record_block(buffer.data(), buffer.size());
    }
    if (!PySequence_Check(result)) {
        ostrel_set_error("Module.getData: get data should provide a buffer or a sequence");
        return nullptr;
    }
    char* bytes = nullptr;
    Py_ssize_t length = 0;
    try {
        import_sequence(result, &bytes, &length);
    } catch (const SeqException& e) {
        const std::string text = std::string("Module.getData: ") + e.what();
        std::cout << "\n***** " << text << std::endl;
        ostrel_set_error(text);
        return nullptr;
    }
    Ostrel::ModuleData* block = record_block(bytes, length);
    PyMem_Free(bytes);
    return block;
}

} // namespace

Ostrel::ModuleData* pygenmodule::getData()
{
    PyLock lock;
    if (!lock.active())
        return nullptr;
    bool called = false;
    PyRef result(call_method(called, "getData"));
    Ostrel::ModuleData* block = nullptr;
    if (result && result.get() != Py_None)
        block = block_of_result(result.get());
    // On a run thread: nobody else would see the error.
    ostrel_print_error(method_name("getData").c_str());
    return block;
}

int pygenmodule::check_attributes()
{
    PyObject* object = self();
    if (!object)
        return 1;
    for (const char* name : {"hasData", "getData", "get_data_type"}) {
        if (!PyObject_HasAttrString(object, name)) {
            ostrel_set_error("Module should define its own hasData, getData and get_data_type methods");
            return -1;
        }
    }
    return 0;
}

void pygenmodule::attach_analysis(PyObject* object, pyanalysis* analysis)
{
    Py_INCREF(object);
    PyObject* previous = py_analysis;
    // The previous Python analysis stays its object's; the module's own
    // default analysis is deleted by set_analysis.
    if (previous)
        release_analysis();
    set_analysis(analysis);
    py_analysis = object;
    Py_XDECREF(previous);

    const size_t n = static_cast<size_t>(analysis->Ntot());
    for (const char* name : {"pedestal", "noise"}) {
        auto* par = dynamic_cast<Ostrel::Par<std::vector<double>>*>(get_par(name));
        if (!par)
            continue;
        std::lock_guard<std::recursive_mutex> guard(par->mutex());
        std::vector<double> values = par->get_value();
        values.resize(n, 0.0);
        par->set_value(values, false);
    }
}

// ---- Python side -------------------------------------------------------------

namespace {

// The module bound to the object, when it is one of ours.
pygenmodule* bound_module(PyObject* self)
{
    return dynamic_cast<pygenmodule*>(reinterpret_cast<OstrelModuleObject*>(self)->bridge);
}

// The native module; null with RuntimeError when there is none (never made,
// or deleted by the acquisition).
pygenmodule* module_of(PyObject* self)
{
    pygenmodule* m = bound_module(self);
    if (!m)
        PyErr_SetString(PyExc_RuntimeError, "GenModule - no acquisition module is bound to this object");
    return m;
}

int genmodule_init(PyObject* self, PyObject* args, PyObject* kwds)
{
    static const char* keywords[] = {"name", "address", nullptr};
    PyObject* name = nullptr;
    UnsignedArg address{"brisko.Module.__init__", "address", ULONG_MAX, 0};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO&:brisko.Module.__init__", const_cast<char**>(keywords),
                                     &name, ostrel_unsigned_converter, &address))
        return -1;
    if (bound_module(self)) {
        PyErr_SetString(PyExc_RuntimeError, "brisko.Module.__init__: the module is set up already");
        return -1;
    }
    if (name == Py_None)
        return 0;
    PyRef text(PyObject_Str(name));
    const char* id = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!id)
        return -1;
    // Another module of the id would leave the framework's registry and
    // never be deleted.
    if (Ostrel::DAQmanager::theDAQmanager()->find_module(Ostrel::DAQid(id))) {
        PyErr_Format(PyExc_ValueError, "brisko.Module.__init__: there is a module %s already", id);
        return -1;
    }
    pygenmodule* made = nullptr;
    if (!native_call([&] { made = new pygenmodule(Ostrel::DAQid(id), address.value); }))
        return -1;
    const int rc = setup_ostrel_module(self, made, made);
    if (rc != 0)
        delete made;
    return rc;
}

// EndOfEvent for Python: the native operation, which is forwarded to the
// object's EndOfEvent; not while the module is calling into Python itself
// (the object's own hook reached the type's method: nothing more to do).
PyObject* genmodule_EndOfEvent(PyObject* self, PyObject*)
{
    pygenmodule* m = module_of(self);
    if (!m)
        return nullptr;
    if (!m->external_call()) {
        PyOstrel::PythonCallScope scope(m);
        m->EndOfEvent();
    }
    Py_RETURN_NONE;
}

// The counter's operations never call into Python: they count whoever calls
// them, getData on a run thread included.
PyObject* genmodule_increase_evt_counter(PyObject* self, PyObject*)
{
    pygenmodule* m = module_of(self);
    if (!m)
        return nullptr;
    m->increase_evt_counter();
    Py_RETURN_NONE;
}

PyObject* genmodule_reset_evt_counter(PyObject* self, PyObject*)
{
    pygenmodule* m = module_of(self);
    if (!m)
        return nullptr;
    m->reset_evt_counter();
    Py_RETURN_NONE;
}

PyObject* genmodule_set_analysis(PyObject* self, PyObject* args)
{
    PyObject* object = nullptr;
    if (!PyArg_ParseTuple(args, "O:GenModule.set_analysis", &object))
        return nullptr;
    pygenmodule* m = module_of(self);
    if (!m)
        return nullptr;
    if (object == Py_None)
        Py_RETURN_NONE;
    if (!PyBrisko_Analysis_Check(object)) {
        PyErr_Format(PyExc_TypeError, "GenModule.set_analysis: a pybrisko.Analysis is needed, not %s",
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    pyanalysis* a = reinterpret_cast<PyAnalysisObject*>(object)->ana;
    if (!a) {
        PyErr_SetString(PyExc_RuntimeError, "Analysis - the object was not initialised");
        return nullptr;
    }
    // The run's threads fill the analysis the module has.
    if (m->get_status().isRunning()) {
        PyErr_SetString(PyExc_RuntimeError, "GenModule.set_analysis: not while the module runs");
        return nullptr;
    }
    m->attach_analysis(object, a);
    Py_RETURN_NONE;
}

PyMethodDef genmodule_methods[] = {
    {"EndOfEvent", genmodule_EndOfEvent, METH_NOARGS, "Ends the event."},
    {"set_analysis", genmodule_set_analysis, METH_VARARGS, "Gives the module a pybrisko.Analysis."},
    {"increase_evt_counter", genmodule_increase_evt_counter, METH_NOARGS, "Adds one to the event counter."},
    {"reset_evt_counter", genmodule_reset_evt_counter, METH_NOARGS, "Sets the event counter to 0."},
    {nullptr, nullptr, 0, nullptr},
};

enum class Attr { Nchip, Nchan, Address, EvtCounter, Analysis };

PyObject* genmodule_get(PyObject* self, void* closure)
{
    pygenmodule* m = module_of(self);
    if (!m)
        return nullptr;
    switch (static_cast<Attr>(reinterpret_cast<intptr_t>(closure))) {
    case Attr::Nchip: return PyLong_FromLong(m->get_n_chips());
    case Attr::Nchan: return PyLong_FromLong(m->get_n_chan());
    case Attr::Address: return PyLong_FromUnsignedLong(m->get_address());
    case Attr::EvtCounter: return PyLong_FromUnsignedLong(m->get_evt_counter());
    case Attr::Analysis: break;
    }
    pyanalysis* a = dynamic_cast<pyanalysis*>(m->get_analysis());
    PyObject* object = a && a->self() ? a->self() : Py_None;
    Py_INCREF(object);
    return object;
}

void* attr(Attr a)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(a));
}

PyGetSetDef genmodule_getset[] = {
    {"nchip", genmodule_get, nullptr, "Number of chips", attr(Attr::Nchip)},
    {"nchan", genmodule_get, nullptr, "Number of channels", attr(Attr::Nchan)},
    {"address", genmodule_get, nullptr, "Address", attr(Attr::Address)},
    {"evt_counter", genmodule_get, nullptr, "Event counter", attr(Attr::EvtCounter)},
    {"analysis", genmodule_get, nullptr, "The module analysis", attr(Attr::Analysis)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_genmodule_type()
{
    PyTypeObject t = ostrel_new_type("pybrisko.GenModule", sizeof(OstrelModuleObject),
                                     "An acquisition module written in Python");
    t.tp_methods = genmodule_methods;
    t.tp_getset = genmodule_getset;
    t.tp_init = genmodule_init;
    // Deallocation, the dictionary and attribute access are the base type's:
    // once the object goes, no native module holds it any more.
    return t;
}

} // namespace

PyTypeObject GenModule_Type = make_genmodule_type();

extern "C" {

int register_genmodule(PyObject* dict)
{
    GenModule_Type.tp_base = &Module_Type;
    return ostrel_register_class(dict, "GenModule", &GenModule_Type);
}

int Brisko_Module_Check(PyObject* object)
{
    return object && PyObject_TypeCheck(object, &GenModule_Type);
}

} // extern "C"
