// Owned.h: QELOwned, the single owner of a module object made with new: it deletes the
// object through its virtual destructor, and so gives the memory back through QELObject.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "foundation/Object.h"

// Move-only. Functions that create connections, streams and file items return one, so
// that an exception thrown before the caller has finished with the object (a failed
// allocation, say) still closes the socket or file it holds.
template <typename T>
class QELOwned {
    static_assert(std::is_base_of<QELObject, T>::value, "QELOwned holds module objects");

public:
    QELOwned() = default;
    explicit QELOwned(T *object) : object_(object) {}
    template <typename U, typename = std::enable_if_t<std::is_convertible<U *, T *>::value>>
    QELOwned(QELOwned<U> &&other) : object_(other.release()) {}  // NOLINT: converts like a pointer
    QELOwned(QELOwned &&other) noexcept : object_(other.release()) {}
    QELOwned &operator=(QELOwned &&other) noexcept {
        reset(other.release());
        return *this;
    }
    QELOwned(const QELOwned &) = delete;
    QELOwned &operator=(const QELOwned &) = delete;
    ~QELOwned() { delete object_; }

    T *get() const { return object_; }
    T *operator->() const { return object_; }
    T &operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    friend bool operator==(const QELOwned &owned, std::nullptr_t) { return owned.object_ == nullptr; }
    friend bool operator!=(const QELOwned &owned, std::nullptr_t) { return owned.object_ != nullptr; }

    // Gives the object up without deleting it.
    T *release() { return std::exchange(object_, nullptr); }
    // Deletes the object held and holds this one instead.
    void reset(T *object = nullptr) {
        T *old = std::exchange(object_, object);
        delete old;
    }

private:
    T *object_ = nullptr;
};

// Creates a module object owned from the start.
template <typename T, typename... Arguments>
QELOwned<T> MakeOwned(Arguments &&...arguments) {
    return QELOwned<T>(new T(std::forward<Arguments>(arguments)...));
}
