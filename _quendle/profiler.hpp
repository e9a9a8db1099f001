// The profiler object and the record types its statistics come back in.
#pragma once

#include "compat.hpp"

namespace quendle
{

extern PyTypeObject ProfilerType;
extern PyTypeObject EntryType;
extern PyTypeObject SubEntryType;
extern PyStructSequence_Desc entry_desc;
extern PyStructSequence_Desc subentry_desc;

// The argument tuple of every custom timer call; made once per process.
extern PyObject *empty_args;

} // namespace quendle
