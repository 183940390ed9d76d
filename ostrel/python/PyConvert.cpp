// Python sequences and buffers into native bytes and integers.
#include "ostrel/python/PyOstrel.h"

namespace {

// The text of the pending Python error, which is cleared.
std::string take_error_text()
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    std::string text = "an error occurred";
    if (PyObject* s = value ? PyObject_Str(value) : nullptr) {
        if (const char* c = PyUnicode_AsUTF8(s))
            text = c;
        Py_DECREF(s);
    }
    PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return text;
}

} // namespace

SeqException::SeqException(PyObject* error_type, const std::string& text)
    : std::runtime_error(text), _type(error_type)
{
}

void SeqException::set_error(const std::string& prefix) const
{
    PyErr_SetString(_type, (prefix + what()).c_str());
}

std::vector<long> import_int_sequence(PyObject* sequence, long lowest, long highest)
{
    if (!sequence || !PySequence_Check(sequence))
        throw SeqException(PyExc_TypeError, std::string("a sequence is needed, not ") +
                                                (sequence ? Py_TYPE(sequence)->tp_name : "nothing"));
    PyRef fast(PySequence_Fast(sequence, "a sequence is needed"));
    if (!fast)
        throw SeqException(PyExc_TypeError, take_error_text());
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    std::vector<long> out;
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
        if (!PyIndex_Check(item))
            throw SeqException(PyExc_TypeError, "item " + std::to_string(i) + " is not an integer but " +
                                                    Py_TYPE(item)->tp_name);
        PyRef number(PyNumber_Index(item));
        if (!number)
            throw SeqException(PyExc_TypeError, take_error_text());
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(number.get(), &overflow);
        if (v == -1 && PyErr_Occurred())
            throw SeqException(PyExc_TypeError, take_error_text());
        if (overflow || v < lowest || v > highest)
            throw SeqException(PyExc_ValueError, "item " + std::to_string(i) + " is outside " +
                                                     std::to_string(lowest) + " to " +
                                                     std::to_string(highest));
        out.push_back(v);
    }
    return out;
}

void import_sequence(PyObject* sequence, char** bytes, Py_ssize_t* length)
{
    const std::vector<long> values = import_int_sequence(sequence, 0, 255);
    // One byte at least: PyMem_Malloc(0) may give null.
    char* out = static_cast<char*>(PyMem_Malloc(values.empty() ? 1 : values.size()));
    if (!out)
        throw SeqException(PyExc_MemoryError, "no memory for " + std::to_string(values.size()) + " bytes");
    for (size_t i = 0; i < values.size(); ++i)
        out[i] = static_cast<char>(static_cast<unsigned char>(values[i]));
    *bytes = out;
    *length = static_cast<Py_ssize_t>(values.size());
}

UnsignedRead ostrel_read_unsigned(PyObject* object, unsigned long highest, unsigned long& value)
{
    if (!object || !PyIndex_Check(object))
        return UnsignedRead::NotInteger;
    PyRef number(PyNumber_Index(object));
    if (!number) {
        PyErr_Clear();
        return UnsignedRead::NotInteger;
    }
    // Negative numbers and numbers too large for the type raise OverflowError.
    const unsigned long v = PyLong_AsUnsignedLong(number.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return UnsignedRead::OutOfRange;
    }
    if (v > highest)
        return UnsignedRead::OutOfRange;
    value = v;
    return UnsignedRead::Ok;
}

int ostrel_unsigned_converter(PyObject* object, void* arg)
{
    auto* out = static_cast<UnsignedArg*>(arg);
    switch (ostrel_read_unsigned(object, out->highest, out->value)) {
    case UnsignedRead::Ok:
        return 1;
    case UnsignedRead::NotInteger:
        PyErr_Format(PyExc_TypeError, "%s: the %s should be an integer", out->where, out->what);
        return 0;
    case UnsignedRead::OutOfRange:
        break;
    }
    PyErr_Format(PyExc_OverflowError, "%s: the %s should be between 0 and %lu", out->where, out->what,
                 out->highest);
    return 0;
}

ReadBuffer::ReadBuffer(PyObject* object) : _view(), _held(false)
{
    if (!object || !PyObject_CheckBuffer(object))
        return;
    if (PyObject_GetBuffer(object, &_view, PyBUF_SIMPLE) == 0)
        _held = true;
    else
        PyErr_Clear();   // no plain bytes to offer: taken as no buffer
}

ReadBuffer::~ReadBuffer()
{
    if (_held)
        PyBuffer_Release(&_view);
}
