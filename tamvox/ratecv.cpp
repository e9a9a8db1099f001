// Argument handling and stream state for ratecv.
#include "glue.hpp"

#include "checked.hpp"

namespace tamvox
{

namespace
{

int gcd(int a, int b) noexcept
{
    while (b > 0) {
        int r = a % b;
        a = b;
        b = r;
    }
    return a;
}

// Per-channel history, freed on every return path.
struct History {
    int32_t *prev = nullptr;
    int32_t *cur = nullptr;
    History() = default;
    History(const History &) = delete;
    History &operator=(const History &) = delete;
    ~History()
    {
        PyMem_Free(prev);
        PyMem_Free(cur);
    }
};

// Fills d and the history from `state`: None, or (d, ((prev, cur), ...)).
// Anything but a tuple is refused with the message a malformed tuple gets.
bool read_state(PyObject *state, int nchannels, int outrate, int32_t *d, History &h) noexcept
{
    if (state == Py_None) {
        *d = -outrate;
        return true;
    }
    if (!PyTuple_Check(state)) {
        PyErr_SetString(PyExc_TypeError, "tamvox.ratecv: illegal state argument");
        return false;
    }
    int dv;
    PyObject *samples;
    if (!PyArg_ParseTuple(state, "iO!;tamvox.ratecv: illegal state argument", &dv, &PyTuple_Type, &samples))
        return false;
    if (PyTuple_GET_SIZE(samples) != nchannels) {
        PyErr_SetString(error, "illegal state argument");
        return false;
    }
    for (int ch = 0; ch < nchannels; ch++) {
        PyObject *pair = PyTuple_GET_ITEM(samples, ch);
        if (!PyTuple_Check(pair)) {
            PyErr_SetString(PyExc_TypeError, "tamvox.ratecv: illegal state argument");
            return false;
        }
        int p, c;
        if (!PyArg_ParseTuple(pair, "ii:ratecv", &p, &c))
            return false;
        h.prev[ch] = p;
        h.cur[ch] = c;
    }
    *d = dv;
    return true;
}

// Output bytes for `frames` input frames starting from phase d, within the
// 2147483647-byte limit; -1 with MemoryError set beyond it. A phase d >= 0
// (only a caller-built state has one) first yields d / inrate + 1 frames
// before any input is read; the buffer has room for those too.
Py_ssize_t output_size(Py_ssize_t frames, int32_t d, const RatecvParams &rp, int bytes_per_frame) noexcept
{
    Py_ssize_t out_frames = 0;
    if (frames > 0) {
        Py_ssize_t q = (frames - 1) / rp.inrate + 1;
        if (rp.outrate > 2147483647 / q / bytes_per_frame) {
            no_memory_for_output();
            return -1;
        }
        out_frames = q * rp.outrate;
    }
    if (d >= 0)
        out_frames += Py_ssize_t(d) / rp.inrate + 1;
    Py_ssize_t bytes;
    if (!ext::checked_mul<Py_ssize_t>(out_frames, bytes_per_frame, &bytes) || bytes > 2147483647) {
        no_memory_for_output();
        return -1;
    }
    return bytes;
}

PyObject *state_samples(const History &h, int nchannels) noexcept
{
    ext::Ref samples = ext::steal(PyTuple_New(nchannels));
    if (!samples)
        return nullptr;
    for (int ch = 0; ch < nchannels; ch++) {
        PyObject *pair = Py_BuildValue("(ii)", h.prev[ch], h.cur[ch]);
        if (pair == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(samples.get(), ch, pair);
    }
    return samples.release();
}

} // namespace

const char tamvox_ratecv__doc__[] = "ratecv($module, fragment, width, nchannels, inrate, outrate, state,\n"
                                    "       weightA=1, weightB=0, /)\n--\n\n"
                                    "Convert the frame rate of the input fragment.";
PyObject *tamvox_ratecv(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width, nchannels, inrate, outrate, weight_a = 1, weight_b = 0;
    PyObject *state;
    if (!PyArg_ParseTuple(args, "y*iiiiO|ii:ratecv", view.out(), &width, &nchannels, &inrate, &outrate, &state,
                          &weight_a, &weight_b) ||
        !check_size(width))
        return nullptr;
    if (nchannels < 1) {
        PyErr_SetString(error, "# of channels should be >= 1");
        return nullptr;
    }
    if (width > INT_MAX / nchannels) {
        PyErr_SetString(PyExc_OverflowError, "width * nchannels too big for a C int");
        return nullptr;
    }
    const int bytes_per_frame = width * nchannels;
    if (weight_a < 1 || weight_b < 0) {
        PyErr_SetString(error, "weightA should be >= 1, weightB should be >= 0");
        return nullptr;
    }
    if (view.size() % bytes_per_frame != 0) {
        PyErr_SetString(error, "not a whole number of frames");
        return nullptr;
    }
    if (inrate <= 0 || outrate <= 0) {
        PyErr_SetString(error, "sampling rate not > 0");
        return nullptr;
    }
    int g = gcd(inrate, outrate);
    // With weightB 0 the filter is a pass-through whatever weightA is.
    int gw = weight_b == 0 ? weight_a : gcd(weight_a, weight_b);
    RatecvParams rp{nchannels, inrate / g, outrate / g, weight_a / gw, weight_b / gw};
    if (nchannels > 0x3FFFFFFF)
        return no_memory_for_output();

    History h;
    h.prev = static_cast<int32_t *>(PyMem_Calloc(static_cast<size_t>(nchannels), sizeof(int32_t)));
    h.cur = static_cast<int32_t *>(PyMem_Calloc(static_cast<size_t>(nchannels), sizeof(int32_t)));
    if (h.prev == nullptr || h.cur == nullptr)
        return PyErr_NoMemory();
    int32_t d;
    if (!read_state(state, nchannels, rp.outrate, &d, h))
        return nullptr;

    const Py_ssize_t frames = view.size() / bytes_per_frame;
    const Py_ssize_t size = output_size(frames, d, rp, bytes_per_frame);
    if (size < 0)
        return nullptr;
    u8 *out = nullptr;
    PyObject *raw = PyBytes_FromStringAndSize(nullptr, size);
    if (raw == nullptr)
        return no_memory_for_output();
    out = reinterpret_cast<u8 *>(PyBytes_AS_STRING(raw));
    advise_huge_pages(out, size);
    Py_ssize_t written = kernels().ratecv[width](view.bytes(), frames, rp, &d, h.prev, h.cur, out);
    // Fewer bytes than the bound is the rule; shrink in place, no copy.
    if (written != size && _PyBytes_Resize(&raw, written) < 0)
        return nullptr;
    ext::Ref bytes = ext::steal(raw);
    ext::Ref samples = ext::steal(state_samples(h, nchannels));
    if (!samples)
        return nullptr;
    return Py_BuildValue("(O(iO))", bytes.get(), d, samples.get());
}

} // namespace tamvox
