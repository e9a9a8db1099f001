// One library, three empty modules: the loader picks the init function by the
// last component of the name it imports the file under.
#include "compat.hpp"

namespace
{

PyModuleDef fenwold_def = {
    PyModuleDef_HEAD_INIT, "_fenwold", "_fenwold doc", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};
PyModuleDef foo_def = {
    PyModuleDef_HEAD_INIT, "_fenwold_foo", "_fenwold_foo doc", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};
PyModuleDef bar_def = {
    PyModuleDef_HEAD_INIT, "_fenwold_bar", "_fenwold_bar doc", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__fenwold()
{
    return PyModule_Create2(&fenwold_def, PYTHON_API_VERSION);
}
PyMODINIT_FUNC PyInit__fenwold_foo()
{
    return PyModule_Create2(&foo_def, PYTHON_API_VERSION);
}
PyMODINIT_FUNC PyInit__fenwold_bar()
{
    return PyModule_Create2(&bar_def, PYTHON_API_VERSION);
}
