// A registry key of the test's own under HKLM\Software\QmhookTest, unique per run, set up
// and inspected with raw Win32 calls, and deleted with everything beneath it at the end.
#ifndef QMHOOK_TESTS_SCRATCH_KEY_H
#define QMHOOK_TESTS_SCRATCH_KEY_H

#include <windows.h>

#include <string>
#include <vector>

class ScratchKey {
public:
    ScratchKey();
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    // The path beneath HKLM of this key, or of a key beneath it.
    std::string path(const std::string& below = "") const;
    // Creates the keys of a path beneath this key (components separated by backslashes).
    void createKey(const std::string& below) const;
    bool exists(const std::string& below) const;
    void setValue(const std::string& key, const char* name, DWORD type, const void* data,
                  DWORD size) const;
    void setText(const std::string& key, const char* name, const std::string& bytes,
                 DWORD type = REG_SZ) const
    {
        setValue(key, name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    // The raw value: false when it is missing.
    bool value(const std::string& key, const char* name, DWORD& type, std::string& bytes) const;
    // Makes below a registry link to target, both beneath this key.
    void createLink(const std::string& below, const std::string& target) const;
    // Whether below exists as a key of its own, a link not followed.
    bool existsAsItself(const std::string& below) const;
    // Creates below (its names in UTF-8, through the wide call) and, unless sddl is null,
    // gives it that access list, which should grant WRITE_DAC: the clean-up then gives such
    // a key full access back before deleting.
    void createSecured(const std::string& below, const wchar_t* sddl);

private:
    std::string root;
    std::vector<std::wstring> secured;
};

// Whether this 32-bit process runs under WoW64 (64-bit Windows).
bool runsUnderWow64();

// The value of the next handle this process would get. Handles are reused lowest first,
// so a handle leaked by a workload makes this higher afterwards than before.
unsigned long nextHandleValue();

#endif
