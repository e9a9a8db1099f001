// What the audio and mixer objects of krellune share with the module frame.
#pragma once

#include <Python.h>

namespace krellune
{

// krellune.OSSAudioError, created by the module's initialisation and kept for
// the life of the process.
extern PyObject *oss_error;

extern PyTypeObject audio_type;
extern PyTypeObject mixer_type;

// False with ValueError set when the object's descriptor is already closed.
bool check_open(int fd) noexcept;

// Issues `request` with an int argument in and out; false with OSError set
// from errno on failure.
bool int_request(int fd, unsigned long request, int *value) noexcept;

// The format of a call with one int or no argument, named after its method:
// prefix "i:" or ":" and the name, as the parser's messages show it.
struct CallFormat {
    char text[32];
    CallFormat(const char *prefix, const char *name) noexcept;
};

PyObject *open_audio(PyObject *module, PyObject *args) noexcept;
PyObject *open_mixer(PyObject *module, PyObject *args) noexcept;

} // namespace krellune
