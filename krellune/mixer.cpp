// The mixer object: channel volumes and recording sources, one OSS request
// each. None of them waits, so the lock is never released.
#include "compat.hpp"
#include "fileio.hpp"
#include "ref.hpp"

#include "krellune.hpp"

#include <linux/soundcard.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace krellune
{
namespace
{

struct MixerDevice {
    PyObject ob_base;
    int fd; // -1 once closed
};

MixerDevice *as_mixer(PyObject *self) noexcept
{
    return reinterpret_cast<MixerDevice *>(self);
}

PyObject *mixer_close(PyObject *self, PyObject *) noexcept
{
    int fd = as_mixer(self)->fd;
    if (fd >= 0) {
        as_mixer(self)->fd = -1;
        close(fd);
    }
    Py_RETURN_NONE;
}

PyObject *mixer_fileno(PyObject *self, PyObject *) noexcept
{
    int fd = as_mixer(self)->fd;
    if (!check_open(fd))
        return nullptr;
    return PyLong_FromLong(fd);
}

PyObject *mixer_enter(PyObject *self, PyObject *) noexcept
{
    return Py_NewRef(self);
}

PyObject *mixer_exit(PyObject *self, PyObject *) noexcept
{
    ext::Ref result = ext::steal(PyObject_CallMethod(self, "close", nullptr));
    if (!result)
        return nullptr;
    Py_RETURN_NONE;
}

// The requests that read one mask of channels.
PyObject *mask_request(PyObject *self, PyObject *args, const char *name, unsigned long request) noexcept
{
    if (!check_open(as_mixer(self)->fd))
        return nullptr;
    if (!PyArg_ParseTuple(args, CallFormat(":", name).text))
        return nullptr;
    int mask = 0;
    int fd = as_mixer(self)->fd;
    if (!check_open(fd) || !int_request(fd, request, &mask))
        return nullptr;
    return PyLong_FromLong(mask);
}

PyObject *mixer_controls(PyObject *self, PyObject *args) noexcept
{
    return mask_request(self, args, "controls", SOUND_MIXER_READ_DEVMASK);
}

PyObject *mixer_stereocontrols(PyObject *self, PyObject *args) noexcept
{
    return mask_request(self, args, "stereocontrols", SOUND_MIXER_READ_STEREODEVS);
}

PyObject *mixer_reccontrols(PyObject *self, PyObject *args) noexcept
{
    return mask_request(self, args, "reccontrols", SOUND_MIXER_READ_RECMASK);
}

PyObject *mixer_get_recsrc(PyObject *self, PyObject *args) noexcept
{
    return mask_request(self, args, "get_recsrc", SOUND_MIXER_READ_RECSRC);
}

PyObject *mixer_set_recsrc(PyObject *self, PyObject *args) noexcept
{
    if (!check_open(as_mixer(self)->fd))
        return nullptr;
    int mask = 0;
    if (!PyArg_ParseTuple(args, CallFormat("i:", "set_recsrc").text, &mask))
        return nullptr;
    int fd = as_mixer(self)->fd;
    if (!check_open(fd) || !int_request(fd, SOUND_MIXER_WRITE_RECSRC, &mask))
        return nullptr;
    return PyLong_FromLong(mask);
}

bool check_channel(int channel) noexcept
{
    if (channel < 0 || channel >= SOUND_MIXER_NRDEVICES) {
        PyErr_SetString(oss_error, "Invalid mixer channel specified.");
        return false;
    }
    return true;
}

// Left level in bits 0-7, right in bits 8-15; higher bits are ignored.
PyObject *volume_pair(int volume) noexcept
{
    unsigned bits = static_cast<unsigned>(volume);
    return Py_BuildValue("(ii)", static_cast<int>(bits & 0xFFu), static_cast<int>((bits >> 8) & 0xFFu));
}

PyObject *mixer_get(PyObject *self, PyObject *args) noexcept
{
    if (!check_open(as_mixer(self)->fd))
        return nullptr;
    int channel = 0;
    if (!PyArg_ParseTuple(args, "i:get", &channel) || !check_channel(channel))
        return nullptr;
    int volume = 0;
    int fd = as_mixer(self)->fd;
    if (!check_open(fd) || !int_request(fd, MIXER_READ(static_cast<unsigned>(channel)), &volume))
        return nullptr;
    return volume_pair(volume);
}

PyObject *mixer_set(PyObject *self, PyObject *args) noexcept
{
    if (!check_open(as_mixer(self)->fd))
        return nullptr;
    int channel = 0;
    int left = 0;
    int right = 0;
    if (!PyArg_ParseTuple(args, "i(ii):set", &channel, &left, &right) || !check_channel(channel))
        return nullptr;
    if (left < 0 || left > 100 || right < 0 || right > 100) {
        PyErr_SetString(oss_error, "Volumes must be between 0 and 100.");
        return nullptr;
    }
    int volume = left | (right << 8);
    int fd = as_mixer(self)->fd;
    if (!check_open(fd) || !int_request(fd, MIXER_WRITE(static_cast<unsigned>(channel)), &volume))
        return nullptr;
    return volume_pair(volume);
}

PyMethodDef mixer_methods[] = {
    {"close", mixer_close, METH_NOARGS, nullptr},
    {"fileno", mixer_fileno, METH_NOARGS, nullptr},
    {"__enter__", mixer_enter, METH_NOARGS, nullptr},
    {"__exit__", mixer_exit, METH_VARARGS, nullptr},
    {"controls", mixer_controls, METH_VARARGS, nullptr},
    {"stereocontrols", mixer_stereocontrols, METH_VARARGS, nullptr},
    {"reccontrols", mixer_reccontrols, METH_VARARGS, nullptr},
    {"get", mixer_get, METH_VARARGS, nullptr},
    {"set", mixer_set, METH_VARARGS, nullptr},
    {"get_recsrc", mixer_get_recsrc, METH_VARARGS, nullptr},
    {"set_recsrc", mixer_set_recsrc, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void mixer_dealloc(PyObject *self) noexcept
{
    if (as_mixer(self)->fd != -1)
        close(as_mixer(self)->fd);
    PyObject_Free(self);
}

} // namespace

// Designated fields only: the record grew and moved between versions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject mixer_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "krellune.oss_mixer_device",
    .tp_basicsize = sizeof(MixerDevice),
    .tp_dealloc = mixer_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = mixer_methods,
};
#pragma GCC diagnostic pop

PyObject *open_mixer(PyObject *, PyObject *args) noexcept
{
    const char *device = nullptr;
    if (!PyArg_ParseTuple(args, "|s", &device))
        return nullptr;
    if (device == nullptr)
        device = std::getenv("MIXERDEV");
    ext::Ref name = ext::steal(PyUnicode_DecodeFSDefault(device != nullptr ? device : "/dev/mixer"));
    if (!name)
        return nullptr;
    ext::Ref encoded = ext::steal(PyUnicode_EncodeFSDefault(name.get()));
    if (!encoded)
        return nullptr;
    int fd = ext::open_fd(PyBytes_AS_STRING(encoded.get()), O_RDWR);
    if (fd < 0)
        return nullptr;
    MixerDevice *mixer = PyObject_New(MixerDevice, &mixer_type);
    if (mixer == nullptr) {
        close(fd);
        return nullptr;
    }
    mixer->fd = fd;
    return reinterpret_cast<PyObject *>(mixer);
}

} // namespace krellune
