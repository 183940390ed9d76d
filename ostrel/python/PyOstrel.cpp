#include "ostrel/python/PyOstrel.h"

#include <limits>

// ---- interpreter lock ------------------------------------------------------

PyGILState_STATE ostrel_observer_start()
{
    return PyGILState_Ensure();
}

void ostrel_observer_stop(PyGILState_STATE state)
{
    PyGILState_Release(state);
}

PyLock::PyLock() : _active(Py_IsInitialized() != 0), _state(PyGILState_UNLOCKED)
{
    if (_active)
        _state = ostrel_observer_start();
}

PyLock::~PyLock()
{
    if (_active)
        ostrel_observer_stop(_state);
}

// ---- errors ----------------------------------------------------------------

void ostrel_print_error(const char* where)
{
    if (!PyErr_Occurred())
        return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value)
        PyException_SetTraceback(value, traceback);
    PySys_WriteStderr("***** Python error in %s\n", where ? where : "?");
    // Not PyErr_Print: it would end the process on SystemExit.
    PyErr_Display(type, value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Clear();
}

void ostrel_set_error(const std::string& text)
{
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
}

// ---- bridge base -----------------------------------------------------------

PyOstrel::PyOstrel() = default;

PyOstrel::~PyOstrel()
{
    if (!_object)
        return;
    PyLock lock;
    if (lock.active())
        release_object();
}

void PyOstrel::set_object(PyObject* object, bool owned)
{
    release_object();
    _object = object;
    _owned = owned && object;
    if (_owned)
        Py_INCREF(object);
}

void PyOstrel::release_object()
{
    PyObject* object = _object;
    if (!object)
        return;
    const bool owned = _owned;
    _object = nullptr;
    _owned = false;
    if (PyObject_TypeCheck(object, &Module_Type)) {
        auto* m = reinterpret_cast<OstrelModuleObject*>(object);
        if (m->bridge == this) {
            m->bridge = nullptr;
            m->module = nullptr;
        }
    }
    // Last: dropping the reference may deallocate the object.
    if (owned)
        Py_DECREF(object);
}

PyOstrel::PythonCallScope::PythonCallScope(const PyOstrel* bridge)
    : _bridge(bridge), _was_set((bridge->_flags.fetch_or(PythonCall) & PythonCall) != 0)
{
}

PyOstrel::PythonCallScope::~PythonCallScope()
{
    if (!_was_set)
        _bridge->_flags.fetch_and(~PythonCall);
}

int PyOstrel::check_attributes()
{
    return 0;
}

std::string PyOstrel::method_name(const char* name) const
{
    std::string type = _object ? Py_TYPE(_object)->tp_name : "<unbound>";
    return type + "." + name;
}

PyObject* PyOstrel::vcall(bool& called, const char* name, const char* format, va_list args) const
{
    called = false;
    if (!_object || python_call())
        return nullptr;
    PyObject* method = PyObject_GetAttrString(_object, name);
    if (!method) {
        // A method the object does not define is not called; anything else
        // that goes wrong while looking it up is an error of the call.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            called = true;
        else
            PyErr_Clear();
        return nullptr;
    }
    called = true;
    PyObject* arguments = nullptr;
    if (format && *format) {
        const std::string tuple = std::string("(") + format + ")";
        arguments = Py_VaBuildValue(tuple.c_str(), args);
    } else {
        arguments = PyTuple_New(0);
    }
    if (!arguments) {
        Py_DECREF(method);
        return nullptr;
    }
    const bool was_external = (_flags.fetch_or(ExternalCall) & ExternalCall) != 0;
    PyObject* result = PyObject_Call(method, arguments, nullptr);
    if (!was_external)
        _flags.fetch_and(~ExternalCall);
    Py_DECREF(arguments);
    Py_DECREF(method);
    return result;
}

PyObject* PyOstrel::call_method(bool& called, const char* name, const char* format, ...) const
{
    va_list args;
    va_start(args, format);
    PyObject* result = vcall(called, name, format, args);
    va_end(args);
    return result;
}

bool PyOstrel::locked_call(const char* name, const char* format, va_list args,
                           const std::function<bool(PyObject*)>& use) const
{
    PyLock lock;
    if (!lock.active())
        return true;
    bool called = false;
    PyRef value(vcall(called, name, format, args));
    if (!called)
        return true;
    const bool ok = value && use(value.get());
    if (!ok)
        ostrel_print_error(method_name(name).c_str());
    return ok;
}

bool PyOstrel::call_int_method(int& result, const char* name, const char* format, ...) const
{
    va_list args;
    va_start(args, format);
    const bool ok = locked_call(name, format, args, [&](PyObject* value) {
        int overflow = 0;
        const long v = PyLong_Check(value) ? PyLong_AsLongAndOverflow(value, &overflow) : 0;
        if (!PyLong_Check(value) || overflow || v < std::numeric_limits<int>::min() ||
            v > std::numeric_limits<int>::max()) {
            PyErr_Format(PyExc_TypeError, "%s should return an integer (of C type int)",
                         method_name(name).c_str());
            return false;
        }
        result = static_cast<int>(v);
        return true;
    });
    va_end(args);
    return ok;
}

bool PyOstrel::call_void_method(const char* name, const char* format, ...) const
{
    va_list args;
    va_start(args, format);
    const bool ok = locked_call(name, format, args, [](PyObject*) { return true; });
    va_end(args);
    return ok;
}
