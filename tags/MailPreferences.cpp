// MailPreferences.cpp: the mail sections of the region preference page.
#include "tags/MailPreferences.h"

// The mail sections arrive together with mail sending; until then the page shows the
// tag switches alone and nothing is stored for mail.
QELString QELMailPreferences::BuildServerSection(const QELHostServices &) { return QELString(); }

QELString QELMailPreferences::BuildGMTSection(const QELHostServices &) { return QELString(); }

void QELMailPreferences::Store(const QELHostServices &) {}
