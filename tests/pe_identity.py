#!/usr/bin/env python3
"""Checks kovex.exe's identity from the file itself: PE header, version
resource, icon group and imports.

    pe_identity.py --identity COMPANY DESCRIPTION COPYRIGHT PRODUCT EXE
"""
import argparse
import re
import struct
import sys

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "version.dll", "msvcrt.dll", "ws2_32.dll",
                "advapi32.dll", "setupapi.dll", "cfgmgr32.dll"}
# Functions Windows 2000 (or its msvcrt) does not have, reviewed by hand;
# any "_s" function of the CRT is refused as well.
MISSING_ON_WINDOWS_2000 = {
    "GetTickCount64", "GetNativeSystemInfo", "GetModuleHandleExA", "GetModuleHandleExW",
    "InitializeConditionVariable", "SleepConditionVariableCS", "SleepConditionVariableSRW",
    "WakeConditionVariable", "WakeAllConditionVariable",
    "InitializeSRWLock", "AcquireSRWLockExclusive", "AcquireSRWLockShared",
    "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "TryAcquireSRWLockExclusive",
    "TryAcquireSRWLockShared", "InitOnceInitialize", "InitOnceExecuteOnce",
    "InitOnceBeginInitialize", "InitOnceComplete", "FlsAlloc", "FlsFree", "FlsGetValue",
    "FlsSetValue", "EncodePointer", "DecodePointer", "AddVectoredExceptionHandler",
    "RemoveVectoredExceptionHandler", "AttachConsole", "GetProcessId", "GetSystemTimes",
    "SetDllDirectoryA", "SetDllDirectoryW", "GetLogicalProcessorInformation",
    "InterlockedCompareExchange64", "CreateSymbolicLinkA", "QueryFullProcessImageNameA",
    "SetThreadStackGuarantee", "GetErrorMode", "_aligned_malloc", "_aligned_free",
    "_time64", "_localtime64", "_gmtime64", "_mktime64", "_ftime64", "_stat64",
    "__iob_func", "_vscprintf", "getaddrinfo", "freeaddrinfo", "getnameinfo", "GetAddrInfoW",
    "FreeAddrInfoW", "inet_pton", "inet_ntop", "WSAPoll",
    "SetupDiGetDevicePropertyW", "SetupDiGetClassDevsExW", "CM_Get_DevNode_PropertyW",
    "CM_Get_Device_Interface_ListW", "RegGetValueA", "RegGetValueW",
}


class PE:
    def __init__(self, data):
        self.data = data
        assert data[:2] == b"MZ", "no MZ header"
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        assert struct.unpack_from("<H", data, opt)[0] == 0x10B, "not a PE32 image"
        self.os_version = struct.unpack_from("<HH", data, opt + 40)
        self.subsystem_version = struct.unpack_from("<HH", data, opt + 48)
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        self.directories = [struct.unpack_from("<II", data, opt + 96 + 8 * i) for i in range(16)]
        self.sections = [struct.unpack_from("<IIII", data, opt + optional_size + 40 * i + 8)
                         for i in range(sections)]

    def offset(self, rva):
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section")

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        found = {}
        descriptor = self.offset(self.directories[1][0])
        while True:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, descriptor)
            if name == 0:
                return found
            thunk, names = self.offset(lookup or first), []
            while (entry := struct.unpack_from("<I", self.data, thunk)[0]) != 0:
                names.append(f"#{entry & 0xFFFF}" if entry & 0x80000000 else self.cstring(entry + 2))
                thunk += 4
            found[self.cstring(name)] = names
            descriptor += 20

    def resources(self):
        """{(type, name, language): bytes} for every resource."""
        found = {}
        if self.directories[2][0] == 0:
            return found
        base = self.offset(self.directories[2][0])

        def walk(directory, path):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + (ident,))
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + target)
                    found[path + (ident,)] = self.data[self.offset(rva):self.offset(rva) + size]
        walk(0, ())
        return found


