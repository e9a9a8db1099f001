# The rotating tree, called through its exported C functions with ctypes.
import ctypes
import json
import random
import subprocess
import sys
import textwrap

import pytest

import harness
from quendle_model import TreeModel

# Shared by this process and the child interpreters below: nodes in one
# ctypes array, linked by address; keys are arbitrary pointer-sized values.
TREE_HELPERS = """
import ctypes
from ctypes import POINTER, c_int, c_void_p


class Node(ctypes.Structure):
    _fields_ = [("key", c_void_p), ("left", c_void_p), ("right", c_void_p)]


VISITOR = ctypes.CFUNCTYPE(c_int, c_void_p, c_void_p)


def open_tree_library(path):
    lib = ctypes.CDLL(path)
    lib.RotatingTree_Add.argtypes = [POINTER(c_void_p), c_void_p]
    lib.RotatingTree_Add.restype = None
    lib.RotatingTree_Get.argtypes = [POINTER(c_void_p), c_void_p]
    lib.RotatingTree_Get.restype = c_void_p
    lib.RotatingTree_Enum.argtypes = [c_void_p, VISITOR, c_void_p]
    lib.RotatingTree_Enum.restype = c_int
    return lib


class Tree:
    def __init__(self, lib, keys):
        self.lib = lib
        self.nodes = (Node * len(keys))()
        self.by_address = {}
        self.root = c_void_p()
        for node, key in zip(self.nodes, keys):
            node.key = key
            self.by_address[ctypes.addressof(node)] = node
            lib.RotatingTree_Add(ctypes.byref(self.root), ctypes.addressof(node))

    def get(self, key):
        found = self.lib.RotatingTree_Get(ctypes.byref(self.root), key)
        return None if found is None else self.by_address[found].key

    def keys_in_order(self):
        seen = []
        visitor = VISITOR(lambda node, arg: seen.append(Node.from_address(node).key) or 0)
        assert self.lib.RotatingTree_Enum(self.root, visitor, None) == 0
        return seen

    def shape(self, address="root"):
        address = self.root.value if address == "root" else address
        if address is None:
            return None
        node = self.by_address[address]
        return [node.key, self.shape(node.left), self.shape(node.right)]
"""

namespace = {}
exec(TREE_HELPERS, namespace)
Tree = namespace["Tree"]
Node = namespace["Node"]
VISITOR = namespace["VISITOR"]


@pytest.fixture(scope="module")
def lib(load):
    return namespace["open_tree_library"](load("_quendle").__file__)


def test_exports_only_the_tree_and_the_init_function():
    nm = subprocess.run(["nm", "-D", "--defined-only", harness.module_path("_quendle")],
                        capture_output=True, text=True, check=True).stdout
    names = sorted(line.split()[-1] for line in nm.splitlines() if line.strip())
    assert names == ["PyInit__quendle", "RotatingTree_Add", "RotatingTree_Enum", "RotatingTree_Get"]


def test_empty_tree(lib):
    tree = Tree(lib, [])
    assert tree.get(16) is None
    calls = []
    visitor = VISITOR(lambda node, arg: calls.append(node) or 1)
    assert lib.RotatingTree_Enum(None, visitor, None) == 0
    assert calls == []


# Keys are addresses: 64 bits on x86_64, 32 on i386.
KEY_BITS = 8 * ctypes.sizeof(ctypes.c_void_p)
TOP, HIGH_BIT = 2**KEY_BITS - 16, 2 ** (KEY_BITS - 1)


def test_insertion_follows_unsigned_order_and_never_rotates(lib):
    keys = [0x50, 0x30, 0x70, 0x20, TOP, 0x40, HIGH_BIT]
    tree = Tree(lib, keys)
    assert tree.shape() == [0x50, [0x30, [0x20, None, None], [0x40, None, None]],
                            [0x70, None, [TOP, [HIGH_BIT, None, None], None]]]
    assert tree.keys_in_order() == sorted(keys)


