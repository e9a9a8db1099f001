// libFuzzer target: the map-list answer's XDR decoder on any bytes a server
// may send. Whatever decodes must be names of at most 64 bytes, encode back to
// the same list, and free completely with xdr_free (a partial decode too).
#include "maplist_xdr.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using yelmap::MapListResult;
using yelmap::MapNode;

std::vector<std::string> names(const MapListResult &r)
{
    std::vector<std::string> out;
    for (const MapNode *n = r.list; n != nullptr; n = n->next) {
        if (n->map == nullptr || std::strlen(n->map) > yelmap::name_max)
            std::abort();
        out.emplace_back(n->map);
    }
    return out;
}

void release(MapListResult *r)
{
    xdr_free(reinterpret_cast<xdrproc_t>(yelmap::xdr_result), reinterpret_cast<char *>(r));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> wire(data, data + size);
    XDR in;
    xdrmem_create(&in, wire.data(), static_cast<u_int>(wire.size()), XDR_DECODE);
    MapListResult decoded{};
    bool ok = yelmap::xdr_result(&in, &decoded);
    xdr_destroy(&in);
    if (ok) {
        std::vector<std::string> first = names(decoded);
        // Encoded again, it takes no more room than it came in and decodes the same.
        std::vector<char> again(size + 8);
        XDR out;
        xdrmem_create(&out, again.data(), static_cast<u_int>(again.size()), XDR_ENCODE);
        if (!yelmap::xdr_result(&out, &decoded))
            std::abort();
        xdr_destroy(&out);
        XDR back;
        xdrmem_create(&back, again.data(), static_cast<u_int>(again.size()), XDR_DECODE);
        MapListResult second{};
        if (!yelmap::xdr_result(&back, &second) || second.status != decoded.status || names(second) != first)
            std::abort();
        xdr_destroy(&back);
        release(&second);
    }
    release(&decoded);
    return 0;
}
