#pragma once

// Lock annotations that clang's -Wthread-safety checks at compile time. Other
// compilers see nothing: the annotations cost no code and no time.
#if defined(__clang__)
#define PSMR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PSMR_THREAD_ANNOTATION(x)
#endif

// A type that is a lock ("mutex") or holds one for a scope.
#define CAPABILITY(x) PSMR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY PSMR_THREAD_ANNOTATION(scoped_lockable)

// Members read or written only with the lock held (the pointer's target for PT_).
#define GUARDED_BY(x) PSMR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) PSMR_THREAD_ANNOTATION(pt_guarded_by(x))

// Lock order between locks; a lock taken in the wrong order is an error.
#define ACQUIRED_BEFORE(...) PSMR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) PSMR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// Functions called with the lock held, or without it.
#define REQUIRES(...) PSMR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) PSMR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// Functions that take or release a lock and leave it so.
#define ACQUIRE(...) PSMR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PSMR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) PSMR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A run-time check that the lock is held; the analysis trusts it from there on.
#define ASSERT_CAPABILITY(x) PSMR_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) PSMR_THREAD_ANNOTATION(lock_returned(x))

// Turns the analysis off for one function; each use says why beside it.
#define NO_THREAD_SAFETY_ANALYSIS PSMR_THREAD_ANNOTATION(no_thread_safety_analysis)
