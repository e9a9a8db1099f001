// Argument handling for the G.711 and IMA ADPCM coders and decoders.
#include "glue.hpp"

namespace tamvox
{

namespace
{

PyObject *encode(PyObject *args, const char *format, const Unary *table) noexcept
{
    ext::BufferView view;
    int width;
    if (!PyArg_ParseTuple(args, format, view.out(), &width) || !check_frames(view, width))
        return nullptr;
    u8 *out = nullptr;
    Py_ssize_t n = view.size() / width;
    ext::Ref bytes = new_bytes(n, &out);
    if (!bytes)
        return nullptr;
    table[width](view.bytes(), n, out);
    return bytes.release();
}

PyObject *decode(PyObject *args, const char *format, const Unary *table) noexcept
{
    ext::BufferView view;
    int width;
    if (!PyArg_ParseTuple(args, format, view.out(), &width) || !check_size(width))
        return nullptr;
    if (view.size() > 2147483647 / width)
        return no_memory_for_output();
    u8 *out = nullptr;
    ext::Ref bytes = new_bytes(view.size() * width, &out);
    if (!bytes)
        return nullptr;
    table[width](view.bytes(), view.size(), out);
    return bytes.release();
}

// None, or a tuple of a 16-bit prediction and a step-table index.
bool parse_adpcm_state(PyObject *state, k::AdpcmState *st) noexcept
{
    st->valpred = 0;
    st->index = 0;
    if (state == Py_None)
        return true;
    if (!PyTuple_Check(state)) {
        PyErr_SetString(PyExc_TypeError, "state must be a tuple or None");
        return false;
    }
    int valpred, index;
    if (!PyArg_ParseTuple(state, "ii", &valpred, &index))
        return false;
    if (valpred < -32768 || valpred > 32767 || index < 0 || index > 88) {
        PyErr_SetString(PyExc_ValueError, "bad state");
        return false;
    }
    st->valpred = valpred;
    st->index = index;
    return true;
}

PyObject *adpcm_result(ext::Ref bytes, const k::AdpcmState &st) noexcept
{
    return Py_BuildValue("(O(ii))", bytes.get(), st.valpred, st.index);
}

} // namespace

const char tamvox_lin2ulaw__doc__[] = "lin2ulaw($module, fragment, width, /)\n--\n\n"
                                      "Convert samples in the audio fragment to u-LAW encoding.";
PyObject *tamvox_lin2ulaw(PyObject *, PyObject *args) noexcept
{
    return encode(args, "y*i:lin2ulaw", kernels().lin2ulaw);
}

const char tamvox_lin2alaw__doc__[] = "lin2alaw($module, fragment, width, /)\n--\n\n"
                                      "Convert samples in the audio fragment to a-LAW encoding.";
PyObject *tamvox_lin2alaw(PyObject *, PyObject *args) noexcept
{
    return encode(args, "y*i:lin2alaw", kernels().lin2alaw);
}

const char tamvox_ulaw2lin__doc__[] = "ulaw2lin($module, fragment, width, /)\n--\n\n"
                                      "Convert sound fragments in u-LAW encoding to linearly encoded sound fragments.";
PyObject *tamvox_ulaw2lin(PyObject *, PyObject *args) noexcept
{
    return decode(args, "y*i:ulaw2lin", kernels().ulaw2lin);
}

const char tamvox_alaw2lin__doc__[] = "alaw2lin($module, fragment, width, /)\n--\n\n"
                                      "Convert sound fragments in a-LAW encoding to linearly encoded sound fragments.";
PyObject *tamvox_alaw2lin(PyObject *, PyObject *args) noexcept
{
    return decode(args, "y*i:alaw2lin", kernels().alaw2lin);
}

const char tamvox_lin2adpcm__doc__[] = "lin2adpcm($module, fragment, width, state, /)\n--\n\n"
                                       "Convert samples to 4 bit Intel/DVI ADPCM encoding.";
PyObject *tamvox_lin2adpcm(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    PyObject *state;
    k::AdpcmState st;
    if (!PyArg_ParseTuple(args, "y*iO:lin2adpcm", view.out(), &width, &state) || !check_frames(view, width) ||
        !parse_adpcm_state(state, &st))
        return nullptr;
    u8 *out = nullptr;
    ext::Ref bytes = new_bytes(view.size() / (2 * width), &out);
    if (!bytes)
        return nullptr;
    kernels().lin2adpcm[width](view.bytes(), view.size() / width, out, &st);
    return adpcm_result(std::move(bytes), st);
}

const char tamvox_adpcm2lin__doc__[] = "adpcm2lin($module, fragment, width, state, /)\n--\n\n"
                                       "Decode an Intel/DVI ADPCM coded fragment to a linear fragment.";
PyObject *tamvox_adpcm2lin(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    int width;
    PyObject *state;
    k::AdpcmState st;
    if (!PyArg_ParseTuple(args, "y*iO:adpcm2lin", view.out(), &width, &state) || !check_size(width) ||
        !parse_adpcm_state(state, &st))
        return nullptr;
    if (view.size() > 1073741823 / width)
        return no_memory_for_output();
    u8 *out = nullptr;
    ext::Ref bytes = new_bytes(view.size() * width * 2, &out);
    if (!bytes)
        return nullptr;
    kernels().adpcm2lin[width](view.bytes(), view.size(), out, &st);
    return adpcm_result(std::move(bytes), st);
}

} // namespace tamvox
