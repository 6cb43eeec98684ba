#include "stages.h"

#include "registry/registry.h"

#include <process.h>

#include <cstring>

namespace {

const char vendorKey[] = "Software\\Vantorel Software";
const char productKeyPrefix[] = "Software\\Vantorel Software\\";
const char launcherName[] = "\\Tovelgate.exe";

// Reads a text value into a MAX_PATH buffer. The buffer is filled with non-NUL bytes first,
// so a value that ends without a NUL inside the buffer is refused rather than read on into
// bytes the platform never wrote.
bool readText(Tarn::Registry& key, const char* name, char (&text)[MAX_PATH])
{
    std::memset(text, 0x01, sizeof text);
    return key.readValue(name, text, static_cast<long>(sizeof text)) &&
           std::memchr(text, '\0', sizeof text) != nullptr;
}

// first + second into a MAX_PATH buffer; false, and nothing written, when it would not fit.
bool join(char (&out)[MAX_PATH], const char* first, const char* second)
{
    size_t a = std::strlen(first), b = std::strlen(second);
    if (a + b + 1 > MAX_PATH)
        return false;
    std::memcpy(out, first, a);
    std::memcpy(out + a, second, b + 1);
    return true;
}

// The launcher's own name as its runtime will split it. The runtime joins the arguments with
// single blanks and adds no quotes. A short path holds no blank, except on a volume without
// 8.3 names, where it is the long path: only then is it quoted, so that it stays one
// argument; every other command line is left exactly as it was.
const char* programName(const char* shortPath, char (&quoted)[MAX_PATH + 2])
{
    if (!std::strpbrk(shortPath, " \t"))
        return shortPath;
    size_t length = std::strlen(shortPath); // below MAX_PATH: quotes and NUL fit
    quoted[0] = '"';
    std::memcpy(quoted + 1, shortPath, length);
    quoted[length + 1] = '"';
    quoted[length + 2] = '\0';
    return quoted;
}

} // namespace

void launchAfterInstall()
{
    // Read and write access, although only reading is needed: an account that may not write
    // the product's keys gets no launch.
    Tarn::Registry registry;
    char product[MAX_PATH];
    char productKey[MAX_PATH];
    if (!registry.openKey(HKEY_LOCAL_MACHINE, vendorKey) ||
        !readText(registry, "InstallLaunchPath", product) ||
        !join(productKey, productKeyPrefix, product) ||
        !registry.openKey(HKEY_LOCAL_MACHINE, productKey))
        return;

    char directory[MAX_PATH];
    if (!readText(registry, "Install Path", directory))
        return;
    SetCurrentDirectoryA(directory);

    char launcher[MAX_PATH];
    char shortPath[MAX_PATH];
    if (!join(launcher, directory, launcherName))
        return;
    DWORD length = GetShortPathNameA(launcher, shortPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;

    // A product name with blanks reaches the launcher as several words.
    char quoted[MAX_PATH + 2];
    intptr_t process = _spawnl(_P_NOWAIT, shortPath, programName(shortPath, quoted), "/path",
                               product, nullptr);
    if (process != -1)
        CloseHandle(reinterpret_cast<HANDLE>(process));
}
