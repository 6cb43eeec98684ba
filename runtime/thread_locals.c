/* The runtime's thread-local variables, for a module that hosts load and unload.
 *
 * libstdc++ keeps each thread's exception state in a thread-local variable, which the
 * compiler turns into calls of __emutls_get_address. The toolchain's own version of that
 * function takes a TLS index and a semaphore at the first exception thrown in a load and
 * frees neither: every load in which the DLL throws cost the host one TLS index for good,
 * and after about a thousand such loads nothing in the process could throw any more.
 * Defining the function here keeps the toolchain's version out of the link (a second
 * definition would fail the link loudly). This one holds no handle, takes its TLS index
 * at the first use, and gives the index and every thread's variables back when the module
 * unloads; a thread that ends before then gives its own back through a TLS callback, where
 * the loader calls those (Vista and later, and Wine).
 *
 * The layout of the object the compiler hands over is the compiler's emulated-TLS ABI. */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

struct __emutls_object {
    unsigned size;
    unsigned align;
    union {
        unsigned index; /* 1-based, 0 until the first use */
        void* pointer;
    } loc;
    void* initial; /* the initial bytes, or null for zeros */
};

/* One thread's variables: values[i] is the variable of index i + 1, or null. */
struct thread_block {
    struct thread_block* next;
    struct thread_block* previous;
    unsigned count;
    void** values;
};

static volatile LONG busy;
static DWORD slot = TLS_OUT_OF_INDEXES;
static unsigned variables;
static struct thread_block* blocks;

/* A spin lock: a lock object would be one more thing to create and to release. */
static void lock(void)
{
    while (__atomic_exchange_n(&busy, 1, __ATOMIC_ACQUIRE))
        Sleep(0);
}

static void unlock(void)
{
    __atomic_store_n(&busy, 0, __ATOMIC_RELEASE);
}

static unsigned index_of(struct __emutls_object* object)
{
    unsigned index = __atomic_load_n(&object->loc.index, __ATOMIC_ACQUIRE);
    if (index && __atomic_load_n(&slot, __ATOMIC_ACQUIRE) != TLS_OUT_OF_INDEXES)
        return index;
    lock();
    if (slot == TLS_OUT_OF_INDEXES)
        __atomic_store_n(&slot, TlsAlloc(), __ATOMIC_RELEASE);
    index = object->loc.index;
    if (!index) {
        index = ++variables;
        __atomic_store_n(&object->loc.index, index, __ATOMIC_RELEASE);
    }
    unlock();
    if (slot == TLS_OUT_OF_INDEXES)
        abort();
    return index;
}

/* The variable's storage, aligned as asked, with the address malloc gave just before it. */
static void* new_variable(const struct __emutls_object* object)
{
    size_t align = object->align > sizeof(void*) ? object->align : sizeof(void*);
    char* raw = malloc(object->size + align + sizeof(void*));
    if (!raw)
        abort();
    char* variable = (char*)(((size_t)raw + sizeof(void*) + align - 1) & ~(align - 1));
    ((void**)variable)[-1] = raw;
    if (object->initial)
        memcpy(variable, object->initial, object->size);
    else
        memset(variable, 0, object->size);
    return variable;
}

static void free_block(struct thread_block* block)
{
    for (unsigned i = 0; i < block->count; ++i)
        if (block->values[i])
            free(((void**)block->values[i])[-1]);
    free(block->values);
    free(block);
}

/* This thread's block with room for index, made or grown as needed. */
static struct thread_block* block_for(struct thread_block* block, unsigned index)
{
    if (!block) {
        block = calloc(1, sizeof *block);
        if (!block)
            abort();
        lock();
        block->next = blocks;
        if (blocks)
            blocks->previous = block;
        blocks = block;
        unlock();
        TlsSetValue(slot, block);
    }
    if (index > block->count) {
        unsigned count = index + 4;
        void** values = realloc(block->values, count * sizeof *values);
        if (!values)
            abort();
        memset(values + block->count, 0, (count - block->count) * sizeof *values);
        block->values = values;
        block->count = count;
    }
    return block;
}

void* __emutls_get_address(void* control)
{
    struct __emutls_object* object = control;
    unsigned index = index_of(object);
    DWORD error = GetLastError();
    struct thread_block* block = TlsGetValue(slot);
    if (!block || index > block->count)
        block = block_for(block, index);
    SetLastError(error);
    void** value = &block->values[index - 1];
    if (!*value)
        *value = new_variable(object);
    return *value;
}

static void unlink_block(struct thread_block* block)
{
    if (block->previous)
        block->previous->next = block->next;
    else
        blocks = block->next;
    if (block->next)
        block->next->previous = block->previous;
}

/* A thread that ends gives its variables back. */
static void NTAPI on_thread_event(PVOID module, DWORD reason, PVOID reserved)
{
    (void)module;
    (void)reserved;
    if (reason != DLL_THREAD_DETACH || slot == TLS_OUT_OF_INDEXES)
        return;
    struct thread_block* block = TlsGetValue(slot);
    if (!block)
        return;
    lock();
    unlink_block(block);
    unlock();
    TlsSetValue(slot, NULL);
    free_block(block);
}

/* Between the runtime's own callbacks (.CRT$XLC, .CRT$XLD) and the end of the list. */
__attribute__((used, section(".CRT$XLF"))) PIMAGE_TLS_CALLBACK qmhook_thread_locals_callback =
    on_thread_event;

/* When the module unloads: every thread's variables and the TLS index. Runs after the
 * module's other destructors, which may still reach the exception state. */
__attribute__((destructor(101))) static void release_thread_locals(void)
{
    lock();
    while (blocks) {
        struct thread_block* block = blocks;
        blocks = block->next;
        free_block(block);
    }
    if (slot != TLS_OUT_OF_INDEXES) {
        TlsFree(slot);
        slot = TLS_OUT_OF_INDEXES;
    }
    unlock();
}
