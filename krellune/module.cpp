// OSS audio and mixer devices: the module frame, its error class, the control
// lists and the OSS constants.
#include "compat.hpp"
#include "ref.hpp"

#include "krellune.hpp"

#include <linux/soundcard.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace krellune
{

PyObject *oss_error = nullptr;

bool check_open(int fd) noexcept
{
    if (fd < 0) {
        PyErr_SetString(PyExc_ValueError, "Operation on closed OSS device.");
        return false;
    }
    return true;
}

bool int_request(int fd, unsigned long request, int *value) noexcept
{
    if (ioctl(fd, request, value) == -1) {
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    return true;
}

CallFormat::CallFormat(const char *prefix, const char *name) noexcept
{
    std::snprintf(text, sizeof text, "%s%s", prefix, name);
}

} // namespace krellune

namespace
{

PyMethodDef krellune_methods[] = {
    {"open", krellune::open_audio, METH_VARARGS, nullptr},
    {"openmixer", krellune::open_mixer, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef krellune_module = {
    PyModuleDef_HEAD_INIT, "krellune", nullptr, -1, krellune_methods, nullptr, nullptr, nullptr, nullptr,
};

// Indexed by mixer channel number.
const char *const control_labels[SOUND_MIXER_NRDEVICES] = {
    "Vol  ",    "Bass ",    "Trebl",   "Synth",    "Pcm  ", "Spkr ", "Line ",   "Mic  ", "CD   ",
    "Mix  ",    "Pcm2 ",    "Rec  ",   "IGain",    "OGain", "Line1", "Line2",   "Line3", "Digital1",
    "Digital2", "Digital3", "PhoneIn", "PhoneOut", "Video", "Radio", "Monitor",
};
const char *const control_names[SOUND_MIXER_NRDEVICES] = {
    "vol",  "bass", "treble", "synth", "pcm",   "speaker", "line",    "mic",   "cd",
    "mix",  "pcm2", "rec",    "igain", "ogain", "line1",   "line2",   "line3", "dig1",
    "dig2", "dig3", "phin",   "phout", "video", "radio",   "monitor",
};

// A list of str made from `items`, or null with the exception set.
PyObject *text_list(const char *const *items, Py_ssize_t count) noexcept
{
    ext::Ref list = ext::steal(PyList_New(count));
    if (!list)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *item = PyUnicode_FromString(items[i]);
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

struct IntConstant {
    const char *name;
    long value;
};

// Request numbers are built as unsigned 32-bit values; they are published as
// the signed 32-bit ints they are to the kernel, so read requests are negative.
constexpr long int32(unsigned long value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

#define EXT_CONSTANT(name)                                                                                             \
    {                                                                                                                  \
#name, int32(name)                                                                                             \
    }

const IntConstant constants[] = {
    EXT_CONSTANT(AFMT_QUERY),
    EXT_CONSTANT(AFMT_MU_LAW),
    EXT_CONSTANT(AFMT_A_LAW),
    EXT_CONSTANT(AFMT_IMA_ADPCM),
    EXT_CONSTANT(AFMT_U8),
    EXT_CONSTANT(AFMT_S16_LE),
    EXT_CONSTANT(AFMT_S16_BE),
    EXT_CONSTANT(AFMT_S8),
    EXT_CONSTANT(AFMT_U16_LE),
    EXT_CONSTANT(AFMT_U16_BE),
    EXT_CONSTANT(AFMT_MPEG),
    EXT_CONSTANT(AFMT_AC3),
    EXT_CONSTANT(AFMT_S16_NE),
    EXT_CONSTANT(SOUND_MIXER_NRDEVICES),
    EXT_CONSTANT(SOUND_MIXER_VOLUME),
    EXT_CONSTANT(SOUND_MIXER_BASS),
    EXT_CONSTANT(SOUND_MIXER_TREBLE),
    EXT_CONSTANT(SOUND_MIXER_SYNTH),
    EXT_CONSTANT(SOUND_MIXER_PCM),
    EXT_CONSTANT(SOUND_MIXER_SPEAKER),
    EXT_CONSTANT(SOUND_MIXER_LINE),
    EXT_CONSTANT(SOUND_MIXER_MIC),
    EXT_CONSTANT(SOUND_MIXER_CD),
    EXT_CONSTANT(SOUND_MIXER_IMIX),
    EXT_CONSTANT(SOUND_MIXER_ALTPCM),
    EXT_CONSTANT(SOUND_MIXER_RECLEV),
    EXT_CONSTANT(SOUND_MIXER_IGAIN),
    EXT_CONSTANT(SOUND_MIXER_OGAIN),
    EXT_CONSTANT(SOUND_MIXER_LINE1),
    EXT_CONSTANT(SOUND_MIXER_LINE2),
    EXT_CONSTANT(SOUND_MIXER_LINE3),
    EXT_CONSTANT(SOUND_MIXER_DIGITAL1),
    EXT_CONSTANT(SOUND_MIXER_DIGITAL2),
    EXT_CONSTANT(SOUND_MIXER_DIGITAL3),
    EXT_CONSTANT(SOUND_MIXER_PHONEIN),
    EXT_CONSTANT(SOUND_MIXER_PHONEOUT),
    EXT_CONSTANT(SOUND_MIXER_VIDEO),
    EXT_CONSTANT(SOUND_MIXER_RADIO),
    EXT_CONSTANT(SOUND_MIXER_MONITOR),
#include "requests.inc"
};

#undef EXT_CONSTANT

} // namespace

PyMODINIT_FUNC PyInit_krellune()
{
    if (PyType_Ready(&krellune::audio_type) < 0 || PyType_Ready(&krellune::mixer_type) < 0)
        return nullptr;
    ext::Ref module = ext::steal(PyModule_Create2(&krellune_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    PyObject *error = PyErr_NewException("krellune.OSSAudioError", nullptr, nullptr);
    if (error == nullptr)
        return nullptr;
    Py_XSETREF(krellune::oss_error, error);
    if (PyModule_AddObjectRef(module.get(), "error", error) < 0 ||
        PyModule_AddObjectRef(module.get(), "OSSAudioError", error) < 0)
        return nullptr;
    if (PyModule_Add(module.get(), "control_labels", text_list(control_labels, SOUND_MIXER_NRDEVICES)) < 0 ||
        PyModule_Add(module.get(), "control_names", text_list(control_names, SOUND_MIXER_NRDEVICES)) < 0)
        return nullptr;
    for (const IntConstant &c : constants)
        if (PyModule_AddIntConstant(module.get(), c.name, c.value) < 0)
            return nullptr;
    return module.release();
}
