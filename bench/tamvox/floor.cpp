// A plain findfit: double sums, one full dot product per offset, O(N * M).
// The yardstick for tamvox.findfit's blocked, vectorised search.
#include "buffer.hpp"
#include "compat.hpp"

#include <cstdint>
#include <cstring>

namespace
{

double sample(const unsigned char *p, Py_ssize_t i)
{
    int16_t v;
    std::memcpy(&v, p + 2 * i, 2);
    return v;
}

PyObject *findfit(PyObject *, PyObject *args) noexcept
{
    ext::BufferView frag, ref;
    if (!PyArg_ParseTuple(args, "y*y*:findfit", frag.out(), ref.out()))
        return nullptr;
    const unsigned char *a = frag.bytes(), *r = ref.bytes();
    Py_ssize_t n = frag.size() / 2, m = ref.size() / 2;
    if (m == 0 || n < m) {
        PyErr_SetString(PyExc_ValueError, "need 0 < len(reference) <= len(fragment)");
        return nullptr;
    }
    double sum_rr = 0, sum_aa = 0, sum_ar = 0;
    for (Py_ssize_t i = 0; i < m; i++) {
        sum_rr += sample(r, i) * sample(r, i);
        sum_aa += sample(a, i) * sample(a, i);
        sum_ar += sample(a, i) * sample(r, i);
    }
    double best = (sum_rr * sum_aa - sum_ar * sum_ar) / sum_aa;
    Py_ssize_t best_j = 0;
    for (Py_ssize_t j = 1; j <= n - m; j++) {
        sum_aa = sum_aa + sample(a, j + m - 1) * sample(a, j + m - 1) - sample(a, j - 1) * sample(a, j - 1);
        sum_ar = 0;
        for (Py_ssize_t i = 0; i < m; i++)
            sum_ar += sample(a, j + i) * sample(r, i);
        double score = (sum_rr * sum_aa - sum_ar * sum_ar) / sum_aa;
        if (score < best) {
            best = score;
            best_j = j;
        }
    }
    sum_ar = 0;
    for (Py_ssize_t i = 0; i < m; i++)
        sum_ar += sample(a, best_j + i) * sample(r, i);
    return Py_BuildValue("(nf)", best_j, sum_ar / sum_rr);
}

PyMethodDef methods[] = {
    {"findfit", findfit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tamvox_bench_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_tamvox_bench_floor()
{
    return PyModule_Create2(&module_def, PYTHON_API_VERSION);
}
