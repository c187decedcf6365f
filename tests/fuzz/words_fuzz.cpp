// Fuzzes the two steps that take raw words: the delay conversion, against the
// C library's strtol, and the port-name-to-path step, against its contract.
#include "run.h"
#include "serial_port.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static void check_delay(const std::string &word)
{
    long long expected = strtoll(word.c_str(), nullptr, 10);
    if (expected > INT32_MAX)
        expected = INT32_MAX;
    if (expected < INT32_MIN)
        expected = INT32_MIN;
    if (delay_convert(word.c_str()) != expected)
        abort();
}

static void check_path(size_t capacity, const std::string &prefix, const std::string &name)
{
    // Exactly capacity bytes, so any write past them is caught.
    char *path = new char[capacity == 0 ? 1 : capacity];
    int result = port_path(path, capacity, prefix.c_str(), name.c_str());
    bool fits = prefix.size() + name.size() < capacity;
    if (result != (fits ? 0 : -1))
        abort();
    if (fits && prefix + name != path)
        abort();
    if (!fits && capacity > 0 && path[0] != '\0')
        abort();
    delete[] path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t capacity = data[0] % 64;
    size_t split = data[1] % (size - 1);
    std::string rest(reinterpret_cast<const char *>(data + 2), size - 2);
    std::string prefix = rest.substr(0, split).c_str();  // up to its first NUL
    std::string name = rest.substr(split).c_str();
    check_delay(rest.c_str());
    check_path(capacity, prefix, name);
    return 0;
}
