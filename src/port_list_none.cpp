// Systems whose ports kovex cannot list: a search finds nothing there.
#include "port_list.h"

const bool PORT_TEXT_UTF8 = true;

long port_list(PortEntry **entries)
{
    *entries = nullptr;
    return 0;
}

bool port_busy(const char *)
{
    return false;
}
