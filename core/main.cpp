#include "core/daemon.h"

// No options, no configuration: everything arrives in bus calls.
int main()
{
    return daemon_run();
}
