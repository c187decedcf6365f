// Systems without /proc have no portable way to list another process's open
// files: the lock file, flock and TIOCEXCL are all there is.
#include "port_holders.h"

int port_holders_check(const char *)
{
    return 0;
}
