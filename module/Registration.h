// Registration.h: announces the module's identity, its three tags and its action to
// the host, and keeps the action name the host accepted.
#pragma once

#include "foundation/HashedName.h"
#include "module/HostServices.h"

class QELRegistration {
public:
    // Runs every step (name, version, vendor, version-tracking URL, the tags
    // qelIncludeHTTP, qelPOP and qelSendMail, the action) whatever the outcome of the
    // earlier ones. True only when the host accepted all of them.
    static bool Register(const QELHostServices &host);

    // The action the module's status posts are sent to: "SendMail" unless the host
    // answered the registration with another name.
    static QELHashedName ActionName();
};
