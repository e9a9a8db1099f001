// Argument handling for the statistics and the sample-wise arithmetic.
#include "glue.hpp"

namespace tamvox
{

namespace
{

// Parses "y*i:<name>" and makes the frame check.
bool parse_fragment(PyObject *args, const char *format, ext::BufferView &view, int *width) noexcept
{
    return PyArg_ParseTuple(args, format, view.out(), width) && check_frames(view, *width);
}

// Runs a kernel that maps the fragment to a new fragment of `out_len` bytes.
template <class F> PyObject *build(Py_ssize_t out_len, F &&fill) noexcept
{
    u8 *out = nullptr;
    ext::Ref bytes = new_bytes(out_len, &out);
    if (!bytes)
        return nullptr;
    fill(out);
    return bytes.release();
}

// For fragments much longer than the number of distinct input items (of
// `key` bytes: a sample, or a stereo frame of bytes), the result of every
// possible item is worked out once by `fill(ramp, values, table)`, the same
// kernel on a fragment holding each item once, and then looked up.
template <class F> PyObject *by_table(int key, int out_width, const ext::BufferView &view, F &&fill) noexcept
{
    const Py_ssize_t values = Py_ssize_t(1) << (8 * key);
    // Four spare bytes: a vector lookup may read a little past the table.
    u8 *scratch = static_cast<u8 *>(PyMem_Calloc(static_cast<size_t>(values * (key + out_width) + 4), 1));
    if (scratch == nullptr)
        return PyErr_NoMemory();
    u8 *ramp = scratch, *table = scratch + values * key;
    // Every bit pattern, low byte first, as the lookup reads its keys.
    for (Py_ssize_t v = 0; v < values; v++) {
        ramp[v * key] = static_cast<u8>(v);
        if (key == 2)
            ramp[v * key + 1] = static_cast<u8>(v >> 8);
    }
    fill(ramp, values, table);
    const Py_ssize_t items = view.size() / key;
    PyObject *result =
        build(items * out_width, [&](u8 *out) { kernels().lookup[key][out_width](view.bytes(), items, table, out); });
    PyMem_Free(scratch);
    return result;
}

int32_t read_sample(const u8 *p, int width) noexcept
{
    switch (width) {
    case 1:
        return load<1>(p);
    case 2:
        return load<2>(p);
    case 3:
        return load<3>(p);
    default:
        return load<4>(p);
    }
}

// floor(a / b) for b > 0.
Sum floor_div(Sum a, Sum b) noexcept
{
    Sum q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

// floor(sqrt(a / n)), exactly: the double estimate is within a step or two
// of the answer and is then corrected in integer arithmetic.
uint64_t isqrt_ratio(SquareSum a, uint64_t n) noexcept
{
    auto r = static_cast<uint64_t>(__builtin_sqrt(static_cast<double>(a) / static_cast<double>(n)));
    while (r > 0 && mul_wide(r * r, n) > a)
        r--;
    while (mul_wide((r + 1) * (r + 1), n) <= a)
        r++;
    return r;
}

} // namespace

const char tamvox_getsample__doc__[] = "getsample($module, fragment, width, index, /)\n--\n\n"
                                       "Return the value of sample index from the fragment.";
PyObject *tamvox_getsample(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    Py_ssize_t index;
    if (!PyArg_ParseTuple(args, "y*in:getsample", view.out(), &width, &index) || !check_frames(view, width))
        return nullptr;
    if (index < 0 || index >= view.size() / width) {
        PyErr_SetString(error, "Index out of range");
        return nullptr;
    }
    return PyLong_FromLong(read_sample(view.bytes() + index * width, width));
}

const char tamvox_max__doc__[] = "max($module, fragment, width, /)\n--\n\n"
                                 "Return the maximum of the absolute value of all samples in a fragment.";
PyObject *tamvox_max(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    if (!parse_fragment(args, "y*i:max", view, &width))
        return nullptr;
    return PyLong_FromUnsignedLong(kernels().max_abs[width](view.bytes(), view.size() / width));
}

const char tamvox_minmax__doc__[] = "minmax($module, fragment, width, /)\n--\n\n"
                                    "Return the minimum and maximum values of all samples in the sound fragment.";
PyObject *tamvox_minmax(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    if (!parse_fragment(args, "y*i:minmax", view, &width))
        return nullptr;
    int32_t lo, hi;
    kernels().minmax[width](view.bytes(), view.size() / width, &lo, &hi);
    return Py_BuildValue("(ii)", lo, hi);
}

// The mean and the root mean square come from exact integer sums, so they are
// the correctly rounded-down values however long the fragment.
const char tamvox_avg__doc__[] = "avg($module, fragment, width, /)\n--\n\n"
                                 "Return the average over all samples in the fragment.";
PyObject *tamvox_avg(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    if (!parse_fragment(args, "y*i:avg", view, &width))
        return nullptr;
    Py_ssize_t n = view.size() / width;
    if (n == 0)
        return PyLong_FromLong(0);
    Sum total = kernels().sum[width](view.bytes(), n);
    return PyLong_FromLong(static_cast<long>(floor_div(total, n)));
}

const char tamvox_rms__doc__[] = "rms($module, fragment, width, /)\n--\n\n"
                                 "Return the root-mean-square of the fragment, i.e. sqrt(sum(S_i^2)/n).";
PyObject *tamvox_rms(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    if (!parse_fragment(args, "y*i:rms", view, &width))
        return nullptr;
    Py_ssize_t n = view.size() / width;
    if (n == 0)
        return PyLong_FromLong(0);
    SquareSum total = kernels().sumsq[width](view.bytes(), n);
    return PyLong_FromUnsignedLong(static_cast<unsigned long>(isqrt_ratio(total, static_cast<uint64_t>(n))));
}

const char tamvox_maxpp__doc__[] = "maxpp($module, fragment, width, /)\n--\n\n"
                                   "Return the maximum peak-peak value in the sound fragment.";
PyObject *tamvox_maxpp(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    if (!parse_fragment(args, "y*i:maxpp", view, &width))
        return nullptr;
    if (view.size() <= width)
        return PyLong_FromLong(0);
    return PyLong_FromUnsignedLong(kernels().peaks[width](view.bytes(), view.size() / width).max);
}

const char tamvox_avgpp__doc__[] = "avgpp($module, fragment, width, /)\n--\n\n"
                                   "Return the average peak-peak value over all samples in the fragment.";
PyObject *tamvox_avgpp(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    if (!parse_fragment(args, "y*i:avgpp", view, &width))
        return nullptr;
    if (view.size() <= width)
        return PyLong_FromLong(0);
    PeakStats st = kernels().peaks[width](view.bytes(), view.size() / width);
    if (st.count == 0)
        return PyLong_FromLong(0);
    return PyLong_FromUnsignedLong(static_cast<unsigned long>(st.sum / static_cast<PeakSum>(st.count)));
}

const char tamvox_cross__doc__[] = "cross($module, fragment, width, /)\n--\n\n"
                                   "Return the number of zero crossings in the fragment passed as an argument.";
PyObject *tamvox_cross(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    if (!parse_fragment(args, "y*i:cross", view, &width))
        return nullptr;
    Py_ssize_t n = view.size() / width;
    // The first sample always counts as a change from "no sign yet".
    return PyLong_FromSsize_t(n == 0 ? -1 : kernels().sign_changes[width](view.bytes(), n));
}

const char tamvox_mul__doc__[] =
    "mul($module, fragment, width, factor, /)\n--\n\n"
    "Return a fragment that has all samples in the original fragment multiplied by the floating-point value factor.";
PyObject *tamvox_mul(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    double factor;
    if (!PyArg_ParseTuple(args, "y*id:mul", view.out(), &width, &factor) || !check_frames(view, width))
        return nullptr;
    const Kernels &kn = kernels();
    const Py_ssize_t n = view.size() / width;
    if (kn.by_table && width <= 2 && n >= (width == 1 ? 4096 : 1 << 20))
        return by_table(width, width, view, [&](const u8 *ramp, Py_ssize_t values, u8 *table) {
            kn.mul[width](ramp, values, factor, table);
        });
    return build(view.size(), [&](u8 *out) { kn.mul[width](view.bytes(), n, factor, out); });
}

const char tamvox_tomono__doc__[] = "tomono($module, fragment, width, lfactor, rfactor, /)\n--\n\n"
                                    "Convert a stereo fragment to a mono fragment.";
PyObject *tamvox_tomono(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    double lf, rf;
    if (!PyArg_ParseTuple(args, "y*idd:tomono", view.out(), &width, &lf, &rf) || !check_frames(view, width))
        return nullptr;
    Py_ssize_t n = view.size() / width;
    if (n % 2 != 0) {
        PyErr_SetString(error, "not a whole number of frames");
        return nullptr;
    }
    const Kernels &kn = kernels();
    // At width 1 a frame is a 16-bit key: see by_table.
    if (kn.by_table && width == 1 && n / 2 >= 1 << 20)
        return by_table(2, 1, view, [&](const u8 *ramp, Py_ssize_t values, u8 *table) {
            kn.tomono[1](ramp, values, lf, rf, table);
        });
    return build(view.size() / 2, [&](u8 *out) { kn.tomono[width](view.bytes(), n / 2, lf, rf, out); });
}

const char tamvox_tostereo__doc__[] = "tostereo($module, fragment, width, lfactor, rfactor, /)\n--\n\n"
                                      "Generate a stereo fragment from a mono fragment.";
PyObject *tamvox_tostereo(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    double lf, rf;
    if (!PyArg_ParseTuple(args, "y*idd:tostereo", view.out(), &width, &lf, &rf) || !check_frames(view, width))
        return nullptr;
    if (view.size() > 0x3FFFFFFF)
        return no_memory_for_output();
    return build(view.size() * 2,
                 [&](u8 *out) { kernels().tostereo[width](view.bytes(), view.size() / width, lf, rf, out); });
}

const char tamvox_add__doc__[] = "add($module, fragment1, fragment2, width, /)\n--\n\n"
                                 "Return a fragment which is the addition of the two samples passed as parameters.";
PyObject *tamvox_add(PyObject *, PyObject *args) noexcept
{
    ext::BufferView a, b;
    int width;
    if (!PyArg_ParseTuple(args, "y*y*i:add", a.out(), b.out(), &width) || !check_frames(a, width))
        return nullptr;
    if (a.size() != b.size()) {
        PyErr_SetString(error, "Lengths should be the same");
        return nullptr;
    }
    return build(a.size(), [&](u8 *out) { kernels().add[width](a.bytes(), b.bytes(), a.size() / width, out); });
}

const char tamvox_bias__doc__[] = "bias($module, fragment, width, bias, /)\n--\n\n"
                                  "Return a fragment that is the original fragment with a bias added to each sample.";
PyObject *tamvox_bias(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width, bias;
    if (!PyArg_ParseTuple(args, "y*ii:bias", view.out(), &width, &bias) || !check_frames(view, width))
        return nullptr;
    return build(view.size(), [&](u8 *out) { kernels().bias[width](view.bytes(), view.size() / width, bias, out); });
}

const char tamvox_reverse__doc__[] = "reverse($module, fragment, width, /)\n--\n\n"
                                     "Reverse the samples in a fragment and returns the modified fragment.";
PyObject *tamvox_reverse(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    if (!parse_fragment(args, "y*i:reverse", view, &width))
        return nullptr;
    return build(view.size(), [&](u8 *out) { kernels().reverse[width](view.bytes(), view.size() / width, out); });
}

const char tamvox_byteswap__doc__[] = "byteswap($module, fragment, width, /)\n--\n\n"
                                      "Convert big-endian samples to little-endian and vice versa.";
PyObject *tamvox_byteswap(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    if (!parse_fragment(args, "y*i:byteswap", view, &width))
        return nullptr;
    return build(view.size(), [&](u8 *out) { kernels().byteswap[width](view.bytes(), view.size() / width, out); });
}

const char tamvox_lin2lin__doc__[] = "lin2lin($module, fragment, width, newwidth, /)\n--\n\n"
                                     "Convert samples between 1-, 2-, 3- and 4-byte formats.";
PyObject *tamvox_lin2lin(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width, newwidth;
    if (!PyArg_ParseTuple(args, "y*ii:lin2lin", view.out(), &width, &newwidth) || !check_frames(view, width) ||
        !check_size(newwidth))
        return nullptr;
    Py_ssize_t n = view.size() / width;
    if (n > 2147483647 / newwidth)
        return no_memory_for_output();
    return build(n * newwidth, [&](u8 *out) { kernels().lin2lin[width][newwidth](view.bytes(), n, out); });
}

} // namespace tamvox
