/* Registers this module's unwind tables with the statically linked unwinder, in place of
 * the toolchain's crtbegin.o. That one first asks GetModuleHandleA for a shared libgcc DLL,
 * which a statically linked module never uses; Wine answers such a question for an
 * unloaded name by searching every directory of the DLL path on disk, on every load and
 * again on every unload: under Wine that costs as much as loading the whole banner.
 *
 * Linked first among the module's objects (after the CRT's startup object) so that the
 * label below marks the start of the unwind tables; crtend.o, linked last, ends them and
 * calls __gcc_register_frame while the module starts. Compiled without unwind tables of
 * its own. */
#include <windows.h>

#include <stdlib.h>

/* The unwinder's bookkeeping for one registered object: opaque, six pointers in libgcc.
 * The build reads how much the toolchain's own crtbegin.o reserves for it
 * (QMHOOK_UNWINDER_OBJECT_SIZE, see runtime.cmake) and refuses a toolchain that needs more
 * than this, which the unwinder would otherwise write past. */
struct frame_object {
    void* fields[6];
};
_Static_assert(sizeof(struct frame_object) >= QMHOOK_UNWINDER_OBJECT_SIZE,
               "this toolchain's unwinder keeps more per object than frame_registry.c "
               "reserves: enlarge struct frame_object to what crtbegin.o reserves");

void __register_frame_info(const void* begin, struct frame_object* object);
void* __deregister_frame_info(const void* begin);

/* The unwinder guards its list of tables with a lock that it makes at the first
 * registration and never releases: a handle (GCC 12: a semaphore) or a critical section
 * (GCC 14, whose debug information is a heap block on Windows and Wine 8) lost for every
 * load and unload of the DLL. The runtime's calls of the function that makes the lock reach
 * this module instead (the DLL links with --defsym of its import, see runtime.cmake), which
 * notes the lock made while the tables are being registered, so that it is released once
 * they are gone. The runtime never names its semaphores. */
static int registering;
static HANDLE unwinder_semaphore;
static LPCRITICAL_SECTION unwinder_section;

static HANDLE WINAPI create_semaphore(LPSECURITY_ATTRIBUTES attributes, LONG initial,
                                      LONG maximum, LPCWSTR name)
{
    HANDLE semaphore = name ? NULL : CreateSemaphoreA(attributes, initial, maximum, NULL);
    if (registering)
        unwinder_semaphore = semaphore;
    return semaphore;
}

/* Every InitializeCriticalSection of the module comes here, this file's own import
 * included: the real one is looked up. */
static void WINAPI initialize_critical_section(LPCRITICAL_SECTION section)
{
    static void(WINAPI * initialize)(LPCRITICAL_SECTION);
    if (!initialize)
        initialize = (void(WINAPI*)(LPCRITICAL_SECTION))(void*)GetProcAddress(
            GetModuleHandleA("kernel32.dll"), "InitializeCriticalSection");
    if (!initialize)
        abort();
    initialize(section);
    if (registering)
        unwinder_section = section;
}

HANDLE(WINAPI* qmhook_create_semaphore)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR) =
    create_semaphore;
void(WINAPI* qmhook_initialize_critical_section)(LPCRITICAL_SECTION) =
    initialize_critical_section;

__attribute__((used, section(".eh_frame"), aligned(4))) static const char frames_begin[] = {};
static struct frame_object frames;

static int registered;

/* Deregisters and closes the lock once, however often it runs. */
void __gcc_deregister_frame(void)
{
    if (registered) {
        __deregister_frame_info(frames_begin);
        registered = 0;
    }
    if (unwinder_semaphore) {
        CloseHandle(unwinder_semaphore);
        unwinder_semaphore = NULL;
    }
    if (unwinder_section) {
        DeleteCriticalSection(unwinder_section);
        unwinder_section = NULL;
    }
}

void __gcc_register_frame(void)
{
    registering = 1;
    __register_frame_info(frames_begin, &frames);
    registering = 0;
    registered = 1;
    atexit(__gcc_deregister_frame);
}
