#pragma once

// Lock discipline that clang checks at compile time (-Wthread-safety): which lock guards a
// member, which a function must hold or acquires. Other compilers read them as nothing.
#if defined(__clang__)
#define TS_ATTRIBUTE(x) __attribute__((x))
#else
#define TS_ATTRIBUTE(x)
#endif

#define TS_CAPABILITY(name) TS_ATTRIBUTE(capability(name))
#define TS_SCOPED_CAPABILITY TS_ATTRIBUTE(scoped_lockable)
#define TS_GUARDED_BY(lock) TS_ATTRIBUTE(guarded_by(lock))
#define TS_REQUIRES(...) TS_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define TS_ACQUIRE(...) TS_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define TS_RELEASE(...) TS_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TS_TRY_ACQUIRE(...) TS_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define TS_EXCLUDES(...) TS_ATTRIBUTE(locks_excluded(__VA_ARGS__))
