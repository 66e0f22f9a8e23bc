// Clones of a hot function per instruction set, one of which an ifunc resolver picks when the
// program loads. Under ThreadSanitizer the resolver, instrumented like any function, would run
// before the sanitizer's runtime exists: there the function is built once, for the baseline.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define KESTRANE_ACQ_NO_CLONES 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTRANE_ACQ_NO_CLONES 1
#endif
#endif

#if defined(KESTRANE_ACQ_NO_CLONES)
#define KESTRANE_ACQ_CLONES(...)
#else
#define KESTRANE_ACQ_CLONES(...) [[gnu::target_clones(__VA_ARGS__)]]
#endif
