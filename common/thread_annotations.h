// Clang's thread-safety annotations, checked by builds with -Wthread-safety and
// empty for other compilers. Annotate with common/mutex.h's Mutex, which clang
// knows as a capability; std::mutex is not one. Any file may use them.
#pragma once

#if defined(__clang__)
#define VELTO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELTO_THREAD_ANNOTATION(x)
#endif

// A type whose objects are held and released (a mutex, a thread's role).
#define VELTO_CAPABILITY(name) VELTO_THREAD_ANNOTATION(capability(name))
// An RAII type that holds a capability for its lifetime.
#define VELTO_SCOPED_CAPABILITY VELTO_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only while holding `x`.
#define VELTO_GUARDED_BY(x) VELTO_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose pointee is read or written only while holding `x`.
#define VELTO_PT_GUARDED_BY(x) VELTO_THREAD_ANNOTATION(pt_guarded_by(x))
// A function the caller calls while holding (REQUIRES) or not holding
// (EXCLUDES) the capabilities.
#define VELTO_REQUIRES(...) VELTO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VELTO_EXCLUDES(...) VELTO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes or gives up the capabilities.
#define VELTO_ACQUIRE(...) VELTO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VELTO_RELEASE(...) VELTO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define VELTO_TRY_ACQUIRE(...) VELTO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function that checks at run time that the caller holds the capability, so
// that the analysis may assume it from there on.
#define VELTO_ASSERT_CAPABILITY(x) VELTO_THREAD_ANNOTATION(assert_capability(x))
// A function that returns a reference to the capability `x`.
#define VELTO_RETURN_CAPABILITY(x) VELTO_THREAD_ANNOTATION(lock_returned(x))
// Leaves a function out of the analysis: only where the rule holds for a
// reason the analysis cannot follow, said in a comment beside it.
#define VELTO_NO_THREAD_SAFETY_ANALYSIS VELTO_THREAD_ANNOTATION(no_thread_safety_analysis)
