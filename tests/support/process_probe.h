// What a workload may leave behind in this process: the next handle value (handles are
// reused lowest first, so a leaked one raises it), private bytes and GDI objects.
#ifndef QMHOOK_TESTS_PROCESS_PROBE_H
#define QMHOOK_TESTS_PROCESS_PROBE_H

#include "support/scratch_key.h"

#include <cstdio>
#include <cstdlib>

struct ProcessProbe {
    unsigned long nextHandle;
    unsigned long privateKiB;
    unsigned long gdiObjects;  // 0 where the platform reports none
};

// Private bytes: the committed private memory of the address space, region by region.
// (Wine reports 0 for PrivateUsage in GetProcessMemoryInfo.)
inline unsigned long privateKiB()
{
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* address = nullptr;
         VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
        if (static_cast<const char*>(region.BaseAddress) + region.RegionSize < address)
            break;
    }
    return static_cast<unsigned long>(total / 1024);
}

// How long a long run is: its full size, or the smaller one it takes in the emulated machine
// of scripts/wine-vm (QMHOOK_EMULATED), where every Wine call is many times slower.
inline long runSize(long full, long emulated)
{
    return std::getenv("QMHOOK_EMULATED") ? emulated : full;
}

inline ProcessProbe probeProcess()
{
    return {nextHandleValue(), privateKiB(), GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)};
}

inline void printProbes(const char* workload, long cycles, const ProcessProbe& before,
                        const ProcessProbe& after)
{
    std::printf("%s: %ld cycles; next handle %#lx -> %#lx; private bytes %lu -> %lu KiB; "
                "GDI objects %s %lu -> %lu\n",
                workload, cycles, before.nextHandle, after.nextHandle, before.privateKiB,
                after.privateKiB, before.gdiObjects || after.gdiObjects ? "" : "(not reported)",
                before.gdiObjects, after.gdiObjects);
    std::fflush(stdout);
}

#endif
