// TagTable.h: what the tags give the module's dispatcher: each tag's name, the kind it is
// registered with and its handler; the action's handler; the tags' preference rows.
#pragma once

#include <cstdint>

#include "foundation/HashedName.h"
#include "foundation/String.h"
#include "module/HostDatabase.h"
#include "module/HostServices.h"

typedef int32_t (*QELTagHandler)(const QELHostServices &host, QELString &output);
typedef int32_t (*QELActionHandler)(const QELHostServices &host, const QELHostDatabase &database);
typedef QELString (*QELPreferenceRowBuilder)(const QELHostServices &host);
typedef void (*QELPreferenceStorer)(const QELHostServices &host);
typedef void (*QELTerminationHandler)();

struct QELTagEntry {
    const QELHashedName *name;  // compared by its case-insensitive key
    uint32_t kind;              // the kind registered with the host; 0: not registered
    QELTagHandler run;
};

struct QELTagTable {
    // In the order tag names are compared; the first match runs.
    const QELTagEntry *entries;
    uint32_t entryCount;
    // Runs the module's action.
    QELActionHandler runAction;
    // The rows the tags add to the region preference page, in order, and the storing of
    // what those rows post.
    const QELPreferenceRowBuilder *preferenceRows;
    uint32_t preferenceRowCount;
    QELPreferenceStorer storePreferences;
    // Runs for the termination request: waits (bounded) for the tags' background work.
    QELTerminationHandler terminate;
};
