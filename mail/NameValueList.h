// NameValueList.h: QELNameValueList, an ordered list of name and value pairs whose names
// compare without regard to case; the MIME parser reports a message's named parts in one.
#pragma once

#include <cstdint>

#include "foundation/Array.h"
#include "foundation/HashedName.h"
#include "foundation/String.h"

class QELNameValueList : public QELObject {
public:
    // An empty list.
    QELNameValueList();
    // Deletes every pair.
    ~QELNameValueList() override;
    // The list owns its pairs: it is never copied.
    QELNameValueList(const QELNameValueList &) = delete;
    QELNameValueList &operator=(const QELNameValueList &) = delete;

    // Appends the pair; a name that is already there is kept too, so a name may occur
    // many times. Throws QELObject::MemoryAllocationFailure.
    void Add(const QELString &name, const QELString &value);
    // Deletes every pair; count() becomes 0.
    void Clear();

    uint32_t count() const { return pairs_.count(); }
    // The name and the value of pair index, in the order added; the empty name and the
    // empty value when index is at or beyond count().
    QELHashedName name(uint32_t index) const;
    QELString value(uint32_t index) const;
    // The value of the occurrence-th pair (from 0) whose name equals name, ignoring case:
    // true with the value in *value; false, leaving *value alone, when there is none.
    bool Find(const QELString &name, QELString *value, uint32_t occurrence = 0) const;

private:
    // Slots point to pairs that the list owns.
    QELArray pairs_;
};
