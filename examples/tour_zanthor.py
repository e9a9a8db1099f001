def show(load):
    import ctypes
    from ctypes import CFUNCTYPE, POINTER, Structure, c_double, c_int32, c_long

    import harness

    path = harness.module_path("_zanthor")
    lib = ctypes.CDLL(path)
    print(f"  {path.rsplit('/', 1)[-1]}: plain C functions and data, called here through ctypes")

    class Point(Structure):
        _fields_ = [("x", c_int32), ("y", c_int32)]

    class Rect(Structure):
        _fields_ = [("left", c_int32), ("top", c_int32), ("right", c_int32), ("bottom", c_int32)]

    lib.PointInRect.argtypes = [POINTER(Rect), Point]
    box = Rect(10, 20, 30, 40)
    for pt in ((10, 20), (31, 20)):
        print(f"  PointInRect({{10, 20, 30, 40}}, {pt}) = {lib.PointInRect(box, Point(*pt))}")

    lib.tf_b.restype, lib.tf_b.argtypes = ctypes.c_int8, [ctypes.c_int8]
    print(f"  tf_b(-128) = {lib.tf_b(-128)}, last_tf_arg_s = {ctypes.c_int64.in_dll(lib, 'last_tf_arg_s').value}")

    seen = []
    halve = CFUNCTYPE(c_int32, c_int32)(lambda v: seen.append(v) or v)
    lib._testfunc_callback_i_if.argtypes = [c_int32, CFUNCTYPE(c_int32, c_int32)]
    total = lib._testfunc_callback_i_if(-10, halve)
    print(f"  _testfunc_callback_i_if(-10, f): f saw {seen}, sum {total}")

    lib.integrate.restype = c_double
    lib.integrate.argtypes = [c_double, c_double, CFUNCTYPE(c_double, c_double), c_long]
    square = CFUNCTYPE(c_double, c_double)(lambda x: x * x)
    print(f"  integrate(x*x, 0, 1, 1000 steps) = {lib.integrate(0.0, 1.0, square, 1000):.7f}")

    class BitFields(Structure):
        _fields_ = [(n, ctypes.c_int, w) for n, w in zip("ABCDEFGHIMNOPQ", list(range(1, 10)) + list(range(1, 6)))]

    bits = BitFields()
    lib.set_bitfields.argtypes = [POINTER(BitFields), ctypes.c_char, c_int32]
    lib.unpack_bitfields.argtypes = [POINTER(BitFields), ctypes.c_char]
    for name, value in ((b"B", 3), (b"H", 255), (b"I", 200)):
        lib.set_bitfields(bits, name, value)
        print(f"  set_bitfields({name.decode()}, {value}) reads back {lib.unpack_bitfields(bits, name)}")

    mod = load("_zanthor")
    print(f"  as a module: {mod.__name__}.func() = {mod.func()}, func_si('a', 1) = {mod.func_si('a', 1)}")
