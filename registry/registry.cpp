#include "access.h"
#include "lookup.h"

#include <climits>
#include <cstring>
#include <memory>
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
    // Built apart and moved in: out stays as it was if memory runs out, and no member of
    // std::string is called that libstdc++ declares extern (GCC 14 declares
    // _M_replace_cold, behind assign, so even in C++20: it would link all of string-inst.o).
    try {
        std::string text(scratch, length);
        out = std::move(text);
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

// How a deletion walk reaches the platform. On the NT family it goes by the wide calls,
// which name every key the registry can hold (through the ANSI calls a child named outside
// the code page reads as question marks, a key nobody can open, and the tree stays half
// deleted), and deletes the very key a handle was opened on (ntdll). The 9x family, which
// has neither, walks by ANSI name. Each call is looked up at run time: a loader refuses a
// DLL that imports what its system lacks (RegDeleteKeyEx exists only since XP x64 and
// Vista). Null where the platform lacks it.
struct DeletionWalk {
    REGSAM view;
    NtDeleteKeyFn deleteOpenKey; // null where keys are deleted by name
    RtlNtStatusToDosErrorFn toError;
    LONG(WINAPI* openKeyW)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    LONG(WINAPI* enumKeyW)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME);
    LONG(WINAPI* queryInfoW)(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                             LPDWORD, LPDWORD, LPDWORD, PFILETIME);
    LONG(WINAPI* deleteKeyW)(HKEY, LPCWSTR);
    LONG(WINAPI* deleteKeyInViewW)(HKEY, LPCWSTR, REGSAM, DWORD);
    LONG(WINAPI* deleteKeyInViewA)(HKEY, LPCSTR, REGSAM, DWORD);

    bool wide() const { return openKeyW && enumKeyW && queryInfoW && deleteKeyW; }
};

namespace {

DeletionWalk deletionWalk(REGSAM access)
{
    DeletionWalk walk = {};
    walk.view = access & viewBits;
    // The 9x family has no registry links and no wide calls: there the walk deletes by name.
    if (isNtFamily()) {
        walk.deleteOpenKey = lookUp<NtDeleteKeyFn>("ntdll.dll", "NtDeleteKey");
        walk.toError = lookUp<RtlNtStatusToDosErrorFn>("ntdll.dll", "RtlNtStatusToDosError");
        if (!walk.toError)
            walk.deleteOpenKey = nullptr;
        walk.openKeyW = lookUp<decltype(walk.openKeyW)>("advapi32.dll", "RegOpenKeyExW");
        walk.enumKeyW = lookUp<decltype(walk.enumKeyW)>("advapi32.dll", "RegEnumKeyExW");
        walk.queryInfoW = lookUp<decltype(walk.queryInfoW)>("advapi32.dll", "RegQueryInfoKeyW");
        walk.deleteKeyW = lookUp<decltype(walk.deleteKeyW)>("advapi32.dll", "RegDeleteKeyW");
    }
    if (walk.view) {
        walk.deleteKeyInViewW =
            lookUp<decltype(walk.deleteKeyInViewW)>("advapi32.dll", "RegDeleteKeyExW");
        walk.deleteKeyInViewA =
            lookUp<decltype(walk.deleteKeyInViewA)>("advapi32.dll", "RegDeleteKeyExA");
    }
    return walk;
}

// The walk's platform calls, by the width of its names.
LONG openNode(const DeletionWalk&, HKEY parent, const char* name, DWORD options, REGSAM mask,
              HKEY* key)
{
    return RegOpenKeyExA(parent, name, options, mask, key);
}

LONG openNode(const DeletionWalk& walk, HKEY parent, const wchar_t* name, DWORD options,
              REGSAM mask, HKEY* key)
{
    return walk.openKeyW(parent, name, options, mask, key);
}

// The first remaining child: each deletion moves the others down, so index 0 again. The
// platform's code: 0, ERROR_NO_MORE_ITEMS at the end, ERROR_MORE_DATA for a name longer than
// the capacity (which counts the NUL).
LONG firstChild(const DeletionWalk&, HKEY key, char* name, DWORD capacity)
{
    FILETIME lastWriteTime;
    return RegEnumKeyExA(key, 0, name, &capacity, nullptr, nullptr, nullptr, &lastWriteTime);
}

LONG firstChild(const DeletionWalk& walk, HKEY key, wchar_t* name, DWORD capacity)
{
    FILETIME lastWriteTime;
    return walk.enumKeyW(key, 0, name, &capacity, nullptr, nullptr, nullptr, &lastWriteTime);
}

// The longest child name in characters, without its NUL.
LONG longestChildName(const DeletionWalk&, HKEY key, char*, DWORD* length)
{
    return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, length, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr);
}

LONG longestChildName(const DeletionWalk& walk, HKEY key, wchar_t*, DWORD* length)
{
    return walk.queryInfoW(key, nullptr, nullptr, nullptr, nullptr, length, nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr);
}

LONG deleteByName(const DeletionWalk& walk, HKEY parent, const char* subKey)
{
    if (walk.view && walk.deleteKeyInViewA)
        return walk.deleteKeyInViewA(parent, subKey, walk.view, 0);
    return RegDeleteKeyA(parent, subKey);
}

LONG deleteByName(const DeletionWalk& walk, HKEY parent, const wchar_t* subKey)
{
    if (walk.view && walk.deleteKeyInViewW)
        return walk.deleteKeyInViewW(parent, subKey, walk.view, 0);
    return walk.deleteKeyW(parent, subKey);
}

template <typename Char>
void deleteTree(Registry& owner, HKEY parent, const Char* subKey, DeletionWalk& walk);

const REGSAM listing = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;

// Each key is opened with the rights the walk uses and no more: listing its children, the
// length of their longest name and, where the walk deletes through the handle, DELETE. A key
// that refuses some of these is opened with fewer: without the length the walk still deletes
// children of up to 255 characters; without listing, a leaf goes and a key with children
// refuses. Sets key and mask, or answers the platform's code.
template <typename Char>
LONG openFor(DeletionWalk& walk, HKEY parent, const Char* subKey, HKEY& key, REGSAM& mask)
{
    LONG opened = ERROR_INVALID_PARAMETER;
    if (walk.deleteOpenKey) {
        for (REGSAM wanted : {REGSAM(listing | DELETE), REGSAM(KEY_ENUMERATE_SUB_KEYS | DELETE),
                              REGSAM(DELETE)}) {
            mask = wanted;
            opened = openNode(walk, parent, subKey, REG_OPTION_OPEN_LINK, mask | walk.view, &key);
            if (opened != ERROR_ACCESS_DENIED)
                break;
        }
    }
    // A registry that refuses the option cannot open a link as itself: like the 9x family,
    // it gets the walk by name.
    if (opened == ERROR_INVALID_PARAMETER) {
        walk.deleteOpenKey = nullptr;
        for (REGSAM wanted : {listing, REGSAM(KEY_ENUMERATE_SUB_KEYS)}) {
            mask = wanted;
            opened = openNode(walk, parent, subKey, 0, mask | walk.view, &key);
            if (opened != ERROR_ACCESS_DENIED)
                break;
        }
    }
    return opened;
}

// Deletes every child of key, each with its subtree, before the caller deletes key. Any
// answer of the listing but "no more children" ends the walk before anything more goes.
template <typename Char>
void deleteChildren(Registry& owner, HKEY key, DeletionWalk& walk)
{
    Char fits[256]; // 255 characters, the longest name the platform documents, and the NUL
    std::unique_ptr<Char[]> longer;
    Char* name = fits;
    DWORD capacity = 256;
    for (;;) {
        LONG status = firstChild(walk, key, name, capacity);
        if (status == ERROR_MORE_DATA && !longer) {
            // Some registries take longer names: ask how long, once.
            DWORD longest = 0;
            if (longestChildName(walk, key, name, &longest) == ERROR_SUCCESS &&
                longest + 1 > capacity) {
                longer.reset(new (std::nothrow) Char[longest + 1]);
                if (longer) {
                    name = longer.get();
                    capacity = longest + 1;
                    continue;
                }
            }
        }
        if (status == ERROR_NO_MORE_ITEMS)
            return;
        if (status != ERROR_SUCCESS) {
            RegistryAccess::fail(owner, status);
            throw GNastyRegistryDeleteError();
        }
        deleteTree(owner, key, static_cast<const Char*>(name), walk);
    }
}

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
template <typename Char>
void deleteTree(Registry& owner, HKEY parent, const Char* subKey, DeletionWalk& walk)
{
    Registry node(KEY_ENUMERATE_SUB_KEYS | walk.view);
    HKEY& key = RegistryAccess::key(node);
    REGSAM mask = 0;
    LONG opened = openFor(walk, parent, subKey, key, mask);
    if (opened != ERROR_SUCCESS)
        key = nullptr;
    if (key && (mask & KEY_ENUMERATE_SUB_KEYS))
        deleteChildren<Char>(owner, key, walk);

    LONG status;
    if (!walk.deleteOpenKey)
        status = deleteByName(walk, parent, subKey);
    else if (key)
        status = static_cast<LONG>(walk.toError(walk.deleteOpenKey(key)));
    else
        status = opened;
    if (status != ERROR_SUCCESS) {
        RegistryAccess::fail(owner, status);
        throw GNastyRegistryDeleteError();
    }
}

} // namespace

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
        if (walk.wide()) {
            // The caller's ANSI path, as the ANSI calls would read it.
            int units = MultiByteToWideChar(CP_ACP, 0, subKey, -1, nullptr, 0);
            std::unique_ptr<wchar_t[]> name(units > 0 ? new (std::nothrow) wchar_t[units]
                                                      : nullptr);
            if (!name || !MultiByteToWideChar(CP_ACP, 0, subKey, -1, name.get(), units)) {
                lastError = ERROR_NOT_ENOUGH_MEMORY;
                return false;
            }
            deleteTree(*this, parent, static_cast<const wchar_t*>(name.get()), walk);
        } else {
            deleteTree(*this, parent, subKey, walk);
        }
    } catch (const GNastyRegistryDeleteError&) {
        return false;
    }
    return true;
}

bool Registry::deleteKey(const char* subKey)
{
    return deleteKey(key, subKey);
}

bool RegistryAccess::openKeyWide(Registry& registry, HKEY root, const wchar_t* subKey)
{
    typedef LONG(WINAPI * OpenFn)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    auto open = lookUp<OpenFn>("advapi32.dll", "RegOpenKeyExW");
    registry.rootKey = root;
    registry.subKeyName = nullptr;
    release(registry.key);
    LONG status = open ? open(root, subKey, 0, registry.access, &registry.key)
                       : ERROR_CALL_NOT_IMPLEMENTED;
    if (status != ERROR_SUCCESS) {
        registry.key = nullptr;
        registry.lastError = status;
        return false;
    }
    return true;
}

long RegistryAccess::queryValueWide(Registry& registry, const wchar_t* name, DWORD* type,
                                    BYTE* data, DWORD* size)
{
    typedef LONG(WINAPI * QueryFn)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    auto query = lookUp<QueryFn>("advapi32.dll", "RegQueryValueExW");
    return query ? query(registry.key, name, nullptr, type, data, size)
                 : ERROR_CALL_NOT_IMPLEMENTED;
}

} // namespace Tarn
