// Registration.h: what a module announced about itself during its initialisation
// request: name, version, vendor, version-tracking URL, tags and action.
#ifndef VELQUOR_HOST_REGISTRATION_H
#define VELQUOR_HOST_REGISTRATION_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velquor::host {

struct RegisteredTag {
    std::string name;
    uint32_t kind = 0;  // QEL_TAG_KIND_WITH_BODY or QEL_TAG_KIND_EMPTY
};

struct Registration {
    std::string moduleName;
    std::string moduleVersion;
    std::string moduleVendor;
    std::string trackingURL;
    std::vector<RegisteredTag> tags;  // in registration order; a name registered again keeps one entry
    std::string actionName;           // as answered to the module ("" before registration)

    // The registered tag of that name, ignoring case.
    std::optional<RegisteredTag> findTag(const std::string &name) const;
    // Records a tag; a name already registered (ignoring case) gets the new spelling and kind.
    void addTag(const std::string &name, uint32_t kind);
};

} // namespace velquor::host

#endif
