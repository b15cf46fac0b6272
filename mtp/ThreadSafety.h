#pragma once
// Lock rules that Clang checks (-Wthread-safety) instead of comments that state them. With other
// compilers the attributes expand to nothing. libstdc++'s std::mutex and std::lock_guard carry no
// annotations, so members guarded by a lock use Mutex and MutexLocker below.

#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

// A type that works as a lock (a mutex).
#define CAPABILITY(name) THREAD_ANNOTATION(capability(name))
// A type that holds a lock for its lifetime (a scoped locker).
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
// The member may be read or written only while `lock` is held.
#define GUARDED_BY(lock) THREAD_ANNOTATION(guarded_by(lock))
// What the pointer member points to may be touched only while `lock` is held.
#define PT_GUARDED_BY(lock) THREAD_ANNOTATION(pt_guarded_by(lock))
// Lock order: this lock is taken before (after) the named ones.
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// The caller must hold the locks.
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the locks (the function takes them).
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes, releases, or tries to take the locks (the object itself when none named).
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The function returns a reference to the lock.
#define RETURN_CAPABILITY(lock) THREAD_ANNOTATION(lock_returned(lock))
// Turns the analysis off for one function; say why next to it.
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

namespace mtp {

// std::mutex that the analysis knows as a lock.
class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    [[nodiscard]] bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  private:
    std::mutex mutex_;
};

// Holds a Mutex from construction to destruction. It is also what std::condition_variable_any
// waits on: the wait releases and retakes the mutex, and the waiting code runs only with it held.
class SCOPED_CAPABILITY MutexLocker {
  public:
    explicit MutexLocker(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLocker() RELEASE() {
        if (locked_) mutex_.unlock();
    }
    MutexLocker(const MutexLocker&) = delete;
    MutexLocker& operator=(const MutexLocker&) = delete;

    void lock() ACQUIRE() {
        mutex_.lock();
        locked_ = true;
    }
    void unlock() RELEASE() {
        mutex_.unlock();
        locked_ = false;
    }

  private:
    Mutex& mutex_;
    bool locked_ = true;
};

}  // namespace mtp
