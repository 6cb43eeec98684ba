// Tarn::Registry: one open registry key at a time, over the ANSI registry functions.
//
// Every member is a thin layer over one platform call and reports success as true exactly
// when that call answered 0 (ERROR_SUCCESS). No member throws. Objects live on the stack
// of one thread and cannot be copied.
//
// Handles: the object takes charge of the parent handed to openKey (rootKey) and of the
// key it opens or creates; closeKey and the destructor release both, even a predefined
// root such as HKEY_LOCAL_MACHINE (releasing a predefined root is harmless). Pass a handle
// of your own as the parent only if you no longer need it after closeKey.
//
// What a client module shares with the DLL. std::string objects cross the boundary:
//  - createKey and writeValue take them by value. Under MinGW's (Itanium) C++ ABI the
//    caller makes the copy and destroys it after the call: the DLL only reads it, so no
//    memory changes hands there, but both sides must lay a std::string out alike.
//  - readValue(name, std::string&) assigns to the caller's string inside the DLL: it may
//    free the caller's buffer with the DLL's operator delete and give it one allocated
//    with the DLL's operator new, which the caller frees later with its own.
// So a client must use
//  - libstdc++ with its C++11 string ABI (MinGW-w64 GCC, i686; either thread model),
//  - the heap of msvcrt.dll, as the DLL does, not the UCRT's,
//  - the runtime's own global operator new and delete: a client that replaces them frees
//    with its allocator what readValue allocated with msvcrt's, and the other way round.
// The first two are checked below; the third cannot be seen from here.
#ifndef QMHOOK_REGISTRY_H
#define QMHOOK_REGISTRY_H

#include <windows.h>

#include <string>

#if !defined(__GLIBCXX__)
#error "Tarn::Registry passes std::string across the DLL boundary: build with MinGW-w64 GCC and libstdc++, as qmhook.dll is"
#elif !_GLIBCXX_USE_CXX11_ABI
#error "qmhook.dll uses libstdc++'s C++11 string ABI: do not build with _GLIBCXX_USE_CXX11_ABI=0"
#endif
#if defined(_UCRT)
#error "qmhook.dll allocates on msvcrt.dll's heap: build against msvcrt, not the UCRT"
#endif
#if defined(_WIN64)
#error "qmhook.dll is a 32-bit DLL: build the client for i686"
#endif

#ifdef QMHOOK_BUILDING
#define QMHOOK_REGISTRY_API __declspec(dllexport)
#else
#define QMHOOK_REGISTRY_API __declspec(dllimport)
#endif

namespace Tarn {

struct RegistryAccess;

class QMHOOK_REGISTRY_API Registry {
public:
    // The platform code of the last failed openKey or deleteKey (0 until one fails).
    // Nothing else records an error.
    unsigned long lastError;

    // access: the mask openKey requests; 0x2001F is KEY_READ | KEY_WRITE.
    explicit Registry(unsigned long access = 0x2001F);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Opens root\subKey with the access mask, releasing the key held before (never the
    // root). Records root and subKey (the pointer, not a copy) even when it fails; on
    // failure the object holds no key and lastError has the platform's code.
    bool openKey(HKEY root, const char* subKey);
    // Creates or opens subKey beneath the root of the last openKey, with KEY_ALL_ACCESS.
    // On success it replaces (and releases) the key held; on failure the object is left
    // as it was. Records no error. Before any openKey there is no root and it fails.
    bool createKey(std::string subKey);
    // Releases the key and the root; always true. The enumeration positions stay.
    bool closeKey();
    // Changes the mask of later openKey calls only.
    void setAccess(unsigned long access);

    // REG_SZ: value's text and its NUL. An empty name is the key's default value.
    bool writeValue(std::string name, std::string value);
    // REG_DWORD: the 4 bytes of value.
    bool writeValue(const char* name, int value);
    // REG_BINARY: size bytes from data.
    bool writeValue(const char* name, const void* data, unsigned long size);
    // size 0: REG_SZ, text and its NUL (false, nothing stored, for a null text).
    // size > 0: REG_MULTI_SZ, exactly size bytes from text, laid out by the caller as
    // NUL-terminated texts followed by one more NUL.
    bool writeValue(const char* name, const char* text, unsigned long size);

    // A number from a value of at most 255 bytes: REG_DWORD as stored (a shorter value
    // from its bytes alone, little-endian); REG_SZ read as atol reads text, stopping at
    // the bytes returned, with numbers beyond the 32-bit range clamped to LONG_MIN or
    // LONG_MAX. Other types: true, *out untouched. On failure *out is untouched.
    bool readValue(const char* name, int* out);
    // The value's bytes up to its first NUL (at most 1024 bytes), whatever its type. On
    // failure out is unchanged.
    bool readValue(const char* name, std::string& out);
    // The value's raw bytes into the caller's buffer of size bytes; the type is not
    // reported. What the buffer holds after a failure is the platform's matter. A
    // negative size fails without a call.
    bool readValue(const char* name, void* buffer, long size);
    bool readValue(const char* name, char* buffer, long size);

    bool deleteValue(const char* name);

    // Cursors over the held key's child keys and values. Each call returns the next item
    // (the name length without its NUL, or the count of data bytes), or -1 at the end or on
    // any error, and then starts again from the first item. nameSize counts the NUL. A null
    // data asks only for the data's size. openKey, createKey and closeKey leave the cursors
    // where they are: rewind them when you move to another key or stop early.
    long enumerateChildKeys(char* name, unsigned long nameSize);
    long enumerateChildKeyValues(char* name, unsigned long nameSize, unsigned long* type,
                                 unsigned char* data, unsigned long dataSize);
    void resetKeyEnumeration();
    void resetValueEnumeration();

    // Deletes parent\subKey with everything beneath it, children first. On the first
    // failure it stops (what was deleted stays deleted), stores the platform's code in
    // lastError and returns false. The parent handle stays open and usable.
    // It deletes only what subKey names: a null or empty subKey, or one of backslashes
    // alone, is refused with 87; a registry link in the tree (subKey itself included) is
    // deleted as a link, its target left alone, while links in the path subKey names are
    // followed. The object's registry view (KEY_WOW64_64KEY, KEY_WOW64_32KEY) holds for
    // every opening and deletion.
    bool deleteKey(HKEY parent, const char* subKey);
    // The same beneath the key this object holds.
    bool deleteKey(const char* subKey);

private:
    HKEY rootKey;
    HKEY key;
    const char* subKeyName;
    unsigned long valueIndex;
    unsigned long keyIndex;
    unsigned long access;

    // The DLL's own code beyond these members (registry/access.h; nothing of it is exported).
    friend struct RegistryAccess;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(Registry) == 28, "Tarn::Registry is seven 32-bit fields");
#endif

} // namespace Tarn

#endif
