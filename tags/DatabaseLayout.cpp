// DatabaseLayout.cpp: adding a database's fields, and recognising a layout left unfinished.
#include "tags/DatabaseLayout.h"

bool QELDatabaseLayout::IsUnfinished(const QELHostDatabase &database, uint32_t handle, const Field *layout,
                                     uint32_t count, uint32_t present) {
    if (present == 0 || present >= count)
        return false;
    const QELModuleNames &names = ModuleNames();
    for (uint32_t i = 0; i < present; ++i) {
        QELString criteria(names.*layout[i].name);
        criteria += " = ''";
        if (database.SelectRecords(handle, criteria) != 0)
            return false;
    }
    return database.SelectRecords(handle, QELString()) == 0 && database.GetSelectedRecordCount(handle) == 0;
}

int32_t QELDatabaseLayout::AddFields(const QELHostDatabase &database, uint32_t handle, const Field *layout,
                                     uint32_t count, uint32_t from) {
    const QELModuleNames &names = ModuleNames();
    for (uint32_t i = from; i < count; ++i) {
        int32_t code = database.AddField(handle, names.*layout[i].name, layout[i].type);
        if (code != 0)
            return code;
    }
    return 0;
}
