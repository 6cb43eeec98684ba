// Seeds the stack protector's canary when the module loads, before the runtime's own
// setup runs: that setup takes the value from CryptGenRandom, which loads rsaenh, crypt32
// and bcrypt into the host on every load of this DLL and unloads them again, ten times
// the cost of loading the DLL itself. RtlGenRandom draws from the same system generator
// through ADVAPI32, which the module imports anyway. The runtime keeps a non-zero canary.
#include <windows.h>

#include <ntsecapi.h>

extern "C" void* __stack_chk_guard;

namespace {

// Runs before constructors of default priority, among them the runtime's setup; must not
// be protected itself, since the canary changes while it runs.
__attribute__((constructor(101), no_stack_protector)) void seedStackGuard()
{
    RtlGenRandom(&__stack_chk_guard, sizeof __stack_chk_guard);
}

} // namespace
