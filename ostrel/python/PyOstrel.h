// The framework's Python binding: what native code needs to host objects
// written in Python. It is a thin layer over the CPython C API:
//
//  - the call bracket (ostrel_observer_start / ostrel_observer_stop, PyLock)
//    that takes the interpreter lock on any thread, so that run threads and
//    monitor queues may call into Python;
//  - PyOstrel, the bridge base of native classes whose operations are
//    written in Python: it holds the Python object and calls its methods;
//  - Module_Type, the Python base type of framework modules, with the
//    binding of a native module to its Python object;
//  - type registration, and the conversion of Python sequences and buffers
//    into bytes and integers.
//
// The library does not link the interpreter: the process that loads it
// provides it (the python3 program, or a program that embeds Python).
//
// Unless said otherwise a function here must be called with the interpreter
// lock held. Errors met on a thread of the acquisition are printed and
// cleared there (ostrel_print_error): nobody else would ever see them.
#ifndef OSTREL_PYTHON_PYOSTREL_H
#define OSTREL_PYTHON_PYOSTREL_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdarg>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Ostrel {
class Module;
}

// ---- interpreter lock ------------------------------------------------------

// Takes the interpreter lock for the calling thread, whatever thread it is
// and whether it holds the lock already; ostrel_observer_stop gives it back.
PyGILState_STATE ostrel_observer_start();
void ostrel_observer_stop(PyGILState_STATE state);

// The call bracket for a scope. It takes nothing while no interpreter runs
// (before it starts, after it ended): then active() is false and no Python
// object may be touched.
class PyLock {
public:
    PyLock();
    ~PyLock();
    PyLock(const PyLock&) = delete;
    PyLock& operator=(const PyLock&) = delete;
    bool active() const { return _active; }

private:
    bool _active;
    PyGILState_STATE _state;
};

// One reference of a Python object for a scope: it takes over the
// reference it is given (a new reference, or null) and drops it when it goes.
class PyRef {
public:
    explicit PyRef(PyObject* object = nullptr) : _object(object) {}
    ~PyRef() { Py_XDECREF(_object); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyObject* get() const { return _object; }
    explicit operator bool() const { return _object != nullptr; }
    // Hands the reference to the caller.
    PyObject* release()
    {
        PyObject* o = _object;
        _object = nullptr;
        return o;
    }

private:
    PyObject* _object;
};

// ---- errors ----------------------------------------------------------------

// Prints the pending Python error with its traceback on the interpreter's
// standard error, after a line naming where it was met, and clears it.
// Nothing when no error is pending. An error that would end the interpreter
// (SystemExit) is printed like any other: a run thread does not end the
// program.
void ostrel_print_error(const char* where);

// Sets the binding's Python error (RuntimeError) to the text.
void ostrel_set_error(const std::string& text);

// ---- bridge base -----------------------------------------------------------

// The base of native classes whose operations are forwarded to a Python
// object. Two flags stop the forwarding from going round in circles:
//  - python-call: native code runs on behalf of Python (a Python method of
//    the type called the native operation); the native operation must not
//    call Python again but do the native work;
//  - external-call: native code is calling into Python; a Python method of
//    the type reached meanwhile (the type's own method, not an override)
//    returns at once.
// The flags are plain bits, not locks.
class PyOstrel {
public:
    enum Flags { PythonCall = 1, ExternalCall = 2 };

    PyOstrel();
    // Releases the object (taking the interpreter lock itself).
    virtual ~PyOstrel();
    PyOstrel(const PyOstrel&) = delete;
    PyOstrel& operator=(const PyOstrel&) = delete;

    // The Python object, a borrowed reference; null when none is bound.
    PyObject* self() const { return _object; }
    bool has_object() const { return _object != nullptr; }
    // Binds the object. With `owned` the bridge holds a reference of its own
    // (the native object keeps the Python one alive); without, the Python
    // object must outlive the bridge (it owns the native object).
    void set_object(PyObject* object, bool owned);
    // Forgets the object, dropping the bridge's reference when it holds one
    // and unbinding a module object from this bridge.
    void release_object();

    bool python_call() const { return (_flags.load() & PythonCall) != 0; }
    bool external_call() const { return (_flags.load() & ExternalCall) != 0; }

    // Sets the python-call flag for its scope.
    class PythonCallScope {
    public:
        explicit PythonCallScope(const PyOstrel* bridge);
        ~PythonCallScope();
        PythonCallScope(const PythonCallScope&) = delete;
        PythonCallScope& operator=(const PythonCallScope&) = delete;

    private:
        const PyOstrel* _bridge;
        bool _was_set;
    };

    // Whether the object is fit to be bound (setup_ostrel_module asks): 0,
    // or -1 with a Python error set. By default every object is.
    virtual int check_attributes();

