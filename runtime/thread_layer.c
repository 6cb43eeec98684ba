/* The runtime's mutexes, for toolchains whose win32 thread layer keeps a mutex in a
 * critical section (GCC 13 and later). That layer is one object of libgcc that also holds
 * __gthr_win32_equal, which imports GetThreadId (Vista and later), and the try-lock's
 * TryEnterCriticalSection (not on 98): a loader of 98, ME, NT 4.0, 2000 or XP would refuse
 * the DLL. Defining here the functions the runtime calls keeps that object out of the link
 * (another definition of one of them would fail the link loudly).
 *
 * A __gthread_mutex_t is a CRITICAL_SECTION in that layer: the build checks that the two
 * agree in size and layout (runtime.cmake). The runtime creates and destroys its mutexes
 * in pairs: the emergency exception pool's when the module starts and when it ends. */
#include <windows.h>

void __gthr_win32_mutex_init_function(CRITICAL_SECTION* mutex)
{
    InitializeCriticalSection(mutex);
}

void __gthr_win32_mutex_destroy(CRITICAL_SECTION* mutex)
{
    DeleteCriticalSection(mutex);
}

int __gthr_win32_mutex_lock(CRITICAL_SECTION* mutex)
{
    EnterCriticalSection(mutex);
    return 0;
}

int __gthr_win32_mutex_unlock(CRITICAL_SECTION* mutex)
{
    LeaveCriticalSection(mutex);
    return 0;
}