def version_node(data, at=0):
    """One node of a VS_VERSIONINFO tree: (key, value bytes, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[value_at:value_at + value_size]
    children, child = [], (value_at + value_size + 3) & ~3
    while child < end:
        children.append(version_node(data, child))
        child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3
    return key, value, children


def check(exe, identity):
    company, description, copyright, product = identity
    pe = PE(open(exe, "rb").read())
    faults = []

    def expect(what, got, wanted):
        if got != wanted:
            faults.append(f"{what}: {got!r}, wanted {wanted!r}")

    expect("machine", pe.machine, 0x14C)
    expect("subsystem", pe.subsystem, 3)
    expect("OS version", pe.os_version, (5, 0))
    expect("subsystem version", pe.subsystem_version, (5, 0))

    resources = pe.resources()
    versions = [k for k in resources if k[0] == RT_VERSION]
    expect("version resources", versions, [(RT_VERSION, 1, 1033)])
    if versions != [(RT_VERSION, 1, 1033)]:
        return faults
    key, fixed, children = version_node(resources[versions[0]])
    expect("root key", key, "VS_VERSION_INFO")
    fields = struct.unpack("<13I", fixed)
    expect("fixed signature", fields[0], 0xFEEF04BD)
    expect("file version", fields[2:4], (0x00010000, 0x00020000))
    expect("product version", fields[4:6], (0x00010000, 0x00000000))
    expect("flags, OS, type", fields[7:10], (0x2, 0x4, 0x1))
    blocks = {k: c for k, _, c in children}
    expect("blocks", sorted(blocks), ["StringFileInfo", "VarFileInfo"])
    tables = blocks.get("StringFileInfo", [])
    expect("string tables", [t[0] for t in tables], ["040904E4"])
    strings = [(k, v.decode("utf-16-le").rstrip("\0")) for k, v, _ in tables[0][2]] if tables else []
    expect("strings", strings, [
        ("CompanyName", company), ("FileDescription", description), ("FileVersion", "1.0.2"),
        ("InternalName", "kovex"), ("OriginalFilename", "kovex"),
        ("LegalCopyright", copyright), ("ProductName", product), ("ProductVersion", "1.0")])
    variables = [(k, v) for k, v, _ in blocks.get("VarFileInfo", [])]
    expect("translation", variables, [("Translation", struct.pack("<HH", 0x0409, 0x04E4))])

    groups = [k for k in resources if k[0] == RT_GROUP_ICON]
    expect("icon groups", len(groups), 1)
    if groups:
        group = resources[groups[0]]
        _, kind, count = struct.unpack_from("<HHH", group)
        expect("icon images", (kind, count), (1, 1))
        width, height, colours, _, _, bits, _, ident = struct.unpack_from("<BBBBHHIH", group, 6)
        expect("icon entry", (width, height, colours, bits), (48, 48, 0, 8))
        images = [v for k, v in resources.items() if k[:2] == (RT_ICON, ident)]
        header = struct.unpack_from("<IiiHH", images[0]) if images else None
        expect("icon bitmap", header, (40, 48, 96, 1, 8))

    imports = pe.imports()
    expect("DLLs", sorted(d.lower() for d in imports if d.lower() not in ALLOWED_DLLS), [])
    for dll, names in sorted(imports.items()):
        bad = [n for n in names if n in MISSING_ON_WINDOWS_2000 or re.fullmatch(r"_?\w+_s", n)]
        expect(f"{dll} functions Windows 2000 lacks", bad, [])
    print(f"{exe}: {len(pe.data)} bytes; imports "
          + "; ".join(f"{d}: {' '.join(n)}" for d, n in imports.items()))
    return faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--identity", nargs=4, required=True,
                        metavar=("COMPANY", "DESCRIPTION", "COPYRIGHT", "PRODUCT"))
    parser.add_argument("exe")
    options = parser.parse_args()
    faults = check(options.exe, options.identity)
    for fault in faults:
        print("FAIL " + fault)
    print(f"{'identity checks failed' if faults else 'identity ok'}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
