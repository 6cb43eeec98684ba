// What qmhook.dll's own code does with a Tarn::Registry beyond its exported members: the
// hook reads values in UTF-16 through it, and the deletion walk reaches its handles.
// Internal to the DLL; not installed, not exported.
#ifndef QMHOOK_REGISTRY_ACCESS_H
#define QMHOOK_REGISTRY_ACCESS_H

#include "registry.h"

namespace Tarn {

struct RegistryAccess {
    static HKEY& key(Registry& registry) { return registry.key; }
    static unsigned long mask(const Registry& registry) { return registry.access; }
    static void fail(Registry& registry, long status) { registry.lastError = status; }

    // openKey for a path in UTF-16 (RegOpenKeyExW, NT family): records the root as openKey
    // does; on failure the object holds no key and lastError has the platform's code.
    static bool openKeyWide(Registry& registry, HKEY root, const wchar_t* subKey);
    // RegQueryValueExW on the held key: the string types as UTF-16, the others as stored.
    // The platform's code; 120 (not implemented) where the wide call is missing.
    static long queryValueWide(Registry& registry, const wchar_t* name, DWORD* type,
                               BYTE* data, DWORD* size);
};

} // namespace Tarn

#endif
