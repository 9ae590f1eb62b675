// Clang thread-safety annotations. They document which mutex guards which
// data and which locks a function needs; clang checks them with
// -Wthread-safety, other compilers ignore them.
#pragma once

#if defined(__clang__)
#define MEVORA_TSA(x) __attribute__((x))
#else
#define MEVORA_TSA(x)
#endif

#define MEVORA_CAPABILITY(x) MEVORA_TSA(capability(x))
#define MEVORA_SCOPED_CAPABILITY MEVORA_TSA(scoped_lockable)
#define MEVORA_GUARDED_BY(x) MEVORA_TSA(guarded_by(x))
#define MEVORA_PT_GUARDED_BY(x) MEVORA_TSA(pt_guarded_by(x))
#define MEVORA_ACQUIRED_AFTER(...) MEVORA_TSA(acquired_after(__VA_ARGS__))
#define MEVORA_REQUIRES(...) MEVORA_TSA(requires_capability(__VA_ARGS__))
#define MEVORA_REQUIRES_SHARED(...) MEVORA_TSA(requires_shared_capability(__VA_ARGS__))
#define MEVORA_ACQUIRE(...) MEVORA_TSA(acquire_capability(__VA_ARGS__))
#define MEVORA_ACQUIRE_SHARED(...) MEVORA_TSA(acquire_shared_capability(__VA_ARGS__))
#define MEVORA_RELEASE(...) MEVORA_TSA(release_capability(__VA_ARGS__))
#define MEVORA_RELEASE_SHARED(...) MEVORA_TSA(release_shared_capability(__VA_ARGS__))
#define MEVORA_RELEASE_GENERIC(...) MEVORA_TSA(release_generic_capability(__VA_ARGS__))
#define MEVORA_TRY_ACQUIRE(...) MEVORA_TSA(try_acquire_capability(__VA_ARGS__))
#define MEVORA_TRY_ACQUIRE_SHARED(...) MEVORA_TSA(try_acquire_shared_capability(__VA_ARGS__))
#define MEVORA_EXCLUDES(...) MEVORA_TSA(locks_excluded(__VA_ARGS__))
#define MEVORA_NO_THREAD_SAFETY_ANALYSIS MEVORA_TSA(no_thread_safety_analysis)
