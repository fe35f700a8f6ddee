// Lock contracts the compiler checks: Clang's thread-safety attributes under short names.
//
// A lock type is a capability (TQ_CAPABILITY); a field names the lock that guards it
// (TQ_GUARDED_BY), a function the locks it needs held (TQ_REQUIRES), must not hold
// (TQ_EXCLUDES), takes (TQ_ACQUIRE) or gives back (TQ_RELEASE).  Clang with
// -Wthread-safety (our Clang builds) then reports every access without the lock as an
// error.  Other compilers see nothing.
#ifndef TQ_PLATFORM_TQTHREAD_ANNOTATIONS_H
#define TQ_PLATFORM_TQTHREAD_ANNOTATIONS_H

#if defined(__clang__)
#define TQ_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TQ_THREAD_ANNOTATION(x)
#endif

#define TQ_CAPABILITY(name) TQ_THREAD_ANNOTATION(capability(name))
#define TQ_SCOPED_CAPABILITY TQ_THREAD_ANNOTATION(scoped_lockable)
#define TQ_GUARDED_BY(lock) TQ_THREAD_ANNOTATION(guarded_by(lock))
#define TQ_PT_GUARDED_BY(lock) TQ_THREAD_ANNOTATION(pt_guarded_by(lock))
#define TQ_REQUIRES(...) TQ_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TQ_EXCLUDES(...) TQ_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TQ_ACQUIRE(...) TQ_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TQ_RELEASE(...) TQ_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TQ_ASSERT_CAPABILITY(lock) TQ_THREAD_ANNOTATION(assert_capability(lock))
#define TQ_RETURN_CAPABILITY(lock) TQ_THREAD_ANNOTATION(lock_returned(lock))
// For the few functions whose locking the analysis cannot follow (a lock taken or not
// by a run-time choice); a comment beside each says who holds what.
#define TQ_NO_THREAD_SAFETY_ANALYSIS TQ_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif
