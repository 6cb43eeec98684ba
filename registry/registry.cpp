#include "registry.h"

#include <climits>
#include <cstring>
#include <new>

namespace Tarn {

// Carries a failed deletion out of the recursion; the code travels in the owner's
// lastError. Never leaves this file.
class GNastyRegistryDeleteError {
};

namespace {

// The bits of an access mask that choose a registry view on 64-bit Windows.
const REGSAM viewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

void release(HKEY& handle)
{
    if (handle) {
        RegCloseKey(handle);
        handle = nullptr;
    }
}

// Reads text as atol does (white space, sign, digits), looking at no more than size
// bytes, and clamps what lies beyond the 32-bit range.
int parseDecimal(const unsigned char* text, unsigned long size)
{
    unsigned long i = 0;
    while (i < size && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < size && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long magnitude = 0;
    const long long limit = negative ? -static_cast<long long>(LONG_MIN) : LONG_MAX;
    for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit)
            magnitude = limit;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

// A REG_DWORD from the bytes present, little-endian; missing high bytes count as 0.
int littleEndianNumber(const unsigned char* bytes, unsigned long size)
{
    unsigned long number = 0;
    for (unsigned long i = 0; i < size && i < 4; ++i)
        number |= static_cast<unsigned long>(bytes[i]) << (8 * i);
    return static_cast<int>(number);
}

bool setValue(HKEY key, const char* name, DWORD type, const void* data, unsigned long size)
{
    return RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size) ==
           ERROR_SUCCESS;
}

} // namespace

Registry::Registry(unsigned long access)
    : lastError(0), rootKey(nullptr), key(nullptr), subKeyName(nullptr), valueIndex(0),
      keyIndex(0), access(access)
{
}

Registry::~Registry()
{
    closeKey();
}

bool Registry::openKey(HKEY root, const char* subKey)
{
    rootKey = root;
    subKeyName = subKey;
    release(key);
    LONG status = RegOpenKeyExA(root, subKey, 0, access, &key);
    if (status != ERROR_SUCCESS) {
        key = nullptr;
        lastError = status;
        return false;
    }
    return true;
}

bool Registry::createKey(std::string subKey)
{
    HKEY created = nullptr;
    DWORD disposition;
    char noClass[] = "";
    // The object's registry view, if its mask names one, holds for creation too.
    REGSAM mask = KEY_ALL_ACCESS | (access & viewBits);
    if (RegCreateKeyExA(rootKey, subKey.c_str(), 0, noClass, 0, mask, nullptr, &created,
                        &disposition) != ERROR_SUCCESS)
        return false;
    release(key);
    key = created;
    return true;
}

bool Registry::closeKey()
{
    release(key);
    release(rootKey);
    return true;
}

void Registry::setAccess(unsigned long access)
{
    this->access = access;
}

bool Registry::writeValue(std::string name, std::string value)
{
    return setValue(key, name.c_str(), REG_SZ, value.c_str(), value.size() + 1);
}

bool Registry::writeValue(const char* name, int value)
{
    return setValue(key, name, REG_DWORD, &value, sizeof value);
}

bool Registry::writeValue(const char* name, const void* data, unsigned long size)
{
    if (!data && size)
        return false;
    return setValue(key, name, REG_BINARY, data, size);
}

bool Registry::writeValue(const char* name, const char* text, unsigned long size)
{
    if (!text)
        return false;
    if (size == 0)
        return setValue(key, name, REG_SZ, text, std::strlen(text) + 1);
    return setValue(key, name, REG_MULTI_SZ, text, size);
}

bool Registry::readValue(const char* name, int* out)
{
    // One byte more than the capacity passed: room that is never read.
    unsigned char scratch[256];
    DWORD size = 255;
    DWORD type = REG_NONE;
    if (!out || RegQueryValueExA(key, name, nullptr, &type, scratch, &size) != ERROR_SUCCESS)
        return false;
    if (type == REG_SZ)
        *out = parseDecimal(scratch, size);
    else if (type == REG_DWORD)
        *out = littleEndianNumber(scratch, size);
    return true;
}

bool Registry::readValue(const char* name, std::string& out)
{
    char scratch[1024];
    DWORD size = sizeof scratch;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(scratch), &size) !=
        ERROR_SUCCESS)
        return false;
    // The data need not end in a NUL: stop at the bytes returned.
    const void* nul = std::memchr(scratch, '\0', size);
    size_t length = nul ? static_cast<const char*>(nul) - scratch : size;
    try {
        out.assign(scratch, length);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool Registry::readValue(const char* name, void* buffer, long size)
{
    if (size < 0)
        return false;
    DWORD capacity = static_cast<DWORD>(size);
    DWORD type;
    return RegQueryValueExA(key, name, nullptr, &type, static_cast<BYTE*>(buffer), &capacity) ==
           ERROR_SUCCESS;
}

bool Registry::readValue(const char* name, char* buffer, long size)
{
    return readValue(name, static_cast<void*>(buffer), size);
}

bool Registry::deleteValue(const char* name)
{
    return RegDeleteValueA(key, name) == ERROR_SUCCESS;
}

long Registry::enumerateChildKeys(char* name, unsigned long nameSize)
{
    DWORD position = keyIndex++;
    DWORD length = nameSize;
    FILETIME lastWriteTime;
    if (RegEnumKeyExA(key, position, name, &length, nullptr, nullptr, nullptr,
                      &lastWriteTime) != ERROR_SUCCESS) {
        keyIndex = 0;
        return -1;
    }
    return static_cast<long>(length);
}

long Registry::enumerateChildKeyValues(char* name, unsigned long nameSize, unsigned long* type,
                                       unsigned char* data, unsigned long dataSize)
{
    DWORD position = valueIndex++;
    DWORD nameLength = nameSize;
    DWORD dataLength = dataSize;
    if (RegEnumValueA(key, position, name, &nameLength, nullptr, type, data, &dataLength) !=
        ERROR_SUCCESS) {
        valueIndex = 0;
        return -1;
    }
    return static_cast<long>(dataLength);
}

void Registry::resetKeyEnumeration()
{
    keyIndex = 0;
}

void Registry::resetValueEnumeration()
{
    valueIndex = 0;
}

typedef LONG(NTAPI* NtDeleteKeyFn)(HANDLE key);
typedef ULONG(NTAPI* RtlNtStatusToDosErrorFn)(LONG status);
typedef LONG(WINAPI* RegDeleteKeyExAFn)(HKEY parent, LPCSTR subKey, REGSAM view, DWORD reserved);

// How a deletion walk reaches the platform: the registry view, and on the NT family the
// ntdll calls that delete the very key a handle was opened on. Looked up at run time:
// RegDeleteKeyExA exists only since XP x64 and Vista, and a loader refuses a DLL whose
// imports it lacks.
struct DeletionWalk {
    REGSAM view;
    NtDeleteKeyFn deleteOpenKey;       // null on the 9x family
    RtlNtStatusToDosErrorFn toError;
    RegDeleteKeyExAFn deleteKeyInView; // null where the platform lacks it
};

namespace {

template <typename Function>
Function lookUp(const char* module, const char* name)
{
    HMODULE loaded = GetModuleHandleA(module);
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(loaded ? GetProcAddress(loaded, name) : nullptr));
}

DeletionWalk deletionWalk(REGSAM access)
{
    DeletionWalk walk = {access & viewBits, nullptr, nullptr, nullptr};
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    // The 9x family has no registry links: there the walk deletes by name.
    if (GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        walk.deleteOpenKey = lookUp<NtDeleteKeyFn>("ntdll.dll", "NtDeleteKey");
        walk.toError = lookUp<RtlNtStatusToDosErrorFn>("ntdll.dll", "RtlNtStatusToDosError");
        if (!walk.toError)
            walk.deleteOpenKey = nullptr;
    }
    if (walk.view)
        walk.deleteKeyInView = lookUp<RegDeleteKeyExAFn>("advapi32.dll", "RegDeleteKeyExA");
    return walk;
}

LONG deleteByName(const DeletionWalk& walk, HKEY parent, const char* subKey)
{
    if (walk.view && walk.deleteKeyInView)
        return walk.deleteKeyInView(parent, subKey, walk.view, 0);
    return RegDeleteKeyA(parent, subKey);
}

} // namespace