@pytest.mark.parametrize("seed", range(4))
def test_lookups_keep_order_and_find_every_key(lib, seed):
    rng = random.Random(seed)
    keys = rng.sample(range(8, 1 << (KEY_BITS * 5 // 8), 8), 300)
    tree = Tree(lib, keys)
    for _ in range(3000):
        key = rng.choice(keys)
        assert tree.get(key) == key
        assert tree.get(key + 1) is None  # absent; may rotate on its path too
    assert tree.keys_in_order() == sorted(keys)


def test_frequent_lookups_lift_the_deepest_key_of_a_chain(lib):
    keys = [16 * (i + 1) for i in range(200)]  # ascending: a right-leaning chain
    tree = Tree(lib, keys)

    def depth(key):
        level, shape = 0, tree.shape()
        while shape[0] != key:
            shape = shape[1] if key < shape[0] else shape[2]
            level += 1
        return level

    assert depth(keys[-1]) == 199
    for _ in range(2000):
        assert tree.get(keys[-1]) == keys[-1]
    assert depth(keys[-1]) < 20
    assert tree.keys_in_order() == keys


def test_duplicate_keys_are_both_kept(lib):
    tree = Tree(lib, [0x40, 0x20, 0x40])
    first, second = (ctypes.addressof(tree.nodes[i]) for i in (0, 2))
    assert tree.nodes[0].right == second
    assert tree.keys_in_order() == [0x20, 0x40, 0x40]
    for _ in range(50):
        # The first on any search path is the one inserted first: the other
        # lies in its right subtree, and rotations keep the in-order sequence.
        assert lib.RotatingTree_Get(ctypes.byref(tree.root), 0x40) == first


@pytest.mark.parametrize("stop_at,value", [(1, 7), (5, -1), (40, 123456)])
def test_a_nonzero_visitor_result_stops_the_walk_and_leaves_the_tree_whole(lib, stop_at, value):
    rng = random.Random(stop_at)
    keys = rng.sample(range(8, 1 << 20, 8), 40)
    tree = Tree(lib, keys)
    before = tree.shape()
    seen = []

    def visit(node, arg):
        seen.append(Node.from_address(node).key)
        return value if len(seen) == stop_at else 0

    visitor = VISITOR(visit)
    assert lib.RotatingTree_Enum(tree.root, visitor, None) == value
    assert seen == sorted(keys)[:stop_at]
    assert tree.shape() == before


def test_user_argument_is_passed_through(lib):
    tree = Tree(lib, [8, 16])
    args = []
    visitor = VISITOR(lambda node, arg: args.append(arg) or 0)
    assert lib.RotatingTree_Enum(tree.root, visitor, 0xC0FFEE) == 0
    assert args == [0xC0FFEE, 0xC0FFEE]


FREEING_WALK = """
libc = ctypes.CDLL(None)
libc.malloc.restype = c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [c_void_p]
libc.memset.argtypes = [c_void_p, c_int, ctypes.c_size_t]
lib = open_tree_library(PATH)
import random
keys = random.Random(5).sample(range(8, 1 << 30, 8), 500)
root = c_void_p()
for key in keys:
    node = Node.from_address(libc.malloc(ctypes.sizeof(Node)))
    node.key = key
    lib.RotatingTree_Add(ctypes.byref(root), ctypes.addressof(node))
for _ in range(2000):
    lib.RotatingTree_Get(ctypes.byref(root), random.choice(keys))
seen = []
def visit(address, arg):
    seen.append(Node.from_address(address).key)
    # Scribble over the node before freeing it: a walk that read it again
    # would go astray even without a memory checker.
    libc.memset(address, 0xA5, ctypes.sizeof(Node))
    libc.free(address)
    return 0
assert lib.RotatingTree_Enum(root, VISITOR(visit), None) == 0
assert seen == sorted(keys), seen
print("ok")
"""

# Keys in descending order as one long chain of left links (what inserting
# them in that order builds; linked directly here to save the quadratic
# insertions). The walk runs on a thread with a small stack, where recursing
# once per left link would overflow it.
LONG_LEFT_CHAIN = """
import threading
lib = open_tree_library(PATH)
count = 200000
nodes = (Node * count)()
for i, node in enumerate(nodes):
    node.key = 8 * (count - i)
    if i + 1 < count:
        node.left = ctypes.addressof(nodes[i + 1])
root = c_void_p(ctypes.addressof(nodes[0]))
total = [0, 0]
def visit(address, arg):
    total[0] += 1
    total[1] = Node.from_address(address).key
    return 0
visitor = VISITOR(visit)
result = []
threading.stack_size(256 * 1024)
worker = threading.Thread(target=lambda: result.append(lib.RotatingTree_Enum(root, visitor, None)))
worker.start()
worker.join()
assert result == [0] and total == [count, 8 * count], (result, total)
assert all(node.right is None for node in nodes)
print("ok")
"""


@pytest.mark.parametrize("body", [FREEING_WALK, LONG_LEFT_CHAIN], ids=["freeing-visitor", "long-left-chain"])
def test_walks_that_would_crash_a_careless_tree(body):
    code = TREE_HELPERS + f"PATH = {harness.module_path('_quendle')!r}\n" + textwrap.dedent(body)
    assert harness.run_child(code, timeout=120).stdout == "ok\n"


# Run in a fresh interpreter: the random state is process-wide and starts at
# rng_state 1, reservoir 0, so the whole sequence of shapes is determined.
DETERMINISTIC = """
import json, sys
lib = open_tree_library(PATH)
keys, lookups = json.loads(sys.argv[1])
tree = Tree(lib, keys)
for key in lookups:
    print(json.dumps([tree.get(key), tree.shape()]))
"""


def test_the_random_sequence_is_the_documented_one():
    rng = random.Random(11)
    keys = rng.sample(range(16, 16 * 4000, 16), 60)
    present = rng.sample(keys, 10)
    lookups = [rng.choice(present) if rng.random() < 0.8 else rng.randrange(1, 1 << 16) * 16 + 8
               for _ in range(600)]
    code = TREE_HELPERS + f"PATH = {harness.module_path('_quendle')!r}\n" + DETERMINISTIC
    proc = subprocess.run([sys.executable, "-I", "-c", code, json.dumps([keys, lookups])],
                          capture_output=True, text=True, timeout=60, check=True)
    got = [json.loads(line) for line in proc.stdout.splitlines()]

    model = TreeModel()
    for key in keys:
        model.add(key)
    # The first draw turns the reservoir into 1082527, whose low three bits
    # are 7: the first lookup of the process is a plain search.
    assert 1082527 & 7 == 7
    first_shape = model.shape()
    expected = []
    for key in lookups:
        found = model.get(key)
        expected.append([found, model.shape()])
    assert got[0][1] == first_shape
    rotated = sum(1 for (_, a), (_, b) in zip(expected, expected[1:]) if a != b)
    assert rotated > 5  # the sequence did exercise rotations
    assert got == expected
