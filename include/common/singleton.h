#pragma once

#include <QMutex>
#include <QMutexLocker>

#include <atomic>

// Process-wide instance of T, built on first use with T's default constructor and never destroyed.
// The constructor runs on the first asking thread under the mutex, so it must not ask for
// Singleton<T> itself.
template <typename T> class Singleton
{
public:
    static T* instance()
    {
        T* object = s_instance.load(std::memory_order_acquire);
        if (object) {
            return object;
        }
        QMutexLocker locker(&s_mutex);
        object = s_instance.load(std::memory_order_relaxed);
        if (!object) {
            object = new T();
            s_instance.store(object, std::memory_order_release);
        }
        return object;
    }

    Singleton() = delete;

private:
    static inline std::atomic<T*> s_instance{nullptr};
    static inline QMutex s_mutex;
};
