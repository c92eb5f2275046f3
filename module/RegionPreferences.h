// RegionPreferences.h: the region preference page: a switch per tag (and the mail
// preference sections), built for 'MGPr' and stored from the posted form for 'MSPr'.
#pragma once

#include "foundation/String.h"
#include "module/HostServices.h"
#include "module/TagTable.h"

class QELRegionPreferences {
public:
    // The page's HTML. A tag's box is ticked only when its preference is exactly "yes"
    // (no stored value counts as "yes").
    static QELString BuildPage(const QELHostServices &host, const QELTagTable &tags);
    // A tag whose box was not posted, or posted empty or "no", is switched off ("no");
    // any other value removes the preference, which switches it on.
    static void StorePage(const QELHostServices &host, const QELTagTable &tags);
};
