#include "version_identity.h"

#include <cstdio>
#include <cstring>

char identity_company[COMPANY_CAPACITY];
char identity_copyright[COPYRIGHT_CAPACITY];
char identity_version[VERSION_CAPACITY];
char identity_description[DESCRIPTION_CAPACITY];

void identity_copy(char *buffer, size_t capacity, const char *text, size_t length)
{
    if (capacity == 0)
        return;
    size_t used = 0;
    while (used < length && used < capacity - 1 && text[used] != '\0')
        used++;
    memcpy(buffer, text, used);
    buffer[used] = '\0';
}

void banner_print()
{
    printf("Zantrel %s V%s\n", identity_description, identity_version);
    printf("%s %s.\n\n", identity_copyright, identity_company);
    fflush(stdout);  // keep it ahead of any error message that follows
}