    // Calls of the object's method `name` with the arguments Py_BuildValue
    // makes of `format` (null: none). They take the interpreter lock
    // themselves. Nothing is called, and they return true with `result`
    // untouched, when no object is bound, when the python-call flag is set
    // or when the object has no such attribute. The external-call flag is
    // set during the call. A Python error (also a result of call_int_method
    // that is not an integer in the range of int) is printed and cleared,
    // and they return false.
    bool call_int_method(int& result, const char* name, const char* format = nullptr, ...) const;
    bool call_void_method(const char* name, const char* format = nullptr, ...) const;

    // The same call with the lock held by the caller: the method's result (a
    // new reference), or null. `called` tells whether the method was called
    // at all (when not: null and no error); the Python error of a failed
    // call is left pending.
    PyObject* call_method(bool& called, const char* name, const char* format = nullptr, ...) const;

    // "<type name>.<name>", as errors name a method.
    std::string method_name(const char* name) const;

private:
    PyObject* vcall(bool& called, const char* name, const char* format, va_list args) const;
    // The call of call_int_method and call_void_method: `use` takes a
    // successful call's result and says whether it is fit.
    bool locked_call(const char* name, const char* format, va_list args,
                     const std::function<bool(PyObject*)>& use) const;

    PyObject* _object = nullptr;
    bool _owned = false;
    mutable std::atomic<int> _flags{0};
};

// ---- module type -----------------------------------------------------------

// The Python instance of a framework module. Types of modules derive from
// Module_Type and put their own fields after these.
struct OstrelModuleObject {
    PyObject_HEAD
    PyObject* dict;           // instance dictionary
    Ostrel::Module* module;   // the bound native module, null when none
    PyOstrel* bridge;         // its bridge
};

// "ostrel.Module": subclassable, with an instance dictionary.
extern PyTypeObject Module_Type;

// Binds the native module to the Python object (an instance of Module_Type
// or a subtype): the bridge takes a reference on the object, so that the
// Python object lives as long as the module (the framework owns modules).
// The bridge's check_attributes decides: on -1 nothing stays bound and -1
// is returned with the error set, and the caller deletes the module.
int setup_ostrel_module(PyObject* self, Ostrel::Module* module, PyOstrel* bridge);
// Unbinds whatever native module is bound to the object; for the type's
// deallocation. The module stays the framework's.
void terminate_ostrel_module(PyObject* self);

// ---- type registration -----------------------------------------------------

// A type object with the name, the instance size, the doc text, the flags
// default and base type, and generic creation and attribute access. With a
// dictionary offset its instances have an instance dictionary there (a
// PyObject* field, null at first) and take part in garbage collection
// through it. The module of the type fills in the rest before it registers
// it.
PyTypeObject ostrel_new_type(const char* name, Py_ssize_t basicsize, const char* doc,
                             Py_ssize_t dict_offset = 0);
// The end of a deallocation of such a type with a dictionary, once the
// type's own fields are released: drops the dictionary and frees the
// object. The deallocation starts with PyObject_GC_UnTrack.
void ostrel_free_object(PyObject* self);

// Readies the type and enters it in the dictionary under the name; 0, or
// -1 with a Python error set.
int ostrel_register_class(PyObject* dict, const char* name, PyTypeObject* type);

// ---- sequences and buffers ---------------------------------------------------

// A conversion of a Python sequence that failed: the text says why, and
// error_type() is the Python exception that fits (TypeError for what is no
// sequence or holds no integer, ValueError for an integer out of range).
class SeqException : public std::runtime_error {
public:
    SeqException(PyObject* error_type, const std::string& text);
    PyObject* error_type() const { return _type; }
    // Sets the Python error of that type with the text, after `prefix`.
    void set_error(const std::string& prefix = std::string()) const;

private:
    PyObject* _type;
};

// The items of a sequence as integers, each between `lowest` and `highest`.
// Throws SeqException (a Python error met on the way is taken into its text
// and cleared).
std::vector<long> import_int_sequence(PyObject* sequence, long lowest, long highest);

// The items of a sequence of byte values (0 to 255) as bytes in memory from
// PyMem_Malloc, which the caller frees with PyMem_Free. Throws SeqException.
void import_sequence(PyObject* sequence, char** bytes, Py_ssize_t* length);

// Reading a Python integer into an unsigned value of at most `highest`.
// Nothing is left pending: the callers give their own error texts.
enum class UnsignedRead { Ok, NotInteger, OutOfRange };
UnsignedRead ostrel_read_unsigned(PyObject* object, unsigned long highest, unsigned long& value);

// An argument converter ("O&") built on it: TypeError or OverflowError with
// "<where>: the <what> should be ..." when the argument does not fit.
struct UnsignedArg {
    const char* where;
    const char* what;
    unsigned long highest;
    unsigned long value;
};
int ostrel_unsigned_converter(PyObject* object, void* arg);

// The bytes an object offers through the buffer protocol, for the scope.
// False for an object without a buffer (no error is left pending).
class ReadBuffer {
public:
    explicit ReadBuffer(PyObject* object);
    ~ReadBuffer();
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    explicit operator bool() const { return _held; }
    const char* data() const { return static_cast<const char*>(_view.buf); }
    Py_ssize_t size() const { return _view.len; }

private:
    Py_buffer _view;
    bool _held;
};

#endif
