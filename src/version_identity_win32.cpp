// Reads the banner's strings from the running executable's own VS_VERSION_INFO.
#include <windows.h>

#include "version_identity.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct IdentityField {
    const char *key;
    char *buffer;
    size_t capacity;
};

// Copies one string of the table named by language and code page; a key the
// table lacks leaves its field as it was.
void field_load(void *block, const WORD *translation, const IdentityField &field)
{
    char sub_block[128];
    wsprintfA(sub_block, "\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1],
              field.key);
    char *value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(block, sub_block, reinterpret_cast<void **>(&value), &length) &&
        value != nullptr)
        identity_copy(field.buffer, field.capacity, value, length);
}

}  // namespace

int version_identity_load(char *company, char *copyright, char *version, char *description)
{
    char path[MAX_PATH];
    DWORD path_length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (path_length == 0 || path_length >= MAX_PATH)
        return -1;
    DWORD unused;
    DWORD size = GetFileVersionInfoSizeA(path, &unused);
    if (size == 0)
        return -1;
    void *block = malloc(size);
    if (block == nullptr) {
        printf("Out of memory for VI !\n");
        return -1;
    }
    if (!GetFileVersionInfoA(path, 0, size, block)) {
        free(block);
        return -1;
    }

    // The first language and code page pair names the string table to read.
    WORD *translation = nullptr;
    UINT length = 0;
    if (VerQueryValueA(block, "\\VarFileInfo\\Translation",
                       reinterpret_cast<void **>(&translation), &length) &&
        translation != nullptr && length >= 2 * sizeof(WORD)) {
        const IdentityField fields[] = {
            {"CompanyName", company, COMPANY_CAPACITY},
            {"LegalCopyright", copyright, COPYRIGHT_CAPACITY},
            {"FileDescription", description, DESCRIPTION_CAPACITY},
            {"FileVersion", version, VERSION_CAPACITY},
        };
        for (const IdentityField &field : fields)
            field_load(block, translation, field);
    }
    free(block);
    return 0;
}
