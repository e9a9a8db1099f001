// A binary search tree keyed by pointer identity that reshapes itself by random
// rotations during lookups, so keys looked up often drift towards the root
// without balance bookkeeping. Plain C++: no interpreter types. The tree owns
// no memory; callers embed a node as the first member of their own records.
#pragma once

#include "compat.hpp"

struct RotatingTreeNode {
    void *key;
    RotatingTreeNode *left;  // smaller keys
    RotatingTreeNode *right; // larger or equal keys
};

typedef int (*RotatingTreeEnumFn)(RotatingTreeNode *node, void *arg);

// Inserts `node` (whose key the caller has set) below the root link `root`.
EXT_EXPORT void RotatingTree_Add(RotatingTreeNode **root, RotatingTreeNode *node);
// The node whose key is `key`, or null; may rotate nodes on the search path.
EXT_EXPORT RotatingTreeNode *RotatingTree_Get(RotatingTreeNode **root, void *key);
// Visits every node in ascending key order; stops at the first nonzero value
// a visitor returns and returns it, else 0. A visitor may free its node. The
// walk needs no memory and no recursion: while it runs, the right link of a
// node not yet visited may hold a tagged link back to an ancestor (so nodes
// must be pointer-aligned); every link is as before once the walk returns.
EXT_EXPORT int RotatingTree_Enum(RotatingTreeNode *root, RotatingTreeEnumFn enumfn, void *arg);
