// Python extension module of the acquisition program.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static struct PyModuleDef pybrisko_module = {
    PyModuleDef_HEAD_INIT, "pybrisko", "Acquisition modules and analyses written in Python.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_pybrisko(void)
{
    return PyModule_Create(&pybrisko_module);
}
