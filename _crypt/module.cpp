// One-way password hashing through libcrypt.
#include "compat.hpp"

#include <crypt.h>

#include <cstring>
#include <memory>

namespace
{

struct CryptDataFree {
    void operator()(crypt_data *p) const noexcept { PyMem_RawFree(p); }
};

PyDoc_STRVAR(crypt_crypt__doc__, "crypt($module, word, salt, /)\n"
                                 "--\n"
                                 "\n"
                                 "Hash a *word* with the given *salt* and return the hashed password.\n"
                                 "\n"
                                 "*word* will usually be a user's password.  *salt* (either a random 2 or 16\n"
                                 "character string, possibly prefixed with $digit$ to indicate the method)\n"
                                 "will be used to perturb the encryption algorithm and produce distinct\n"
                                 "results for a given *word*.");

// libxcrypt's crypt() never returns NULL: a rejected salt yields a failure
// token starting with '*', which must not pass for a hash. crypt_rn reports
// failure as NULL and works in caller-owned memory (32 KiB, so on the heap).
PyObject *crypt_crypt(PyObject *, PyObject *args) noexcept
{
    const char *word = nullptr;
    const char *salt = nullptr;
    if (!PyArg_ParseTuple(args, "ss:crypt", &word, &salt))
        return nullptr;
    std::unique_ptr<crypt_data, CryptDataFree> data(static_cast<crypt_data *>(PyMem_RawCalloc(1, sizeof(crypt_data))));
    if (!data)
        return PyErr_NoMemory();
    const char *hashed = crypt_rn(word, salt, data.get(), sizeof(crypt_data));
    if (hashed == nullptr || hashed[0] == '*')
        Py_RETURN_NONE;
    return Py_BuildValue("s", hashed);
}

PyMethodDef crypt_methods[] = {
    {"crypt", crypt_crypt, METH_VARARGS, crypt_crypt__doc__},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef crypt_module = {
    PyModuleDef_HEAD_INIT, "_crypt", nullptr, -1, crypt_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__crypt()
{
    return PyModule_Create2(&crypt_module, PYTHON_API_VERSION);
}
