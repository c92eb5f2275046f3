// Registration.h: announces the module's identity, its tags and its action to the host,
// and keeps the action name the host accepted.
#pragma once

#include "foundation/HashedName.h"
#include "module/HostServices.h"
#include "module/TagTable.h"

class QELRegistration {
public:
    // Runs every step (name, version, vendor, version-tracking URL, each registered tag
    // of the table in its order, the action) whatever the outcome of the earlier ones.
    // True only when the host accepted all of them.
    static bool Register(const QELHostServices &host, const QELTagTable &tags);

    // The action the module's status posts are sent to: "SendMail" unless the host
    // answered the registration with another name.
    static QELHashedName ActionName();
};
