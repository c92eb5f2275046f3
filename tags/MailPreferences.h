// MailPreferences.h: the mail sections of the region preference page (how the SMTP
// server is chosen, the default GMT offset) and the storing of their posted values.
#pragma once

#include "foundation/String.h"
#include "module/HostServices.h"

class QELMailPreferences {
public:
    // The mail-server section of the page.
    static QELString BuildServerSection(const QELHostServices &host);
    // The GMT-offset section of the page.
    static QELString BuildGMTSection(const QELHostServices &host);
    // Stores the values posted from both sections.
    static void Store(const QELHostServices &host);
};
