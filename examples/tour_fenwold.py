def show(load):
    import harness
    path = harness.module_path("_fenwold")
    print(f"  One library, three modules: {path.rsplit('/', 1)[-1]}")
    for name in ("_fenwold", "_fenwold_foo", "_fenwold_bar"):
        mod = harness.load(name, path)
        print(f"  loaded as {name:13} -> __name__={mod.__name__!r}, __doc__={mod.__doc__!r}")
