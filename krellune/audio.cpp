// The audio device object: open, byte-stream reads and writes, and the OSS
// requests that configure the device.
#include "buffer.hpp"
#include "compat.hpp"
#include "fileio.hpp"
#include "ref.hpp"

#include "krellune.hpp"

#include <linux/soundcard.h>
#include <sys/ioctl.h>
#include <sys/select.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace krellune
{
namespace
{

struct AudioDevice {
    PyObject ob_base;
    PyObject *name; // the path opened, as str
    int fd;         // -1 once closed
    int mode;       // 0 read-only, 1 write-only, 2 read-write
    int in_flight;  // system calls on fd running without the lock
    int closing_fd; // closed by close() while calls were in flight, or -1
};

AudioDevice *as_audio(PyObject *self) noexcept
{
    return reinterpret_cast<AudioDevice *>(self);
}

// Closes a descriptor without the lock: a driver may take its time to close.
void close_unlocked(int fd) noexcept
{
    PyThreadState *state = PyEval_SaveThread();
    close(fd);
    PyEval_RestoreThread(state);
}

// Held around every system call made on the device without the lock. A
// close() from another thread meanwhile only marks the device closed; the
// descriptor stays ours until the last such call ends, so none of them can
// reach a file that someone opened under the same number since.
class InFlight
{
  public:
    explicit InFlight(PyObject *self) noexcept : dev_(as_audio(self)) { ++dev_->in_flight; }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;
    ~InFlight()
    {
        if (--dev_->in_flight == 0 && dev_->closing_fd >= 0) {
            int fd = dev_->closing_fd;
            dev_->closing_fd = -1;
            close_unlocked(fd);
        }
    }

  private:
    AudioDevice *dev_;
};

// The descriptor after argument parsing, which can run Python code that
// closes the device; false with ValueError set if it did.
bool current_fd(PyObject *self, int *fd) noexcept
{
    *fd = as_audio(self)->fd;
    return check_open(*fd);
}

PyObject *audio_read(PyObject *self, PyObject *args) noexcept
{
    if (!check_open(as_audio(self)->fd))
        return nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "n:read", &size))
        return nullptr;
    int fd = -1;
    if (!current_fd(self, &fd))
        return nullptr;
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "size must not be negative");
        return nullptr;
    }
    PyObject *data = PyBytes_FromStringAndSize(nullptr, size);
    if (data == nullptr)
        return nullptr;
    InFlight call(self);
    Py_ssize_t count = ext::read_fd(fd, PyBytes_AS_STRING(data), static_cast<size_t>(size));
    if (count < 0) {
        Py_DECREF(data);
        return nullptr;
    }
    if (count != size && _PyBytes_Resize(&data, count) < 0)
        return nullptr;
    return data;
}

PyObject *audio_write(PyObject *self, PyObject *args) noexcept
{
    if (!check_open(as_audio(self)->fd))
        return nullptr;
    ext::BufferView data;
    if (!PyArg_ParseTuple(args, "y*:write", data.out()))
        return nullptr;
    int fd = -1;
    if (!current_fd(self, &fd))
        return nullptr;
    InFlight call(self);
    Py_ssize_t count = ext::write_fd(fd, data->buf, static_cast<size_t>(data.size()));
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

// Waits until `fd` takes more bytes. A wait cut short by a signal runs the
// handlers and counts as done (the caller re-checks the device and waits
// again); false with the exception set otherwise.
bool wait_writable(int fd) noexcept
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(fd, &writable);
    PyThreadState *state = PyEval_SaveThread();
    int rc = select(fd + 1, nullptr, &writable, nullptr, nullptr);
    int err = errno;
    PyEval_RestoreThread(state);
    if (rc >= 0)
        return true;
    if (err == EINTR)
        return PyErr_CheckSignals() == 0;
    errno = err;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
}

