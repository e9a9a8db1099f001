// Prints every OSS request number the module publishes, straight from the
// system header, as "NAME 0xVALUE" lines, for the tests to hold the module to.
#include <linux/soundcard.h>
#include <sys/ioctl.h>

#include <cstdio>

struct Request {
    const char *name;
    unsigned long value;
};

#define EXT_CONSTANT(name)                                                                                             \
    {                                                                                                                  \
#name, static_cast < unsigned long>(name)                                                                      \
    }
const Request requests[] = {
#include "requests.inc"
};

int main()
{
    for (const Request &r : requests)
        std::printf("%s 0x%08lx\n", r.name, r.value);
    return 0;
}
