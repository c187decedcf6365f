// The local ports of a Windows system, as pyserial's list_ports finds them:
// the present devices of the Ports and Modem classes through SetupAPI, each
// one's PortName from its device key, its friendly name, and a hardware ID
// built from its device instance ID. Everything used is in Windows 2000's
// setupapi.dll, cfgmgr32.dll and advapi32.dll; the location, which only
// Windows Vista and later keep, is left out where the system has none.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include "port_list.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The texts come in the system's ANSI code page.
const bool PORT_TEXT_UTF8 = false;

// GUID_DEVCLASS_PORTS and GUID_DEVCLASS_MODEM, written out so that no
// import library of GUIDs is needed.
static const GUID PORT_CLASSES[] = {
    {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
};
enum { LOCATION_PATHS = 0x23 };  // SPDRP_LOCATION_PATHS, Windows Vista and later
enum { PARENTS_MAX = 10 };

// Appends to a text of PORT_TEXT_MAX bytes, cutting what does not fit.
static void text_add(char *text, const char *format, ...)
{
    size_t length = strlen(text);
    va_list arguments;
    va_start(arguments, format);
    (void)_vsnprintf(text + length, PORT_TEXT_MAX - 1 - length, format, arguments);
    va_end(arguments);
    text[PORT_TEXT_MAX - 1] = '\0';
}

// Four hex digits at text, or -1.
static long hex4(const char *text)
{
    long value = 0;
    for (int i = 0; i < 4; i++) {
        char c = text[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

// One word of letters, digits and underscores, as a serial number is.
static bool is_word(const char *text, size_t length)
{
    if (length == 0)
        return false;
    for (size_t i = 0; i < length; i++)
        if (!(isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_'))
            return false;
    return true;
}

// What an instance ID such as USB\VID_303A&PID_1001&MI_00\7&2A5B&0&0000 or
// FTDIBUS\VID_0403+PID_6001+A10K3JQ4A\0000 says: the IDs after "VID_" as
// pyserial reads them, the separator being '&' for USB and '+' for FTDIBUS.
struct UsbIds {
    long vid, pid;        // pid -1 when missing
    int interface;        // -1 without MI_
    const char *serial;   // in the ID, or nullptr
    size_t serial_length;
    bool serial_is_word;
};

static bool usb_ids(const char *id, char separator, UsbIds *ids)
{
    memset(ids, 0, sizeof *ids);
    ids->pid = ids->interface = -1;
    const char *at = id;
    while (*at != '\0' && !(_strnicmp(at, "VID_", 4) == 0 && hex4(at + 4) >= 0))
        at++;
    if (*at == '\0')
        return false;
    ids->vid = hex4(at + 4);
    at += 8;
    if (*at == separator && _strnicmp(at + 1, "PID_", 4) == 0 && hex4(at + 5) >= 0) {
        ids->pid = hex4(at + 5);
        at += 9;
    }
    if (separator == '+') {
        if (*at == '+') {
            ids->serial = at + 1;
            while (isalnum(static_cast<unsigned char>(at[1])) || at[1] == '_')
                at++;
            ids->serial_length = static_cast<size_t>(at + 1 - ids->serial);
            ids->serial_is_word = ids->serial_length > 0;
            if (!ids->serial_is_word)
                ids->serial = nullptr;
        }
        return true;
    }
    if (*at == '&' && _strnicmp(at + 1, "MI_", 3) == 0 && isdigit(static_cast<unsigned char>(at[4])) &&
        isdigit(static_cast<unsigned char>(at[5]))) {
        ids->interface = (at[4] - '0') * 10 + (at[5] - '0');
        at += 6;
    }
    if (*at == '\\') {
        ids->serial = at + 1;
        ids->serial_length = strlen(at + 1);
        ids->serial_is_word = is_word(ids->serial, ids->serial_length);
    }
    return true;
}

// A composite device's interfaces carry no serial number of their own: it
// is that of the nearest parent with the same IDs, as pyserial finds it.
static void parent_serial(DEVINST child, long vid, long pid, char *serial)
{
    char last[MAX_DEVICE_ID_LEN] = "";
    serial[0] = '\0';
    for (int depth = 0; depth <= PARENTS_MAX; depth++) {
        DEVINST parent;
        char id[MAX_DEVICE_ID_LEN];
        UsbIds ids;
        if (CM_Get_Parent(&parent, child, 0) != CR_SUCCESS ||
            CM_Get_Device_IDA(parent, id, sizeof id, 0) != CR_SUCCESS || !usb_ids(id, '&', &ids))
            break;
        if (ids.serial != nullptr)
            snprintf(last, sizeof last, "%s", ids.serial);
        if (ids.pid >= 0 && (ids.vid != vid || ids.pid != pid))
            break;
        if (ids.pid >= 0 && ids.serial_is_word) {
            snprintf(serial, MAX_DEVICE_ID_LEN, "%s", ids.serial);
            return;
        }
        child = parent;
    }
    snprintf(serial, MAX_DEVICE_ID_LEN, "%s", last);
}

// USBROOT(0)#USB(2)#USB(1) in the first location path: 1-2.1, then the
// interface as ":x.N" (the configuration cannot be known), as pyserial has it.
static void usb_location(HDEVINFO set, SP_DEVINFO_DATA *device, int interface, char *hardware_id)
{
    char paths[1024];
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, LOCATION_PATHS, nullptr,
                                           reinterpret_cast<BYTE *>(paths), sizeof paths - 2,
                                           nullptr))
        return;
    paths[sizeof paths - 2] = paths[sizeof paths - 1] = '\0';
    char location[PORT_TEXT_MAX] = "";
    int parts = 0;
    for (const char *at = paths; *at != '\0'; at++) {
        bool root = strncmp(at, "USBROOT(", 8) == 0;
        if (!root && strncmp(at, "#USB(", 5) != 0)
            continue;
        at += root ? 8 : 5;
        size_t length = strspn(at, "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_");
        if (at[length] != ')')
            continue;
        if (root)
            text_add(location, "%ld", strtol(at, nullptr, 10) + 1);
        else
            text_add(location, "%s%.*s", parts > 1 ? "." : "-", static_cast<int>(length), at);
        parts++;
        at += length;
    }
    if (interface >= 0)
        text_add(location, ":x.%d", interface);
    if (location[0] != '\0')
        text_add(hardware_id, " LOCATION=%s", location);
}

static void hardware_id_set(HDEVINFO set, SP_DEVINFO_DATA *device, const char *id,
                            char *hardware_id)
{
    UsbIds ids;
    bool usb = _strnicmp(id, "USB", 3) == 0;
    if ((!usb && _strnicmp(id, "FTDIBUS", 7) != 0) || !usb_ids(id, usb ? '&' : '+', &ids)) {
        text_add(hardware_id, "%s", id);
        return;
    }
    text_add(hardware_id, "USB VID:PID=%04lX:%04lX", ids.vid, ids.pid >= 0 ? ids.pid : 0);
    if (usb && !ids.serial_is_word) {
        char serial[MAX_DEVICE_ID_LEN];
        parent_serial(device->DevInst, ids.vid, ids.pid, serial);
        text_add(hardware_id, " SER=%s", serial);
    } else if (ids.serial != nullptr) {
        text_add(hardware_id, " SER=%.*s", static_cast<int>(ids.serial_length), ids.serial);
    }
    if (usb)
        usb_location(set, device, ids.interface, hardware_id);
}

// Describes one device of a class. Returns false for one without a COM
// name, or a printer port.
static bool entry_describe(HDEVINFO set, SP_DEVINFO_DATA *device, PortEntry *entry)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return false;
    DWORD type = 0, size = sizeof entry->name - 1;
    LONG read = RegQueryValueExA(key, "PortName", nullptr, &type,
                                 reinterpret_cast<BYTE *>(entry->name), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ)
        return false;
    entry->name[size < sizeof entry->name ? size : sizeof entry->name - 1] = '\0';
    if (entry->name[0] == '\0' || _strnicmp(entry->name, "LPT", 3) == 0)
        return false;

    char id[MAX_DEVICE_ID_LEN + 1];
    entry->hardware_id[0] = '\0';
    if (SetupDiGetDeviceInstanceIdA(set, device, id, sizeof id, nullptr) ||
        SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, nullptr,
                                          reinterpret_cast<BYTE *>(id), sizeof id - 1, nullptr)) {
        id[sizeof id - 1] = '\0';
        hardware_id_set(set, device, id, entry->hardware_id);
    } else {
        text_add(entry->hardware_id, "n/a");
    }
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<BYTE *>(entry->description),
                                           sizeof entry->description - 1, nullptr))
        snprintf(entry->description, sizeof entry->description, "n/a");
    entry->description[sizeof entry->description - 1] = '\0';
    return true;
}

// Lists the devices of one class onto the list; false when they could not all be listed.
static bool class_list(const GUID *kind, PortEntry **entries, size_t *count, size_t *capacity)
{
    HDEVINFO set = SetupDiGetClassDevsA(kind, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    bool whole = true;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0;; i++) {
        if (!SetupDiEnumDeviceInfo(set, i, &device)) {
            whole = GetLastError() == ERROR_NO_MORE_ITEMS;
            break;
        }
        PortEntry *entry = port_entry_new(entries, count, capacity);
        if (entry == nullptr) {
            whole = false;
            break;
        }
        if (!entry_describe(set, &device, entry))
            (*count)--;
    }
    SetupDiDestroyDeviceInfoList(set);
    return whole;
}

long port_list(PortEntry **entries)
{
    *entries = nullptr;
    size_t count = 0, capacity = 0;
    for (const GUID &kind : PORT_CLASSES)
        if (!class_list(&kind, entries, &count, &capacity))
            return -1;
    return static_cast<long>(count);
}

bool port_busy(const char *name)
{
    // Only an open can tell, and the driver may assert DTR and RTS at it as
    // at any open; the handle goes at once.
    char path[PORT_NAME_MAX + 8];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(port);
    return false;
}
