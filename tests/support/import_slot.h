// Points one import slot of a loaded module at a function of the test's own, for answers
// the platform under test cannot be made to give, and restores it on destruction.
#ifndef QMHOOK_TESTS_IMPORT_SLOT_H
#define QMHOOK_TESTS_IMPORT_SLOT_H

#include <windows.h>

class ImportSlotPatch {
public:
    // The slot of `module` for dll!function, imported by name. slot() is null when the
    // module has no such import.
    ImportSlotPatch(HMODULE module, const char* dll, const char* function, void* replacement)
    {
        slot = findSlot(module, dll, function);
        if (slot) {
            original = *slot;
            write(replacement);
        }
    }
    ~ImportSlotPatch()
    {
        if (slot)
            write(original);
    }
    ImportSlotPatch(const ImportSlotPatch&) = delete;
    ImportSlotPatch& operator=(const ImportSlotPatch&) = delete;

    void** where() const { return slot; }
    // What the loader had put in the slot.
    void* replaced() const { return original; }

private:
    static void** findSlot(HMODULE module, const char* dll, const char* function)
    {
        auto base = reinterpret_cast<BYTE*>(module);
        if (!base)
            return nullptr;
        auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (!imports.VirtualAddress)
            return nullptr;
        for (auto entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             entry->Name; ++entry) {
            if (lstrcmpiA(reinterpret_cast<char*>(base + entry->Name), dll) != 0 ||
                !entry->OriginalFirstThunk)
                continue;
            auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
            auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; names->u1.AddressOfData; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                    continue;
                auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (lstrcmpA(reinterpret_cast<char*>(byName->Name), function) == 0)
                    return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
        return nullptr;
    }
    // The slots may lie in a page the loader made read-only.
    void write(void* value)
    {
        DWORD protection;
        VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
        *slot = value;
        VirtualProtect(slot, sizeof *slot, protection, &protection);
    }

    void** slot = nullptr;
    void* original = nullptr;
};

// For a function the module looks up at run time: its import slot for GetProcAddress hands
// out the test's function under that one name, and the platform's for every other.
class LookupPatch {
public:
    LookupPatch(HMODULE module, const char* name, void* replacement)
        : slot((wanted = name, substitute = replacement, module), "KERNEL32.dll",
               "GetProcAddress", reinterpret_cast<void*>(&lookUp))
    {
    }
    ~LookupPatch() { wanted = nullptr; }
    LookupPatch(const LookupPatch&) = delete;
    LookupPatch& operator=(const LookupPatch&) = delete;

    void** where() const { return slot.where(); }

private:
    static FARPROC WINAPI lookUp(HMODULE module, LPCSTR name)
    {
        if (wanted && HIWORD(reinterpret_cast<uintptr_t>(name)) && lstrcmpA(name, wanted) == 0)
            return reinterpret_cast<FARPROC>(substitute);
        return GetProcAddress(module, name);
    }
    static inline const char* wanted;
    static inline void* substitute;
    ImportSlotPatch slot;
};

#endif
