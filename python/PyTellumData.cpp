// tellum.TellumData: a Python view of one event record in a framework block.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string>

#include "python/PyBridges.h"
#include "python/pybrisko.h"

namespace {

// The largest payload a new record may have: the block's length must fit
// the record's 32-bit size field and create_packet's int.
constexpr unsigned long max_payload = INT_MAX - 32;

// A header field as Python sees it.
struct Field {
    size_t offset;
    int width;          // bytes: 2 or 4
    const char* what;   // for the error texts; null: read-only
};

const Field header_field{offsetof(TellumData, header), 2, nullptr};
const Field record_type_field{offsetof(TellumData, record_type), 2, "record type"};
const Field event_counter_field{offsetof(TellumData, event_counter), 4, "event counter"};
const Field mod_id_field{offsetof(TellumData, mod_id), 2, "module id"};
const Field data_type_field{offsetof(TellumData, data_type), 2, "data type"};
const Field size_field{offsetof(TellumData, size), 4, nullptr};

PyTellumDataObject* as_record(PyObject* self)
{
    return reinterpret_cast<PyTellumDataObject*>(self);
}

// The record's block; null with RuntimeError for an object never given one.
Ostrel::ModuleData* block_of(PyObject* self)
{
    Ostrel::ModuleData* block = as_record(self)->data;
    if (!block)
        PyErr_SetString(PyExc_RuntimeError, "TellumData - the object holds no record");
    return block;
}

// Takes over one reference of the block. The type may not be registered
// yet when an embedding program makes records.
PyObject* new_record_object(Ostrel::ModuleData* block)
{
    PyObject* object = PyType_Ready(&tellum_data_Type) < 0
                           ? nullptr
                           : tellum_data_Type.tp_alloc(&tellum_data_Type, 0);
    if (!object) {
        block->dec_ref();
        return nullptr;
    }
    as_record(object)->data = block;
    return object;
}

// A new block with a record of the given payload size; null with a Python
// error set.
Ostrel::ModuleData* new_packet(unsigned long record_type, unsigned long mod_id, unsigned long payload)
{
    if (payload > max_payload) {
        PyErr_Format(PyExc_OverflowError, "TellumData: the size should be between 0 and %lu", max_payload);
        return nullptr;
    }
    Ostrel::ModuleData* block = nullptr;
    if (!native_call([&] {
            block = TellumData::create_packet(static_cast<uint16_t>(record_type),
                                              static_cast<uint16_t>(mod_id), static_cast<int>(payload));
        }))
        return nullptr;
    return block;
}

PyObject* get_field(PyObject* self, void* closure)
{
    Ostrel::ModuleData* block = block_of(self);
    if (!block)
        return nullptr;
    const Field* f = static_cast<const Field*>(closure);
    const char* at = block->data() + f->offset;
    if (f->width == 2) {
        uint16_t v = 0;
        std::memcpy(&v, at, sizeof v);
        return PyLong_FromUnsignedLong(v);
    }
    uint32_t v = 0;
    std::memcpy(&v, at, sizeof v);
    return PyLong_FromUnsignedLong(v);
}

int set_field(PyObject* self, PyObject* value, void* closure)
{
    const Field* f = static_cast<const Field*>(closure);
    const std::string what = f->what;
    if (!value) {
        // Deleting a header field.
        PyErr_SetString(PyExc_TypeError, ("TellumData - cannot set the " + what).c_str());
        return -1;
    }
    Ostrel::ModuleData* block = block_of(self);
    if (!block)
        return -1;
    const unsigned long highest = f->width == 2 ? 0xFFFFul : 0xFFFFFFFFul;
    unsigned long v = 0;
    switch (ostrel_read_unsigned(value, highest, v)) {
    case UnsignedRead::Ok:
        break;
    case UnsignedRead::NotInteger:
        PyErr_SetString(PyExc_TypeError, ("TellumData - The " + what + " should be an integer").c_str());
        return -1;
    case UnsignedRead::OutOfRange:
        PyErr_Format(PyExc_OverflowError, "TellumData - The %s should be between 0 and %lu", f->what, highest);
        return -1;
    }
    char* at = block->data() + f->offset;
    if (f->width == 2) {
        const uint16_t w = static_cast<uint16_t>(v);
        std::memcpy(at, &w, sizeof w);
    } else {
        const uint32_t w = static_cast<uint32_t>(v);
        std::memcpy(at, &w, sizeof w);
    }
    return 0;
}

// The payload: what the size field counts after the header, but never
// beyond the block.
PyObject* get_data(PyObject* self, void*)
{
    Ostrel::ModuleData* block = block_of(self);
    if (!block)
        return nullptr;
    const TellumData* record = reinterpret_cast<const TellumData*>(block->data());
    const size_t end = std::min<size_t>(record->size, block->size());
    const size_t n = end > sizeof(TellumData) ? end - sizeof(TellumData) : 0;
    return PyBytes_FromStringAndSize(block->data() + sizeof(TellumData), static_cast<Py_ssize_t>(n));
}

void* closure(const Field& f)
{
    return const_cast<Field*>(&f);
}

PyGetSetDef record_getset[] = {
    {"header", get_field, nullptr, "The data header", closure(header_field)},
    {"record_type", get_field, set_field, "The type of data record", closure(record_type_field)},
    {"event_counter", get_field, set_field, "The event counter", closure(event_counter_field)},
    {"mod_id", get_field, set_field, "The ID of the module producing the data", closure(mod_id_field)},
    {"data_type", get_field, set_field, "The type of data", closure(data_type_field)},
    {"size", get_field, nullptr, "The size of the data", closure(size_field)},
    {"data", get_data, nullptr, "The data", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int record_init(PyObject* self, PyObject* args, PyObject* kwds)
{
    static const char* keywords[] = {"record_type", "mod_id", "size", nullptr};
    UnsignedArg record_type{"TellumData.init", "record type", 0xFFFF, 0};
    UnsignedArg mod_id{"TellumData.init", "module id", 0xFFFF, 0};
    UnsignedArg size{"TellumData.init", "size", max_payload, 0};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O&O&O&:TellumData.init", const_cast<char**>(keywords),
                                     ostrel_unsigned_converter, &record_type, ostrel_unsigned_converter,
                                     &mod_id, ostrel_unsigned_converter, &size))
        return -1;
    Ostrel::ModuleData* block = new_packet(record_type.value, mod_id.value, size.value);
    if (!block)
        return -1;
    // A second __init__ gives the object a new record.
    if (Ostrel::ModuleData* old = as_record(self)->data)
        old->dec_ref();
    as_record(self)->data = block;
    return 0;
}

void record_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    if (Ostrel::ModuleData* block = as_record(self)->data) {
        as_record(self)->data = nullptr;
        block->dec_ref();
    }
    ostrel_free_object(self);
}