PyObject *audio_writeall(PyObject *self, PyObject *args) noexcept
{
    if (!check_open(as_audio(self)->fd))
        return nullptr;
    ext::BufferView data;
    if (!PyArg_ParseTuple(args, "y*:writeall", data.out()))
        return nullptr;
    int fd = -1;
    if (!current_fd(self, &fd))
        return nullptr;
    if (fd >= FD_SETSIZE) {
        PyErr_SetString(PyExc_ValueError, "file descriptor out of range for select");
        return nullptr;
    }
    const char *next = static_cast<const char *>(data->buf);
    Py_ssize_t left = data.size();
    InFlight call(self);
    while (left > 0) {
        bool waited = wait_writable(fd);
        // Another thread or a signal handler may have closed the device while
        // the lock was released: its number may belong to a new file by now.
        if (!waited || !current_fd(self, &fd))
            return nullptr;
        Py_ssize_t count = ext::write_fd(fd, next, static_cast<size_t>(left));
        if (count < 0) {
            if (errno != EAGAIN)
                return nullptr;
            PyErr_Clear();
        } else {
            next += count;
            left -= count;
        }
        if (left > 0 && !current_fd(self, &fd))
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *audio_close(PyObject *self, PyObject *) noexcept
{
    // Marked closed before the lock goes, so a second closer sees it closed
    // and never closes the number again (perhaps another file's by then).
    AudioDevice *dev = as_audio(self);
    int fd = dev->fd;
    if (fd >= 0) {
        dev->fd = -1;
        if (dev->in_flight > 0)
            dev->closing_fd = fd; // the last call in flight closes it
        else
            close_unlocked(fd);
    }
    Py_RETURN_NONE;
}

PyObject *audio_fileno(PyObject *self, PyObject *) noexcept
{
    int fd = as_audio(self)->fd;
    if (!check_open(fd))
        return nullptr;
    return PyLong_FromLong(fd);
}

PyObject *audio_nonblock(PyObject *self, PyObject *) noexcept
{
    int fd = as_audio(self)->fd;
    if (!check_open(fd))
        return nullptr;
    if (ioctl(fd, SNDCTL_DSP_NONBLOCK, nullptr) == -1)
        return PyErr_SetFromErrno(PyExc_OSError);
    Py_RETURN_NONE;
}

// setfmt, channels, speed: one int request, answered with the value the
// driver wrote back.
PyObject *single_int_request(PyObject *self, PyObject *args, const char *name, unsigned long request) noexcept
{
    if (!check_open(as_audio(self)->fd))
        return nullptr;
    int value = 0;
    if (!PyArg_ParseTuple(args, CallFormat("i:", name).text, &value))
        return nullptr;
    int fd = -1;
    if (!current_fd(self, &fd) || !int_request(fd, request, &value))
        return nullptr;
    return PyLong_FromLong(value);
}

PyObject *audio_setfmt(PyObject *self, PyObject *args) noexcept
{
    return single_int_request(self, args, "setfmt", SNDCTL_DSP_SETFMT);
}

PyObject *audio_channels(PyObject *self, PyObject *args) noexcept
{
    return single_int_request(self, args, "channels", SNDCTL_DSP_CHANNELS);
}

PyObject *audio_speed(PyObject *self, PyObject *args) noexcept
{
    return single_int_request(self, args, "speed", SNDCTL_DSP_SPEED);
}

PyObject *audio_getfmts(PyObject *self, PyObject *) noexcept
{
    int fd = as_audio(self)->fd;
    if (!check_open(fd))
        return nullptr;
    int mask = 0;
    if (!int_request(fd, SNDCTL_DSP_GETFMTS, &mask))
        return nullptr;
    return PyLong_FromLong(mask);
}

// sync, reset, post: requests that may wait for the device, so the lock is
// released around them; they work on a copy of the descriptor.
PyObject *waiting_request(PyObject *self, PyObject *args, const char *name, unsigned long request) noexcept
{
    if (!check_open(as_audio(self)->fd))
        return nullptr;
    if (!PyArg_ParseTuple(args, CallFormat(":", name).text))
        return nullptr;
    int fd = -1;
    if (!current_fd(self, &fd))
        return nullptr;
    int rc = 0;
    int err = 0;
    {
        InFlight call(self);
        PyThreadState *state = PyEval_SaveThread();
        rc = ioctl(fd, request, nullptr);
        err = errno;
        PyEval_RestoreThread(state);
    }
    if (rc == -1) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

PyObject *audio_sync(PyObject *self, PyObject *args) noexcept
{
    return waiting_request(self, args, "sync", SNDCTL_DSP_SYNC);
}

PyObject *audio_reset(PyObject *self, PyObject *args) noexcept
{
    return waiting_request(self, args, "reset", SNDCTL_DSP_RESET);
}

PyObject *audio_post(PyObject *self, PyObject *args) noexcept
{
    return waiting_request(self, args, "post", SNDCTL_DSP_POST);
}

PyObject *audio_setparameters(PyObject *self, PyObject *args) noexcept
{
    if (!check_open(as_audio(self)->fd))
        return nullptr;
    int wanted[3] = {0, 0, 0};
    int strict = 0;
    if (!PyArg_ParseTuple(args, "iii|i:setparameters", &wanted[0], &wanted[1], &wanted[2], &strict))
        return nullptr;
    int fd = -1;
    if (!current_fd(self, &fd))
        return nullptr;
    static const unsigned long requests[3] = {SNDCTL_DSP_SETFMT, SNDCTL_DSP_CHANNELS, SNDCTL_DSP_SPEED};
    static const char *const messages[3] = {
        "unable to set requested format (wanted %d, got %d)",
        "unable to set requested channels (wanted %d, got %d)",
        "unable to set requested rate (wanted %d, got %d)",
    };
    int got[3] = {0, 0, 0};
    for (int i = 0; i < 3; i++) {
        got[i] = wanted[i];
        if (!int_request(fd, requests[i], &got[i]))
            return nullptr;
        if (strict && got[i] != wanted[i]) {
            PyErr_Format(oss_error, messages[i], wanted[i], got[i]);
            return nullptr;
        }
    }
    return Py_BuildValue("(iii)", got[0], got[1], got[2]);
}

// Bytes per frame of the current format and channel count, or 0 with OSError
// set. Formats without a fixed sample size have none.
int64_t frame_size(int fd) noexcept
{
    int format = AFMT_QUERY;
    if (ioctl(fd, SNDCTL_DSP_SETFMT, &format) == -1) {
        PyErr_SetFromErrno(PyExc_OSError);
        return 0;
    }
    int sample = 0;
    switch (format) {
    case AFMT_MU_LAW:
    case AFMT_A_LAW:
    case AFMT_U8:
    case AFMT_S8:
        sample = 1;
        break;
    case AFMT_S16_LE:
    case AFMT_S16_BE:
    case AFMT_U16_LE:
    case AFMT_U16_BE:
        sample = 2;
        break;
    default:
        errno = EOPNOTSUPP;
        PyErr_SetFromErrno(PyExc_OSError);
        return 0;
    }
    int channels = 0;
    if (ioctl(fd, SNDCTL_DSP_CHANNELS, &channels) == -1) {
        PyErr_SetFromErrno(PyExc_OSError);
        return 0;
    }
    // A driver that reports no channels (or a negative count) gives no frame
    // size to divide by.
    if (channels <= 0) {
        errno = EIO;
        PyErr_SetFromErrno(PyExc_OSError);
        return 0;
    }
    return int64_t{sample} * channels;
}

enum class BufferFigure { size, queued, free };

// The output buffer in frames. The driver's figures are multiplied in 64 bits,
// where no product of two ints overflows.
PyObject *buffer_query(PyObject *self, BufferFigure figure) noexcept
{
    int fd = as_audio(self)->fd;
    if (!check_open(fd))
        return nullptr;
    int64_t frame = frame_size(fd);
    if (frame == 0)
        return nullptr;
    audio_buf_info info{};
    if (ioctl(fd, SNDCTL_DSP_GETOSPACE, &info) == -1)
        return PyErr_SetFromErrno(PyExc_OSError);
    int64_t total = int64_t{info.fragstotal} * info.fragsize;
    int64_t bytes = 0;
    switch (figure) {
    case BufferFigure::size:
        bytes = total;
        break;
    case BufferFigure::queued:
        bytes = total - info.bytes;
        break;
    case BufferFigure::free:
        bytes = info.bytes;
        break;
    }
    return PyLong_FromLongLong(bytes / frame);
}

PyObject *audio_bufsize(PyObject *self, PyObject *) noexcept
{
    return buffer_query(self, BufferFigure::size);
}

PyObject *audio_obufcount(PyObject *self, PyObject *) noexcept
{
    return buffer_query(self, BufferFigure::queued);
}

PyObject *audio_obuffree(PyObject *self, PyObject *) noexcept
{
    return buffer_query(self, BufferFigure::free);
}

PyObject *audio_getptr(PyObject *self, PyObject *) noexcept
{
    int fd = as_audio(self)->fd;
    if (!check_open(fd))
        return nullptr;
    unsigned long request = as_audio(self)->mode == 0 ? SNDCTL_DSP_GETIPTR : SNDCTL_DSP_GETOPTR;
    count_info info{};
    if (ioctl(fd, request, &info) == -1)
        return PyErr_SetFromErrno(PyExc_OSError);
    return Py_BuildValue("(iii)", info.bytes, info.blocks, info.ptr);
}

PyObject *audio_enter(PyObject *self, PyObject *) noexcept
{
    return Py_NewRef(self);
}

PyObject *audio_exit(PyObject *self, PyObject *) noexcept
{
    ext::Ref result = ext::steal(PyObject_CallMethod(self, "close", nullptr));
    if (!result)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef audio_methods[] = {
    {"read", audio_read, METH_VARARGS, nullptr},         {"write", audio_write, METH_VARARGS, nullptr},
    {"writeall", audio_writeall, METH_VARARGS, nullptr}, {"close", audio_close, METH_NOARGS, nullptr},
    {"fileno", audio_fileno, METH_NOARGS, nullptr},      {"nonblock", audio_nonblock, METH_NOARGS, nullptr},
    {"setfmt", audio_setfmt, METH_VARARGS, nullptr},     {"getfmts", audio_getfmts, METH_NOARGS, nullptr},
    {"channels", audio_channels, METH_VARARGS, nullptr}, {"speed", audio_speed, METH_VARARGS, nullptr},
    {"sync", audio_sync, METH_VARARGS, nullptr},         {"reset", audio_reset, METH_VARARGS, nullptr},
    {"post", audio_post, METH_VARARGS, nullptr},         {"setparameters", audio_setparameters, METH_VARARGS, nullptr},
    {"bufsize", audio_bufsize, METH_NOARGS, nullptr},    {"obufcount", audio_obufcount, METH_NOARGS, nullptr},
    {"obuffree", audio_obuffree, METH_NOARGS, nullptr},  {"getptr", audio_getptr, METH_NOARGS, nullptr},
    {"flush", audio_sync, METH_VARARGS, nullptr},        {"__enter__", audio_enter, METH_NOARGS, nullptr},
    {"__exit__", audio_exit, METH_VARARGS, nullptr},     {nullptr, nullptr, 0, nullptr},
};

PyObject *audio_getattro(PyObject *self, PyObject *name) noexcept
{
    if (PyUnicode_Check(name)) {
        AudioDevice *dev = as_audio(self);
        if (PyUnicode_CompareWithASCIIString(name, "closed") == 0)
            return PyBool_FromLong(dev->fd == -1);
        if (PyUnicode_CompareWithASCIIString(name, "name") == 0)
            return Py_NewRef(dev->name);
        if (PyUnicode_CompareWithASCIIString(name, "mode") == 0) {
            static const char *const modes[3] = {"r", "w", "rw"};
            return PyUnicode_FromString(modes[dev->mode]);
        }
    }
    return PyObject_GenericGetAttr(self, name);
}

void audio_dealloc(PyObject *self) noexcept
{
    AudioDevice *dev = as_audio(self);
    if (dev->fd != -1)
        close(dev->fd);
    if (dev->closing_fd != -1) // only while a call is in flight, which holds the object
        close(dev->closing_fd);
    Py_XDECREF(dev->name);
    PyObject_Free(self);
}

// The device path: the argument, else $AUDIODEV, else the system's default.
// Copied at once: the environment may change while the lock is released.
PyObject *audio_path(const char *device) noexcept
{
    if (device == nullptr)
        device = std::getenv("AUDIODEV");
    return PyUnicode_DecodeFSDefault(device != nullptr ? device : "/dev/dsp");
}

} // namespace

// Designated fields only: the record grew and moved between versions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject audio_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "krellune.oss_audio_device",
    .tp_basicsize = sizeof(AudioDevice),
    .tp_dealloc = audio_dealloc,
    .tp_getattro = audio_getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = audio_methods,
};
#pragma GCC diagnostic pop

PyObject *open_audio(PyObject *, PyObject *args) noexcept
{
    const char *first = nullptr;
    const char *second = nullptr;
    if (!PyArg_ParseTuple(args, "s|s:open", &first, &second))
        return nullptr;
    const char *mode_text = second != nullptr ? second : first;
    int flags = 0;
    int mode = 0;
    if (std::strcmp(mode_text, "r") == 0) {
        flags = O_RDONLY;
        mode = 0;
    } else if (std::strcmp(mode_text, "w") == 0) {
        flags = O_WRONLY;
        mode = 1;
    } else if (std::strcmp(mode_text, "rw") == 0) {
        flags = O_RDWR;
        mode = 2;
    } else {
        PyErr_SetString(oss_error, "mode must be 'r', 'w', or 'rw'");
        return nullptr;
    }
    ext::Ref name = ext::steal(audio_path(second != nullptr ? first : nullptr));
    if (!name)
        return nullptr;
    ext::Ref encoded = ext::steal(PyUnicode_EncodeFSDefault(name.get()));
    if (!encoded)
        return nullptr;
    int fd = ext::open_fd(PyBytes_AS_STRING(encoded.get()), flags | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    int formats = 0;
    if (fcntl(fd, F_SETFL, 0) == -1 || ioctl(fd, SNDCTL_DSP_GETFMTS, &formats) == -1) {
        int err = errno;
        close(fd);
        errno = err;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
    }
    AudioDevice *dev = PyObject_New(AudioDevice, &audio_type);
    if (dev == nullptr) {
        close(fd);
        return nullptr;
    }
    dev->name = name.release();
    dev->fd = fd;
    dev->mode = mode;
    dev->in_flight = 0;
    dev->closing_fd = -1;
    return reinterpret_cast<PyObject *>(dev);
}

} // namespace krellune
