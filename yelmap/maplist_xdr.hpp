// The map-list answer's XDR routines, apart from the call that uses them so
// that they build without the interpreter (the libFuzzer target decodes
// arbitrary bytes with them). Decoded names live in memory these routines
// allocate; xdr_free with xdr_result frees it again.
#pragma once

#include <rpc/rpc.h>

#include <cstdlib>

namespace yelmap
{

inline constexpr u_int name_max = 64; // longest domain or map name on the wire

struct MapNode {
    char *map;
    MapNode *next;
};

struct MapListResult {
    enum_t status;
    MapNode *list;
};

inline bool_t xdr_name(XDR *xdrs, char **name) noexcept
{
    return xdr_string(xdrs, name, name_max);
}

// The list on the wire is "pointer to node", each node a name and a pointer
// to the next. It is walked in a loop, not by a routine calling itself per
// node, so that a server sending a very long list cannot exhaust the stack.
// Nodes come from calloc and go with free, as xdr_pointer's own do.
inline bool_t xdr_list(XDR *xdrs, MapNode **link) noexcept
{
    for (;;) {
        bool_t more = *link != nullptr;
        if (!xdr_bool(xdrs, &more))
            return FALSE;
        if (!more)
            return TRUE;
        if (*link == nullptr) {
            *link = static_cast<MapNode *>(std::calloc(1, sizeof(MapNode)));
            if (*link == nullptr)
                return FALSE;
        }
        MapNode *node = *link;
        if (!xdr_name(xdrs, &node->map))
            return FALSE;
        if (xdrs->x_op == XDR_FREE) {
            // The slot takes the rest of the list before this node goes.
            *link = node->next;
            std::free(node);
        } else {
            link = &node->next;
        }
    }
}

inline bool_t xdr_result(XDR *xdrs, MapListResult *res) noexcept
{
    return xdr_enum(xdrs, &res->status) && xdr_list(xdrs, &res->list);
}

} // namespace yelmap