// Deletes parent\subKey after all its children. Each level opens subKey with an object of
// its own, which releases that key on the way out, also while an exception passes; the
// parent handle belongs to the level above (or to the caller) and is never released here.
//
// On the NT family each key is opened as itself, a registry link included (links in the
// path above it are followed, as the platform follows them), and deleted through that
// handle. A link therefore shows no children and is deleted as a link: the walk never
// descends into a link's target, which lies outside the tree. Deleting by name would
// follow a link and delete its target instead. A key that cannot be opened so is not
// deleted: its opening's code ends the walk.
void deleteKeyTree(Registry& owner, HKEY parent, const char* subKey, DeletionWalk& walk)
{
    Registry node(0x2001F | walk.view);
    LONG opened = ERROR_INVALID_PARAMETER;
    if (walk.deleteOpenKey)
        opened = RegOpenKeyExA(parent, subKey, REG_OPTION_OPEN_LINK, node.access | DELETE, &node.key);
    // A registry that refuses the option cannot open a link as itself: like the 9x family,
    // it gets the walk by name.
    if (opened == ERROR_INVALID_PARAMETER) {
        walk.deleteOpenKey = nullptr;
        opened = RegOpenKeyExA(parent, subKey, 0, node.access, &node.key);
    }
    if (opened != ERROR_SUCCESS)
        node.key = nullptr;

    // 255 characters is the longest key name; with its NUL it needs a capacity of 256.
    char child[256];
    while (node.key && node.enumerateChildKeys(child, sizeof child) != -1) {
        deleteKeyTree(owner, node.key, child, walk);
        // The remaining children have moved down: read index 0 again.
        node.resetKeyEnumeration();
    }

    LONG status;
    if (!walk.deleteOpenKey)
        status = deleteByName(walk, parent, subKey);
    else if (node.key)
        status = static_cast<LONG>(walk.toError(walk.deleteOpenKey(node.key)));
    else
        status = opened;
    if (status != ERROR_SUCCESS) {
        owner.lastError = status;
        throw GNastyRegistryDeleteError();
    }
}

bool Registry::deleteKey(HKEY parent, const char* subKey)
{
    // A null or empty name, or one of separators alone, names no key: it would open the
    // parent itself (or, below some predefined roots, the root) and empty it before failing.
    if (!subKey || subKey[std::strspn(subKey, "\\")] == '\0') {
        lastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    DeletionWalk walk = deletionWalk(access);
    try {
        deleteKeyTree(*this, parent, subKey, walk);
    } catch (const GNastyRegistryDeleteError&) {
        return false;
    }
    return true;
}

bool Registry::deleteKey(const char* subKey)
{
    return deleteKey(key, subKey);
}

} // namespace Tarn
