// StoredRecords.h: the records of one of velquor-host's databases, read from its SQLite
// file, for the tests that check what a tag stored.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/lib/DatabaseStore.h"
#include "module/HostInterface.h"

using StoredRecord = std::map<std::string, std::string>;

// Each record of the database, with the named fields as text. None when the file cannot
// be opened or holds no such database (it is never made here, under a running host).
inline std::vector<StoredRecord> StoredRecords(const std::string &path, const std::string &database,
                                               const std::vector<std::string> &fields) {
    std::string error;
    std::shared_ptr<velquor::host::DatabaseStore> store = velquor::host::DatabaseStore::open(path, &error);
    std::vector<StoredRecord> records;
    if (!store)
        return records;
    const std::vector<std::string> names = store->databaseNames();
    uint32_t handle = 0, count = 0;
    if (std::find(names.begin(), names.end(), database) == names.end() ||
        store->openDatabase(1, database, QEL_OPEN_SHARED, &handle) != 0)
        return records;
    store->selectRecords(1, handle, "");
    store->selectedCount(1, handle, &count);
    for (uint32_t i = 0; i < count && store->moveToNext(1, handle) == 0; ++i) {
        StoredRecord record;
        for (const std::string &field : fields) {
            velquor::host::FieldValue value;
            store->getFieldValue(1, handle, field, &value);
            record[field] = value.asText();
        }
        records.push_back(record);
    }
    store->closeAll(1);
    return records;
}
