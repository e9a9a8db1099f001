// Read access to NIS maps through libnsl's client calls.
#include "compat.hpp"
#include "maplist.hpp"
#include "ref.hpp"

#include <rpc/rpc.h>
#include <rpcsvc/yp_prot.h>
#include <rpcsvc/ypclnt.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace yelmap
{

PyObject *error = nullptr;

namespace
{

struct Alias {
    const char *alias;
    const char *map;
    int fix; // keys and values are stored with their terminating NUL
};

const Alias map_aliases[] = {
    {"passwd", "passwd.byname", 0}, {"group", "group.byname", 0},           {"networks", "networks.byaddr", 0},
    {"hosts", "hosts.byname", 0},   {"protocols", "protocols.bynumber", 0}, {"services", "services.byname", 0},
    {"aliases", "mail.aliases", 1}, {"ethers", "ethers.byname", 0},
};

struct Resolved {
    const char *map;
    int fix;
};

Resolved resolve_map(const char *name) noexcept
{
    for (const Alias &a : map_aliases)
        if (std::strcmp(name, a.alias) == 0 || std::strcmp(name, a.map) == 0)
            return {a.map, a.fix};
    return {name, 0};
}

PyObject *nis_error(int code) noexcept
{
    PyErr_SetString(error, yperr_string(code));
    return nullptr;
}

// The given domain, or the default one; null with the error set.
const char *domain_or_default(const char *domain) noexcept
{
    if (domain != nullptr)
        return domain;
    char *found = nullptr;
    int code = yp_get_default_domain(&found);
    if (code != 0) {
        nis_error(code);
        return nullptr;
    }
    return found;
}

struct Freer {
    void operator()(char *p) const noexcept { std::free(p); }
};
using Malloced = std::unique_ptr<char, Freer>;

// Drops a trailing NUL the map stored with the datum.
int without_nul(const char *data, int size) noexcept
{
    return size > 0 && data[size - 1] == '\0' ? size - 1 : size;
}

constexpr char match_doc[] =
    "match(key, map, domain = defaultdomain)\nCorresponds to the C library yp_match() call, returning the value of\n"
    "key in the given map. Optionally domain can be specified but it\ndefaults to the system default domain.\n";

PyObject *yelmap_match(PyObject *, PyObject *args, PyObject *kwargs) noexcept
{
    static const char *keywords[] = {"key", "map", "domain", nullptr};
    PyObject *key = nullptr;
    const char *map = nullptr;
    const char *domain = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Us|s:match", const_cast<char **>(keywords), &key, &map, &domain))
        return nullptr;
    ext::Ref encoded = ext::steal(PyUnicode_EncodeFSDefault(key));
    char *key_bytes = nullptr;
    // Without a length to fill in, the interpreter refuses an embedded NUL,
    // which the server would otherwise see as part of the key.
    if (!encoded || PyBytes_AsStringAndSize(encoded.get(), &key_bytes, nullptr) < 0)
        return nullptr;
    Py_ssize_t key_size = PyBytes_GET_SIZE(encoded.get());
    domain = domain_or_default(domain);
    if (domain == nullptr)
        return nullptr;
    Resolved target = resolve_map(map);
    // libnsl takes the length as int, one more with the stored NUL; a longer
    // key is refused rather than cut short or wrapped negative.
    if (key_size > INT_MAX - target.fix) {
        PyErr_SetString(PyExc_OverflowError, "key is too long for a NIS lookup");
        return nullptr;
    }
    int send_size = static_cast<int>(key_size) + target.fix;
    char *value = nullptr;
    int value_size = 0;
    PyThreadState *state = PyEval_SaveThread();
    int code = yp_match(domain, target.map, key_bytes, send_size, &value, &value_size);
    PyEval_RestoreThread(state);
    Malloced owned_value(value);
    encoded.reset();
    if (code != 0)
        return nis_error(code);
    if (target.fix)
        value_size = without_nul(value, value_size);
    return PyUnicode_DecodeFSDefaultAndSize(value, value_size);
}

// What the enumeration callback works with, owned by cat's frame.
struct CatContext {
    PyObject *dict; // borrowed
    int fix;
    PyThreadState *state; // saved while libnsl runs without the lock
    PyObject *failure;    // the first exception, kept for cat to raise
};

// Stores one entry. Returns false with the exception set when it cannot.
bool store_entry(CatContext *ctx, const char *key, int key_size, const char *value, int value_size) noexcept
{
    if (ctx->fix) {
        key_size = without_nul(key, key_size);
        value_size = without_nul(value, value_size);
    }
    ext::Ref k = ext::steal(PyUnicode_DecodeFSDefaultAndSize(key, key_size));
    if (!k)
        return false;
    ext::Ref v = ext::steal(PyUnicode_DecodeFSDefaultAndSize(value, value_size));
    return v && PyDict_SetItem(ctx->dict, k.get(), v.get()) == 0;
}

// Called by libnsl for each entry, without the interpreter lock. A failure
// stops the enumeration and is kept, so cat raises it rather than return a
// dictionary with entries missing.
int cat_entry(int status, char *key, int key_size, char *value, int value_size, char *data) noexcept
{
    auto *ctx = reinterpret_cast<CatContext *>(data);
    // After a failure nothing more is taken, should libnsl call again.
    if (status != YP_TRUE || ctx->failure != nullptr)
        return 1;
    PyEval_RestoreThread(ctx->state);
    bool stored = store_entry(ctx, key, key_size, value, value_size);
    if (!stored)
        ctx->failure = PyErr_GetRaisedException();
    ctx->state = PyEval_SaveThread();
    return stored ? 0 : 1;
}

constexpr char cat_doc[] =
    "cat(map, domain = defaultdomain)\nReturns the entire map as a dictionary. Optionally domain can be\n"
    "specified but it defaults to the system default domain.\n";

PyObject *yelmap_cat(PyObject *, PyObject *args, PyObject *kwargs) noexcept
{
    static const char *keywords[] = {"map", "domain", nullptr};
    const char *map = nullptr;
    const char *domain = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|s:cat", const_cast<char **>(keywords), &map, &domain))
        return nullptr;
    domain = domain_or_default(domain);
    if (domain == nullptr)
        return nullptr;
    ext::Ref dict = ext::steal(PyDict_New());
    if (!dict)
        return nullptr;
    Resolved target = resolve_map(map);
    CatContext ctx{dict.get(), target.fix, nullptr, nullptr};
    ypall_callback callback{cat_entry, reinterpret_cast<char *>(&ctx)};
    ctx.state = PyEval_SaveThread();
    int code = yp_all(domain, target.map, &callback);
    PyEval_RestoreThread(ctx.state);
    if (ctx.failure != nullptr) {
        PyErr_SetRaisedException(ctx.failure);
        return nullptr;
    }
    if (code != 0)
        return nis_error(code);
    return dict.release();
}

constexpr char maps_doc[] =
    "maps(domain = defaultdomain)\nReturns an array of all available NIS maps within a domain. If domain\n"
    "is not specified it defaults to the system default domain.\n";

PyObject *yelmap_maps(PyObject *, PyObject *args, PyObject *kwargs) noexcept
{
    static const char *keywords[] = {"domain", nullptr};
    const char *domain = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|s:maps", const_cast<char **>(keywords), &domain))
        return nullptr;
    domain = domain_or_default(domain);
    if (domain == nullptr)
        return nullptr;
    // Any map of the table whose master is known names the server to ask.
    Malloced server;
    for (const Alias &a : map_aliases) {
        char *master = nullptr;
        if (yp_master(domain, a.map, &master) == 0 && master != nullptr) {
            server.reset(master);
            break;
        }
        std::free(master);
    }
    if (!server) {
        PyErr_SetString(error, "No NIS master found for any map");
        return nullptr;
    }
    return map_list(server.get(), domain);
}

constexpr char get_default_domain_doc[] =
    "get_default_domain() -> str\nCorresponds to the C library yp_get_default_domain() call, returning\n"
    "the default NIS domain.\n";

PyObject *yelmap_get_default_domain(PyObject *, PyObject *) noexcept
{
    char *domain = nullptr;
    int code = yp_get_default_domain(&domain);
    if (code != 0)
        return nis_error(code);
    return PyUnicode_FromStringAndSize(domain, static_cast<Py_ssize_t>(std::strlen(domain)));
}

template <PyObject *(*F)(PyObject *, PyObject *, PyObject *) noexcept> PyCFunction with_keywords()
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef yelmap_methods[] = {
    {"match", with_keywords<yelmap_match>(), METH_VARARGS | METH_KEYWORDS, match_doc},
    {"cat", with_keywords<yelmap_cat>(), METH_VARARGS | METH_KEYWORDS, cat_doc},
    {"maps", with_keywords<yelmap_maps>(), METH_VARARGS | METH_KEYWORDS, maps_doc},
    {"get_default_domain", yelmap_get_default_domain, METH_NOARGS, get_default_domain_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef yelmap_module = {
    PyModuleDef_HEAD_INIT,
    "yelmap",
    "This module contains functions for accessing NIS maps.\n",
    -1,
    yelmap_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace yelmap

PyMODINIT_FUNC PyInit_yelmap()
{
    ext::Ref module = ext::steal(PyModule_Create2(&yelmap::yelmap_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    // Kept process-wide: a module loaded again shares the class it made first.
    if (yelmap::error == nullptr) {
        yelmap::error = PyErr_NewException("yelmap.error", nullptr, nullptr);
        if (yelmap::error == nullptr)
            return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "error", yelmap::error) < 0)
        return nullptr;
    return module.release();
}
