/* A C allocator that fails on request, preloaded into a test process.
 *
 * malloc, calloc and realloc pass through to the next definitions (the C
 * library's), except that after fail_after(n) the n-th of them from then on,
 * on any thread, returns null with errno set to ENOMEM; only that one fails.
 * disarm() stops the countdown and returns what was left of it: n minus the
 * allocations made meanwhile (zero or less once the failure happened), so a
 * countdown that cannot run out counts the allocations of a call.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

static void *(*next_malloc)(size_t);
static void *(*next_calloc)(size_t, size_t);
static void *(*next_realloc)(void *, size_t);
static void (*next_free)(void *);

/* dlsym may itself allocate while the next definitions are looked up; those
 * few blocks come from here and are never freed. */
static _Alignas(16) char bootstrap[8192];
static size_t bootstrap_used;
static int resolving;

static long countdown; /* > 0: armed */

static int in_bootstrap(const void *p) {
    return (const char *)p >= bootstrap && (const char *)p < bootstrap + sizeof bootstrap;
}

static void *bootstrap_alloc(size_t size) {
    size = (size + 15) & ~(size_t)15;
    if (size > sizeof bootstrap - bootstrap_used) return NULL;
    void *p = bootstrap + bootstrap_used;
    bootstrap_used += size;
    return p;
}

static void resolve(void) {
    if (__atomic_load_n(&next_free, __ATOMIC_ACQUIRE)) return;
    resolving = 1;
    next_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
    next_calloc = (void *(*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
    next_realloc = (void *(*)(void *, size_t))dlsym(RTLD_NEXT, "realloc");
    __atomic_store_n(&next_free, (void (*)(void *))dlsym(RTLD_NEXT, "free"), __ATOMIC_RELEASE);
    resolving = 0;
}

static int should_fail(void) {
    if (__atomic_load_n(&countdown, __ATOMIC_RELAXED) <= 0) return 0;
    if (__atomic_sub_fetch(&countdown, 1, __ATOMIC_RELAXED) != 0) return 0;
    errno = ENOMEM;
    return 1;
}

void fail_after(long n) { __atomic_store_n(&countdown, n, __ATOMIC_SEQ_CST); }

long disarm(void) { return __atomic_exchange_n(&countdown, 0, __ATOMIC_SEQ_CST); }

void *malloc(size_t size) {
    if (resolving) return bootstrap_alloc(size);
    resolve();
    if (should_fail()) return NULL;
    return next_malloc(size);
}

void *calloc(size_t count, size_t size) {
    if (resolving) {
        if (size && count > SIZE_MAX / size) return NULL;
        return bootstrap_alloc(count * size); /* static storage: already zero */
    }
    resolve();
    if (should_fail()) return NULL;
    return next_calloc(count, size);
}

void *realloc(void *p, size_t size) {
    if (resolving) return bootstrap_alloc(size);
    resolve();
    if (p && in_bootstrap(p)) {
        /* The old size is unknown: copy what the bootstrap block can hold. */
        size_t room = (size_t)(bootstrap + sizeof bootstrap - (char *)p);
        void *moved = malloc(size);
        if (moved) memcpy(moved, p, size < room ? size : room);
        return moved;
    }
    if (should_fail()) return NULL;
    return next_realloc(p, size);
}

void free(void *p) {
    if (!p || in_bootstrap(p)) return;
    resolve();
    next_free(p);
}
