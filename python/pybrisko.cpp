// The Python extension module: `import pybrisko` gives the types GenModule,
// Analysis and TellumData. In a process without the program (plain python3)
// the module brings the main library with it; in the program's process it
// finds it loaded already.
#include "python/pybrisko.h"

namespace {

PyModuleDef pybrisko_module = {
    PyModuleDef_HEAD_INIT, "pybrisko", "Acquisition modules and analyses written in Python.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr};

} // namespace

PyMODINIT_FUNC PyInit_pybrisko(void)
{
    PyObject* module = PyModule_Create(&pybrisko_module);
    if (!module)
        return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (register_genmodule(dict) < 0 || register_analysis(dict) < 0 || register_tellum_data(dict) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
