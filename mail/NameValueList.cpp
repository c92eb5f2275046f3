// NameValueList.cpp: the pairs of a name and value list, kept in the order added, and the
// look-up of a name without regard to case.
#include "mail/NameValueList.h"

#include "foundation/Owned.h"

namespace {

struct Pair : public QELObject {
    Pair(const QELString &name, const QELString &value)
        : name(name, QELHashedName::kCaseInsensitive), value(value) {}
    QELHashedName name;
    QELString value;
};

void DisposePair(uintptr_t *slot) {
    delete reinterpret_cast<Pair *>(*slot);
    *slot = 0;
}

const Pair *PairAt(const QELArray &pairs, uint32_t index) {
    return reinterpret_cast<const Pair *>(pairs.value(index));
}

}  // namespace

QELNameValueList::QELNameValueList() : pairs_(DisposePair) {}

QELNameValueList::~QELNameValueList() = default;

void QELNameValueList::Add(const QELString &name, const QELString &value) {
    QELOwned<Pair> pair = MakeOwned<Pair>(name, value);
    pairs_.append(reinterpret_cast<uintptr_t>(pair.get()));
    pair.release();
}

void QELNameValueList::Clear() { pairs_.clear(); }

QELHashedName QELNameValueList::name(uint32_t index) const {
    const Pair *pair = PairAt(pairs_, index);
    return pair != nullptr ? pair->name : QELHashedName();
}

QELString QELNameValueList::value(uint32_t index) const {
    const Pair *pair = PairAt(pairs_, index);
    return pair != nullptr ? pair->value : QELString();
}

bool QELNameValueList::Find(const QELString &name, QELString *value, uint32_t occurrence) const {
    const QELHashedName key(name, QELHashedName::kCaseInsensitive);
    for (uint32_t i = 0; i < pairs_.count(); ++i) {
        const Pair *pair = PairAt(pairs_, i);
        // The hash narrows the search; the texts decide, so two names that share a hash
        // are never taken for each other.
        if (pair->name != key || !pair->name.text().equalsIgnoringCase(name))
            continue;
        if (occurrence-- == 0) {
            *value = pair->value;
            return true;
        }
    }
    return false;
}