PyTypeObject make_record_type()
{
    PyTypeObject t = ostrel_new_type("tellum.TellumData", sizeof(PyTellumDataObject), "TellumData structre",
                                     offsetof(PyTellumDataObject, dict));
    t.tp_getset = record_getset;
    t.tp_init = record_init;
    t.tp_dealloc = record_dealloc;
    return t;
}

} // namespace

PyTypeObject tellum_data_Type = make_record_type();

PyObject* tellum_data_copy(const TellumData* record)
{
    const size_t payload = record->size > sizeof(TellumData) ? record->size - sizeof(TellumData) : 0;
    Ostrel::ModuleData* block = new_packet(record->record_type, record->mod_id, payload);
    if (!block)
        return nullptr;
    // The new block is longer than the record's size field says: the copy
    // keeps every header field, the size included.
    std::memcpy(block->data(), record, sizeof(TellumData) + payload);
    return new_record_object(block);
}

TellumData* tellum_data_record(PyObject* object)
{
    if (!object || !PyObject_TypeCheck(object, &tellum_data_Type))
        return nullptr;
    return TellumData::from(as_record(object)->data);
}

extern "C" {

int register_tellum_data(PyObject* dict)
{
    return ostrel_register_class(dict, "TellumData", &tellum_data_Type);
}

int PyBrisko_TellumData_Check(PyObject* object)
{
    return object && PyObject_TypeCheck(object, &tellum_data_Type);
}

PyObject* PyBrisko_TellumData_New(unsigned short record_type, unsigned short mod_id,
                                  unsigned short data_type, unsigned int size)
{
    Ostrel::ModuleData* block = new_packet(record_type, mod_id, size);
    if (!block)
        return nullptr;
    reinterpret_cast<TellumData*>(block->data())->data_type = data_type;
    return new_record_object(block);
}

PyObject* PyBrisko_TellumData_FromTellumData(Ostrel::ModuleData* block)
{
    if (!TellumData::from(block)) {
        PyErr_Format(PyExc_ValueError, "TellumData - a block of %zu bytes holds no record",
                     block ? block->size() : size_t{0});
        return nullptr;
    }
    block->inc_ref();
    return new_record_object(block);
}

} // extern "C"
