// What the Python extension module pybrisko exports for a program that
// embeds the interpreter: the registration of its types into a module
// dictionary, type checks and constructors. The plain way in is
// `import pybrisko`; these serve a program that builds a module of its own.
// All of them want the interpreter lock.
#ifndef BRISKO_PYTHON_PYBRISKO_H
#define BRISKO_PYTHON_PYBRISKO_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace Ostrel {
class ModuleData;
}

extern "C" {

// Enter "GenModule", "Analysis" and "TellumData" into the dictionary;
// 0, or -1 with a Python error set.
int register_genmodule(PyObject* dict);
int register_analysis(PyObject* dict);
int register_tellum_data(PyObject* dict);

// True for objects of the type or of a subtype.
int Brisko_Module_Check(PyObject* object);
int PyBrisko_Analysis_Check(PyObject* object);
int PyBrisko_TellumData_Check(PyObject* object);

// A new analysis object with a new native analysis; null with a Python
// error set for counts the analysis refuses.
PyObject* PyBrisko_Analysis_New(int nchip, int nchan);
// A new record object holding a new record of the record type, module id
// and data type, with room for `size` bytes of payload; null with a Python
// error set for a size too large.
PyObject* PyBrisko_TellumData_New(unsigned short record_type, unsigned short mod_id,
                                  unsigned short data_type, unsigned int size);
// A new record object sharing the block (it takes a reference of its own);
// null with a Python error set for a block too short to hold a record.
PyObject* PyBrisko_TellumData_FromTellumData(Ostrel::ModuleData* block);

} // extern "C"

#endif
