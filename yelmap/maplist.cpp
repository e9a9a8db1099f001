// The map-list call with its own XDR routines (maplist_xdr.hpp): libnsl has
// no client call for it. Decoded names live in memory the XDR routines
// allocate; the same routines free it again once the Python list is built.
#include "maplist.hpp"

#include "maplist_xdr.hpp"

#include "ref.hpp"

#include <rpc/rpc.h>
#include <rpcsvc/yp_prot.h>
#include <rpcsvc/ypclnt.h>

namespace yelmap
{
namespace
{

constexpr timeval call_timeout = {25, 0};

// The result record. It is only used with the interpreter lock held.
MapListResult result;

// Frees whatever the decoder allocated, also after a partial decode, and
// leaves the record zeroed for the next call.
struct ResultGuard {
    ~ResultGuard()
    {
        xdr_free(reinterpret_cast<xdrproc_t>(xdr_result), &result);
        result = {};
    }
};

struct ClientGuard {
    CLIENT *client;
    ~ClientGuard() { clnt_destroy(client); }
};

PyObject *names_of(const MapNode *node) noexcept
{
    ext::Ref list = ext::steal(PyList_New(0));
    if (!list)
        return nullptr;
    for (; node != nullptr; node = node->next) {
        ext::Ref name = ext::steal(PyUnicode_FromString(node->map));
        if (!name || PyList_Append(list.get(), name.get()) < 0)
            return nullptr;
    }
    return list.release();
}

} // namespace

PyObject *map_list(const char *server, const char *domain) noexcept
{
    CLIENT *client = clnt_create(server, YPPROG, YPVERS, "tcp");
    if (client == nullptr) {
        PyErr_SetString(error, clnt_spcreateerror(server));
        return nullptr;
    }
    ResultGuard free_result;
    {
        ClientGuard destroy{client};
        result = {};
        char *argument = const_cast<char *>(domain);
        enum clnt_stat stat = clnt_call(client, YPPROC_MAPLIST, reinterpret_cast<xdrproc_t>(xdr_name),
                                        reinterpret_cast<char *>(&argument), reinterpret_cast<xdrproc_t>(xdr_result),
                                        reinterpret_cast<char *>(&result), call_timeout);
        if (stat != RPC_SUCCESS) {
            // The text comes from the handle, so it is taken before the handle goes.
            PyErr_SetString(error, clnt_sperror(client, server));
            return nullptr;
        }
    }
    if (result.status != YP_TRUE) {
        PyErr_SetString(error, yperr_string(ypprot_err(result.status)));
        return nullptr;
    }
    if (result.list == nullptr) {
        PyErr_Format(error, "No maps found in domain %s", domain);
        return nullptr;
    }
    return names_of(result.list);
}

} // namespace yelmap
