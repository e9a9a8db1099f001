// Slot arrays other native code may reuse by name.
#pragma once

#include "compat.hpp"

// The main module's slots: its exec function, then the terminator.
EXT_EXPORT PyModuleDef_Slot main_slots[2];
// A create function that returns null without setting an exception.
EXT_EXPORT PyModuleDef_Slot slots_create_null[2];
