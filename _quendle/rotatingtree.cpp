#include "rotatingtree.hpp"

#include <cstdint>

namespace
{

// One random state for the whole process, shared by every tree: a
// multiplicative generator whose bits are spent least significant first.
// Every caller holds the interpreter lock, which serialises the updates.
uint32_t rng_state = 1;
uint32_t bit_reservoir = 0;

unsigned draw_bits(unsigned n) noexcept
{
    if (bit_reservoir < (1u << n)) {
        rng_state *= 1082527u;
        bit_reservoir = rng_state;
    }
    unsigned bits = bit_reservoir & ((1u << n) - 1);
    bit_reservoir >>= n;
    return bits;
}

bool below(const void *a, const void *b) noexcept
{
    return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
}

// While a walk is under way, the right link of the last node of a left
// subtree points back (tagged in its low bit, which node alignment leaves
// free) to the node that follows it. This replaces a stack: the walk needs no
// memory and no recursion however long a chain of left links is.
constexpr uintptr_t thread_tag = 1;

bool is_thread(const RotatingTreeNode *link) noexcept
{
    return (reinterpret_cast<uintptr_t>(link) & thread_tag) != 0;
}
RotatingTreeNode *make_thread(RotatingTreeNode *to) noexcept
{
    return reinterpret_cast<RotatingTreeNode *>(reinterpret_cast<uintptr_t>(to) | thread_tag);
}
RotatingTreeNode *follow_thread(RotatingTreeNode *link) noexcept
{
    return reinterpret_cast<RotatingTreeNode *>(reinterpret_cast<uintptr_t>(link) & ~thread_tag);
}

// After an early stop, removes the threads still in place. `next` is where
// the walk would have gone on; every node reached from there is not yet
// visited, so none of them can have been freed by a visitor.
void remove_threads(RotatingTreeNode *next) noexcept
{
    RotatingTreeNode *holder = nullptr;
    while (next != nullptr) {
        if (is_thread(next)) {
            if (holder != nullptr)
                holder->right = nullptr;
            holder = follow_thread(next);
        } else {
            holder = next;
        }
        next = holder->right;
    }
}

} // namespace

void RotatingTree_Add(RotatingTreeNode **root, RotatingTreeNode *node)
{
    while (*root != nullptr)
        root = below(node->key, (*root)->key) ? &(*root)->left : &(*root)->right;
    node->left = nullptr;
    node->right = nullptr;
    *root = node;
}

RotatingTreeNode *RotatingTree_Get(RotatingTreeNode **root, void *key)
{
    if (draw_bits(3) != 4) {
        // Seven lookups out of eight leave the tree as it is.
        RotatingTreeNode *node = *root;
        while (node != nullptr && node->key != key)
            node = below(key, node->key) ? node->left : node->right;
        return node;
    }
    RotatingTreeNode **link = root;
    RotatingTreeNode *node = *link;
    if (node == nullptr)
        return nullptr;
    for (;;) {
        if (node->key == key)
            return node;
        bool rotate = draw_bits(1) == 0;
        bool go_left = below(key, node->key);
        RotatingTreeNode *child = go_left ? node->left : node->right;
        if (child == nullptr)
            return nullptr;
        if (rotate) {
            // Lift the child into the node's place; in-order sequence kept.
            if (go_left) {
                node->left = child->right;
                child->right = node;
            } else {
                node->right = child->left;
                child->left = node;
            }
            *link = child;
        } else {
            link = go_left ? &node->left : &node->right;
        }
        node = child;
    }
}

int RotatingTree_Enum(RotatingTreeNode *root, RotatingTreeEnumFn enumfn, void *arg)
{
    RotatingTreeNode *node = root;
    while (node != nullptr) {
        if (node->left != nullptr) {
            RotatingTreeNode *last = node->left;
            while (last->right != nullptr)
                last = last->right;
            last->right = make_thread(node);
            node = node->left;
            continue;
        }
        // The node and then, through threads, each node whose left subtree
        // has just been finished. The right link is read (and any thread
        // undone) before the visitor runs, so the visitor may free the node.
        for (;;) {
            RotatingTreeNode *next = node->right;
            if (is_thread(next))
                node->right = nullptr;
            if (int rc = enumfn(node, arg)) {
                remove_threads(next);
                return rc;
            }
            if (!is_thread(next)) {
                node = next;
                break;
            }
            node = follow_thread(next);
        }
    }
    return 0;
}
