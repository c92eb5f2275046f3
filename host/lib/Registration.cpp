// Registration.cpp: the record of a module's registration.
// A tag registered again keeps one entry with its latest spelling and kind.
#include "host/lib/Registration.h"

#include "host/lib/HostText.h"

namespace velquor::host {

std::optional<RegisteredTag> Registration::findTag(const std::string &name) const {
    for (const RegisteredTag &tag : tags) {
        if (HostText::equalsIgnoringCase(tag.name, name)) {
            return tag;
        }
    }
    return std::nullopt;
}

void Registration::addTag(const std::string &name, uint32_t kind) {
    for (RegisteredTag &tag : tags) {
        if (HostText::equalsIgnoringCase(tag.name, name)) {
            tag.name = name;
            tag.kind = kind;
            return;
        }
    }
    tags.push_back(RegisteredTag{name, kind});
}

} // namespace velquor::host
