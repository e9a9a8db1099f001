def show(load):
    import gc
    import os

    trevask = load("trevask")
    print(f"  {trevask.__doc__}  ({os.path.basename(trevask.__file__)}: one binary for every interpreter)")
    print(f"  foo(2, 3) = {trevask.foo(2, 3)};  foo(2**63 - 1, 1) = {trevask.foo(2**63 - 1, 1)} (exact past a C long)")
    o = trevask.new()
    o.colour = "teal"
    o.size = 3
    print(f"  o = new(); o.colour, o.size = {o.colour!r}, {o.size}; o.demo('hi') = {o.demo('hi')!r}, "
          f"o.demo(5) = {o.demo(5)}")
    del o.colour
    try:
        del o.colour
    except AttributeError as exc:
        print(f"  del o.colour twice -> AttributeError: {exc}")
    print(f"  isinstance(new(), Xxo) = {isinstance(trevask.new(), trevask.Xxo)} (two types from one PyType_Spec)")
    a, b = trevask.Null(), trevask.Null()
    try:
        a < b
    except TypeError:
        order = "TypeError"
    print(f"  Null() == Null() -> {a == b}; Null() < Null() -> {order}")
    try:
        trevask.roj(1)
    except SystemError as exc:
        print(f"  roj(1) -> SystemError: {exc} (the parser does not know the format)")
    kind = type(trevask.new())
    gc.collect()
    before = len([x for x in gc.get_objects() if type(x) is kind])
    for _ in range(50_000):
        x = trevask.new()
        x.me = x
    del x
    gc.collect()
    after = len([x for x in gc.get_objects() if type(x) is kind])
    print(f"  50 000 self-referencing objects made; after gc.collect() {after - before} remain")
