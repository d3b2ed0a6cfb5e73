#pragma once

/// \file
/// Lock discipline that clang checks at compile time (-Wthread-safety): which lock guards a
/// member, which a function must hold or acquires. Other compilers read them as nothing.

#if defined(__clang__)
/// A clang attribute; nothing for other compilers.
#define TS_ATTRIBUTE(x) __attribute__((x))
#else
/// A clang attribute; nothing for other compilers.
#define TS_ATTRIBUTE(x)
#endif

/// The class is a lock, of kind name.
#define TS_CAPABILITY(name) TS_ATTRIBUTE(capability(name))
/// The class holds a lock for the life of its object.
#define TS_SCOPED_CAPABILITY TS_ATTRIBUTE(scoped_lockable)
/// The member is read and written only with lock held.
#define TS_GUARDED_BY(lock) TS_ATTRIBUTE(guarded_by(lock))
/// The function is called with these locks held.
#define TS_REQUIRES(...) TS_ATTRIBUTE(requires_capability(__VA_ARGS__))
/// The function takes these locks (none named: the object itself) and returns holding them.
#define TS_ACQUIRE(...) TS_ATTRIBUTE(acquire_capability(__VA_ARGS__))
/// The function gives these locks back (none named: the object itself).
#define TS_RELEASE(...) TS_ATTRIBUTE(release_capability(__VA_ARGS__))
/// The function takes the lock when it returns the first argument.
#define TS_TRY_ACQUIRE(...) TS_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
/// The function is called without these locks held: it takes them itself.
#define TS_EXCLUDES(...) TS_ATTRIBUTE(locks_excluded(__VA_ARGS__))
