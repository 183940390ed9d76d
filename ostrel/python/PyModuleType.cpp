// The Python base type of framework modules, the binding of a native module
// to its Python object, and type registration.
#include <cstddef>

#include "ostrel/python/PyOstrel.h"

namespace {

PyObject** dict_of(PyObject* self)
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Py_TYPE(self)->tp_dictoffset);
}

int dict_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(*dict_of(self));
    return 0;
}

int dict_clear(PyObject* self)
{
    Py_CLEAR(*dict_of(self));
    return 0;
}

void module_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    terminate_ostrel_module(self);
    ostrel_free_object(self);
}

PyTypeObject make_module_type()
{
    PyTypeObject t = ostrel_new_type("ostrel.Module", sizeof(OstrelModuleObject),
                                     "A module of the acquisition framework",
                                     offsetof(OstrelModuleObject, dict));
    t.tp_dealloc = module_dealloc;
    return t;
}

} // namespace

PyTypeObject Module_Type = make_module_type();

int setup_ostrel_module(PyObject* self, Ostrel::Module* module, PyOstrel* bridge)
{
    if (!self || !PyObject_TypeCheck(self, &Module_Type) || !module || !bridge) {
        PyErr_SetString(PyExc_TypeError, "setup_ostrel_module: not a module object");
        return -1;
    }
    auto* object = reinterpret_cast<OstrelModuleObject*>(self);
    // A module bound before stays with the framework, unbound.
    terminate_ostrel_module(self);
    bridge->set_object(self, true);
    object->module = module;
    object->bridge = bridge;
    if (bridge->check_attributes() != 0) {
        // Dropping the reference may not deallocate: the caller holds one.
        bridge->release_object();
        if (!PyErr_Occurred())
            ostrel_set_error("setup_ostrel_module: the object does not fit the module");
        return -1;
    }
    return 0;
}

void terminate_ostrel_module(PyObject* self)
{
    if (!self || !PyObject_TypeCheck(self, &Module_Type))
        return;
    auto* object = reinterpret_cast<OstrelModuleObject*>(self);
    PyOstrel* bridge = object->bridge;
    object->bridge = nullptr;
    object->module = nullptr;
    // The object is going (or being bound anew): the bridge must not reach
    // it any more. It held a reference, so in a deallocation it is gone
    // already; only a binding anew finds it here.
    if (bridge && bridge->self() == self)
        bridge->release_object();
}

PyTypeObject ostrel_new_type(const char* name, Py_ssize_t basicsize, const char* doc, Py_ssize_t dict_offset)
{
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    t.tp_doc = doc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_new = PyType_GenericNew;
    t.tp_alloc = PyType_GenericAlloc;
    if (dict_offset > 0) {
        t.tp_flags |= Py_TPFLAGS_HAVE_GC;
        t.tp_dictoffset = dict_offset;
        t.tp_traverse = dict_traverse;
        t.tp_clear = dict_clear;
        t.tp_free = PyObject_GC_Del;
    }
    return t;
}

void ostrel_free_object(PyObject* self)
{
    dict_clear(self);
    Py_TYPE(self)->tp_free(self);
}

int ostrel_register_class(PyObject* dict, const char* name, PyTypeObject* type)
{
    if (!dict || !PyDict_Check(dict) || !type) {
        PyErr_SetString(PyExc_TypeError, "ostrel_register_class: a dictionary and a type are needed");
        return -1;
    }
    if (PyType_Ready(type) < 0)
        return -1;
    return PyDict_SetItemString(dict, name, reinterpret_cast<PyObject*>(type));
}
