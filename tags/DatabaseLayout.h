// DatabaseLayout.h: QELDatabaseLayout, the layout of a database that the module lays out
// itself, one field at a time: adding it, and knowing one that a stopped process left unfinished.
#pragma once

#include <cstdint>

#include "foundation/String.h"
#include "module/HostDatabase.h"
#include "module/ModuleNames.h"

class QELDatabaseLayout {
public:
    struct Field {
        const QELString QELModuleNames::*name;
        uint32_t type;
    };

    // Whether the open database holds an unfinished layout: 0 < present < count fields, each
    // of the first `present` fields of layout answers a search by its name, and it holds
    // no record. Only a process that stopped while adding the fields leaves that behind
    // (the fields are added under an exclusive open). Changes the handle's selection to
    // every record. False on any failure of the host.
    static bool IsUnfinished(const QELHostDatabase &database, uint32_t handle, const Field *layout, uint32_t count,
                             uint32_t present);

    // Adds the fields layout[from] to layout[count - 1] in order, stopping at the first the
    // host refuses: 0, or that code.
    static int32_t AddFields(const QELHostDatabase &database, uint32_t handle, const Field *layout, uint32_t count,
                             uint32_t from);
};
