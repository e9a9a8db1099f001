// The NIS map-list call (YPPROC_MAPLIST), made by hand over ONC RPC.
#pragma once

#include <Python.h>

namespace yelmap
{

// The exception class of the module, set once at initialisation.
extern PyObject *error;

// The names of the maps `domain` serves, asked of `server`, as a list of str;
// null with yelmap.error set when the call fails, the server refuses or the
// list is empty. Called with the interpreter lock held.
PyObject *map_list(const char *server, const char *domain) noexcept;

} // namespace yelmap
