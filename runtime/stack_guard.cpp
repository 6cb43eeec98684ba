// Seeds the stack protector's canary when the module loads, before the runtime's own
// setup runs: that setup takes the value from CryptGenRandom, which loads rsaenh, crypt32
// and bcrypt into the host on every load of this DLL and unloads them again, ten times
// the cost of loading the DLL itself. RtlGenRandom draws from the same system generator
// through ADVAPI32, which the module imports anyway; the runtime keeps a non-zero canary.
//
// RtlGenRandom (exported as SystemFunction036) exists only since Windows XP, and a loader
// refuses a DLL whose imports it lacks: it is looked up here, never imported. Where it is
// missing (98, ME, NT 4.0, 2000) the canary stays zero and the runtime seeds it as before.
#include <windows.h>

extern "C" void* __stack_chk_guard;

namespace {

typedef BOOLEAN(WINAPI* RtlGenRandomFn)(PVOID, ULONG);

// Runs before constructors of default priority, among them the runtime's setup; must not
// be protected itself, since the canary changes while it runs.
__attribute__((constructor(101), no_stack_protector)) void seedStackGuard()
{
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    auto generate = reinterpret_cast<RtlGenRandomFn>(reinterpret_cast<void*>(
        advapi ? GetProcAddress(advapi, "SystemFunction036") : nullptr));
    if (generate && !generate(&__stack_chk_guard, sizeof __stack_chk_guard))
        __stack_chk_guard = nullptr;
}

} // namespace
