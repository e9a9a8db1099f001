// libFuzzer target: what krellune makes of a driver's answers. The devices are
// /dev/null, and every OSS request ('P' audio, 'M' mixer) is answered here from
// the input instead: refused with an error number, or with whatever bytes the
// input holds in the request's argument. Every method of both devices then
// runs from an embedded interpreter; any answer must end in a value or a Python
// exception, never in undefined arithmetic (the sanitizers watch) or an error
// return without an exception (a SystemError stops the run).
#include <Python.h>

#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>

extern "C" PyObject *PyInit_krellune();

namespace
{

const uint8_t *input = nullptr;
size_t remaining = 0;

uint8_t next_byte()
{
    if (remaining == 0)
        return 0;
    remaining--;
    return *input++;
}

PyObject *exercise = nullptr;

// Each call is made whatever the previous one did; only a SystemError escapes.
const char script[] = R"(
import krellune

def calls(device, steps):
    for name, args in steps:
        try:
            getattr(device, name)(*args)
        except SystemError:
            raise
        except Exception:
            pass

def exercise():
    try:
        dsp = krellune.open("/dev/null", "rw")
    except OSError:
        dsp = None
    if dsp is not None:
        with dsp:
            calls(dsp, [("setfmt", (16,)), ("channels", (2,)), ("speed", (44100,)),
                        ("setparameters", (16, 2, 44100)), ("setparameters", (8, 1, 8000, True)),
                        ("getfmts", ()), ("bufsize", ()), ("obufcount", ()), ("obuffree", ()),
                        ("getptr", ()), ("write", (b"x" * 64,)), ("writeall", (b"y" * 4096,)),
                        ("read", (16,)), ("nonblock", ()), ("sync", ()), ("reset", ()), ("post", ()),
                        ("bufsize", ()), ("obufcount", ()), ("obuffree", ())])
    try:
        mixer = krellune.openmixer("/dev/null")
    except OSError:
        return
    with mixer:
        steps = [("controls", ()), ("stereocontrols", ()), ("reccontrols", ()), ("get_recsrc", ()),
                 ("set_recsrc", (1,))]
        steps += [("get", (i,)) for i in range(0, 25, 3)]
        steps += [("set", (i, (50, 60))) for i in range(0, 25, 4)]
        calls(mixer, steps)
)";

} // namespace

// The OSS requests of the devices; every other descriptor and request goes
// to the system.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const unsigned type = _IOC_TYPE(request);
    if (type != 'P' && type != 'M')
        return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    const uint8_t how = next_byte();
    if (how % 8 == 0) {
        static const int errors[] = {EINVAL, EIO, ENOTTY, EAGAIN, EBUSY};
        errno = errors[next_byte() % (sizeof errors / sizeof *errors)];
        return -1;
    }
    if ((_IOC_DIR(request) & _IOC_READ) && arg != nullptr) {
        auto *out = static_cast<uint8_t *>(arg);
        for (unsigned i = 0; i < _IOC_SIZE(request); i++)
            out[i] = next_byte();
    }
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    PyImport_AppendInittab("krellune", PyInit_krellune);
    Py_InitializeEx(0);
    PyObject *globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject *done = PyRun_String(script, Py_file_input, globals, globals);
    exercise = done ? PyDict_GetItemString(globals, "exercise") : nullptr;
    if (exercise == nullptr) {
        PyErr_Print();
        __builtin_trap();
    }
    Py_INCREF(exercise);
    Py_DECREF(done);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    input = data;
    remaining = size;
    PyObject *r = PyObject_CallNoArgs(exercise);
    if (r == nullptr) {
        PyErr_Print();
        __builtin_trap();
    }
    Py_DECREF(r);
    return 0;
}
