// Clang's thread-safety attributes; empty for other compilers. Prefixed, since
// this header is installed with the client library's and must not clash with
// a program's own macros of the same purpose.
#pragma once

#if defined(__clang__)
#define TARNWEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARNWEL_THREAD_ANNOTATION(x)
#endif

#define TARNWEL_CAPABILITY(x) TARNWEL_THREAD_ANNOTATION(capability(x))
#define TARNWEL_SCOPED_CAPABILITY TARNWEL_THREAD_ANNOTATION(scoped_lockable)
#define TARNWEL_GUARDED_BY(x) TARNWEL_THREAD_ANNOTATION(guarded_by(x))
#define TARNWEL_ACQUIRED_BEFORE(...) TARNWEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define TARNWEL_REQUIRES(...) TARNWEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TARNWEL_ACQUIRE(...) TARNWEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TARNWEL_RELEASE(...) TARNWEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TARNWEL_TRY_ACQUIRE(...) TARNWEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TARNWEL_NO_THREAD_SAFETY_ANALYSIS TARNWEL_THREAD_ANNOTATION(no_thread_safety_analysis)
