// MailPreferences.h: the mail sections of the region preference page (how the SMTP
// server is chosen, the default GMT offset) and the storing of their posted values.
#pragma once

#include "foundation/String.h"
#include "module/HostServices.h"

class QELMailPreferences {
public:
    // The mail-server section: a choice of "never", "byDefault" or "always" (the stored
    // "useMailServerName", matched ignoring case, is selected) and the stored
    // "mailServerName", HTML-escaped, in a text field.
    static QELString BuildServerSection(const QELHostServices &host);
    // The GMT-offset section: a box ticked when "returnGMTOffsetByDefault" is true and the
    // offsets -12 to 12 in half hours, the one equal to the stored "gmtOffset" selected
    // (a stored value that is no such offset selects none).
    static QELString BuildGMTSection(const QELHostServices &host);
    // Stores the four posted fields as received, each under its preference: a missing
    // one stores "never", "", "no" or "0"; a box posted without a value stores "yes".
    static void Store(const QELHostServices &host);
};
