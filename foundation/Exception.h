// Exception.h: the module's exception root. Thrown only for a failing heap and for a
// path of the wrong kind; the module's entry point catches everything.
#pragma once

#include <cstddef>

class QELException {
public:
    QELException() = default;
    QELException(const QELException &) = default;
    QELException &operator=(const QELException &) = default;
    virtual ~QELException();

    // A new exception of the base type, whatever the type of this one.
    virtual QELException *duplicate() const;
    // A short description for logs.
    virtual const char *what() const noexcept;

    // Duplicates live in module memory like every other module object.
    static void *operator new(size_t size);
    static void operator delete(void *block) noexcept;
};
