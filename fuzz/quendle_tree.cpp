// libFuzzer target: the profiler's rotating search tree under any sequence of
// inserts, lookups and walks (stopped early, or freeing every node), held to
// a plain model of the keys it should contain.
#include "rotatingtree.hpp"

#include <cstdint>
#include <map>
#include <vector>

namespace
{

struct Node {
    RotatingTreeNode link; // first, as the tree's callers embed it
    unsigned serial;
};

void *key_of(uint8_t k)
{
    return reinterpret_cast<void *>(static_cast<uintptr_t>(k) * 16 + 16);
}

struct Walk {
    std::vector<uintptr_t> seen;
    size_t stop_at; // the visitor answers nonzero on this visit
    bool free_nodes;
};

int visit(RotatingTreeNode *node, void *arg)
{
    Walk *w = static_cast<Walk *>(arg);
    w->seen.push_back(reinterpret_cast<uintptr_t>(node->key));
    if (w->free_nodes)
        delete reinterpret_cast<Node *>(node);
    return w->seen.size() == w->stop_at ? 7 : 0;
}

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RotatingTreeNode *root = nullptr;
    std::map<uintptr_t, unsigned> model; // key -> how many nodes hold it
    unsigned serial = 0;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const uint8_t op = data[i] % 4, arg = data[i + 1];
        uintptr_t key = reinterpret_cast<uintptr_t>(key_of(arg));
        if (op == 0 || op == 1) {
            Node *n = new Node{{key_of(arg), nullptr, nullptr}, serial++};
            RotatingTree_Add(&root, &n->link);
            model[key]++;
        } else if (op == 2) {
            RotatingTreeNode *found = RotatingTree_Get(&root, key_of(arg));
            check((found != nullptr) == (model.count(key) != 0));
            check(found == nullptr || found->key == key_of(arg));
        } else {
            // A walk stopped early must leave every link as it was: a full
            // walk afterwards still sees every key in order.
            Walk w{{}, static_cast<size_t>(arg % 8), false};
            int r = RotatingTree_Enum(root, visit, &w);
            check(r == (w.stop_at != 0 && w.seen.size() == w.stop_at ? 7 : 0));
        }
    }
    Walk all{{}, 0, false};
    check(RotatingTree_Enum(root, visit, &all) == 0);
    std::vector<uintptr_t> expected;
    for (auto [key, count] : model)
        expected.insert(expected.end(), count, key);
    check(all.seen == expected);
    Walk drop{{}, 0, true};
    RotatingTree_Enum(root, visit, &drop);
    check(drop.seen == expected);
    return 0;
}
