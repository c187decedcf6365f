// POSIX executables carry no version resource: the identity is compiled in
// from the same CMake settings that fill the Windows resource.
#include "version_identity.h"

#include "identity.h"

#include <cstring>

int version_identity_load(char *company, char *copyright, char *version, char *description)
{
    identity_copy(company, COMPANY_CAPACITY, KOVEX_COMPANY, strlen(KOVEX_COMPANY));
    identity_copy(copyright, COPYRIGHT_CAPACITY, KOVEX_COPYRIGHT, strlen(KOVEX_COPYRIGHT));
    identity_copy(version, VERSION_CAPACITY, KOVEX_FILE_VERSION, strlen(KOVEX_FILE_VERSION));
    identity_copy(description, DESCRIPTION_CAPACITY, KOVEX_DESCRIPTION,
                  strlen(KOVEX_DESCRIPTION));
    return 0;
}
