/* The i386 interpreter for the 32-bit test run: Debian's libpython3.11:i386
 * installs beside the amd64 interpreter, its python3.11 executable does not,
 * so this is the executable's whole job. Placed at <root>/usr/bin, it finds
 * the standard library of <root>/usr/lib/python3.11 by itself. */
#include <Python.h>

int main(int argc, char **argv)
{
    return Py_BytesMain(argc, argv);
}
