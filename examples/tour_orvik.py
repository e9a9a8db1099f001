import math


def show(load):
    orvik = load("orvik")
    inf, nan = math.inf, math.nan
    print("  Complex functions with a defined answer for every zero, infinity and NaN.")
    print(f"  sqrt(-4)                   = {orvik.sqrt(-4)!r}")
    print(f"  sqrt(complex(-4, -0.0))    = {orvik.sqrt(complex(-4, -0.0))!r}   (the zero's sign picks the side)")
    print(f"  acos(2) / acos(2 - 0j)     = {orvik.acos(2)!r} / {orvik.acos(complex(2, -0.0))!r}")
    print(f"  exp(710 + pi/4 j)          = {orvik.exp(complex(710, orvik.pi / 4))!r}")
    print(f"  asinh(1e308)               = {orvik.asinh(1e308)!r}   (no overflow on the way)")
    print(f"  log(1 + 1e-10j)            = {orvik.log(complex(1, 1e-10))!r}")
    print(f"  log(1e-320)                = {orvik.log(1e-320)!r}   (a subnormal argument)")
    print(f"  log(1024, 2)               = {orvik.log(1024, 2)!r}")
    print(f"  tanh(1000 + 1j)            = {orvik.tanh(complex(1000, 1))!r}")
    print(f"  atanh(complex(-inf, 1))    = {orvik.atanh(complex(-inf, 1))!r}")
    print(f"  exp(complex(-inf, 2))      = {orvik.exp(complex(-inf, 2))!r}")
    r, phi = orvik.polar(complex(-1, 1))
    print(f"  polar(-1+1j)               = ({r!r}, {phi!r});  rect back = {orvik.rect(r, phi)!r}")
    print(f"  phase(complex(1e8, 1e-308)) = {orvik.phase(complex(1e8, 1e-308))!r}   (an underflow, not an error)")
    print(f"  isclose(1, 1 + 1e-10j)     = {orvik.isclose(1, 1 + 1e-10j)},  isclose(nan, nan) = "
          f"{orvik.isclose(complex(nan, 0), complex(nan, 0))}")
    for call, args in (("log", (0,)), ("atanh", (1,)), ("exp", (1000,)), ("rect", (1, inf))):
        try:
            getattr(orvik, call)(*args)
        except (ValueError, OverflowError) as exc:
            text = f"{call}({', '.join(map(repr, args))})"
            print(f"  {text:26} -> {type(exc).__name__}: {exc}")
