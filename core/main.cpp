#include "core/daemon.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

// No options, no configuration: everything arrives in bus calls.
int main()
{
    return daemon_run();
}
