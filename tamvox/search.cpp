// Argument handling for the 16-bit searches findfit, findfactor and findmax.
#include "glue.hpp"
#include "search.hpp"

namespace tamvox
{

namespace
{

bool even_sized(const ext::BufferView &a) noexcept
{
    if (a.size() % 2 != 0) {
        PyErr_SetString(error, "Strings should be even-sized");
        return false;
    }
    return true;
}

// Scratch memory for one call, freed on every return path.
struct Scratch {
    double *p = nullptr;
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch() { PyMem_Free(p); }
    bool allocate(Py_ssize_t count) noexcept
    {
        if (count > PY_SSIZE_T_MAX / Py_ssize_t(sizeof(double))) {
            PyErr_NoMemory();
            return false;
        }
        p = static_cast<double *>(PyMem_Calloc(static_cast<size_t>(count), sizeof(double)));
        if (p == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
};

} // namespace

const char tamvox_findfit__doc__[] = "findfit($module, fragment, reference, /)\n--\n\n"
                                     "Try to match reference as well as possible to a portion of fragment.";
PyObject *tamvox_findfit(PyObject *, PyObject *args) noexcept
{
    ext::BufferView frag, ref;
    if (!PyArg_ParseTuple(args, "y*y*:findfit", frag.out(), ref.out()) || !even_sized(frag) || !even_sized(ref))
        return nullptr;
    const Py_ssize_t n = frag.size() / 2, m = ref.size() / 2;
    if (n < m) {
        PyErr_SetString(error, "First sample should be longer");
        return nullptr;
    }
    const Kernels &kn = kernels();
    const Py_ssize_t windows = n - m + 1;
    const Py_ssize_t padded = (windows + fit_block - 1) / fit_block * fit_block;
    Scratch dots, a, r;
    if (!dots.allocate(padded))
        return nullptr;
    if (m < fit_exact_double_limit) {
        if (!a.allocate(n + fit_block) || !r.allocate(m))
            return nullptr;
        kn.to_double(frag.bytes(), n, a.p);
        kn.to_double(ref.bytes(), m, r.p);
        kn.fit_dots(a.p, r.p, m, windows, dots.p);
    } else {
        for (Py_ssize_t j = 0; j < windows; j++)
            dots.p[j] = static_cast<double>(kn.dot16(frag.bytes() + 2 * j, ref.bytes(), m));
    }
    const double sum_rr = static_cast<double>(kn.dot16(ref.bytes(), ref.bytes(), m));
    FitResult fit = kn.fit_scan(frag.bytes(), n, m, dots.p, sum_rr);
    return Py_BuildValue("(nf)", fit.offset, fit.factor);
}

const char tamvox_findfactor__doc__[] =
    "findfactor($module, fragment, reference, /)\n--\n\n"
    "Return a factor F such that rms(add(fragment, mul(reference, -F))) is minimal.";
PyObject *tamvox_findfactor(PyObject *, PyObject *args) noexcept
{
    ext::BufferView frag, ref;
    if (!PyArg_ParseTuple(args, "y*y*:findfactor", frag.out(), ref.out()) || !even_sized(frag) || !even_sized(ref))
        return nullptr;
    if (frag.size() != ref.size()) {
        PyErr_SetString(error, "Samples should be same size");
        return nullptr;
    }
    const Kernels &kn = kernels();
    const Py_ssize_t n = frag.size() / 2;
    double ar = static_cast<double>(kn.dot16(frag.bytes(), ref.bytes(), n));
    double rr = static_cast<double>(kn.dot16(ref.bytes(), ref.bytes(), n));
    return PyFloat_FromDouble(ar / rr);
}

const char tamvox_findmax__doc__[] = "findmax($module, fragment, length, /)\n--\n\n"
                                     "Search fragment for a slice of specified number of samples with maximum energy.";
PyObject *tamvox_findmax(PyObject *, PyObject *args) noexcept
{
    ext::BufferView frag;
    Py_ssize_t length;
    if (!PyArg_ParseTuple(args, "y*n:findmax", frag.out(), &length) || !even_sized(frag))
        return nullptr;
    const Py_ssize_t n = frag.size() / 2;
    if (length < 0 || length > n) {
        PyErr_SetString(error, "Input sample should be longer");
        return nullptr;
    }
    return PyLong_FromSsize_t(kernels().find_max(frag.bytes(), n, length));
}

} // namespace tamvox
