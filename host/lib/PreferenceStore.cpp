// PreferenceStore.cpp: region preferences in memory, written through to an SQLite table
// when the store was opened on a file.
#include "host/lib/PreferenceStore.h"

#include "host/lib/HostText.h"
#include "host/lib/SqliteConnection.h"

#include <sqlite3.h>

namespace velquor::host {

PreferenceStore::PreferenceStore() = default;

PreferenceStore::~PreferenceStore() = default;

std::unique_ptr<PreferenceStore> PreferenceStore::openFile(const std::string &path, std::string *error) {
    std::unique_ptr<PreferenceStore> store(new PreferenceStore());
    auto file = std::make_unique<SqliteConnection>();
    if (!file->open(path, 5000, error)) {
        return nullptr;
    }
    if (!file->execute("CREATE TABLE IF NOT EXISTS velquor_preferences ("
                       "region TEXT NOT NULL, folded TEXT NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL, "
                       "PRIMARY KEY (region, folded))",
                       error)) {
        return nullptr;
    }
    SqliteStatement rows = file->prepare("SELECT region, folded, name, value FROM velquor_preferences");
    if (!rows.valid()) {
        if (error != nullptr) {
            *error = file->lastError();
        }
        return nullptr;
    }
    int step = SQLITE_ROW;
    while ((step = rows.step()) == SQLITE_ROW) {
        store->entries_[Key(rows.text(0), rows.text(1))] = Entry{rows.text(2), rows.text(3)};
    }
    if (step != SQLITE_DONE) {
        if (error != nullptr) {
            *error = "cannot read the preferences: " + file->lastError();
        }
        return nullptr;
    }
    store->file_ = std::move(file);
    return store;
}

std::optional<std::string> PreferenceStore::get(const std::string &region, const std::string &name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(Key(region, HostText::lower(name)));
    if (found == entries_.end()) {
        return std::nullopt;
    }
    return found->second.value;
}

bool PreferenceStore::set(const std::string &region, const std::string &name, const std::string &value) {
    std::lock_guard<std::mutex> lock(mutex_);
    Key key(region, HostText::lower(name));
    if (file_ != nullptr) {
        SqliteStatement write = file_->prepare(
            "INSERT INTO velquor_preferences (region, folded, name, value) VALUES (?, ?, ?, ?) "
            "ON CONFLICT (region, folded) DO UPDATE SET name = excluded.name, value = excluded.value");
        if (!write.valid()) {
            return false;
        }
        write.bind(1, key.first);
        write.bind(2, key.second);
        write.bind(3, name);
        write.bind(4, value);
        if (write.step() != SQLITE_DONE) {
            return false;
        }
    }
    entries_[key] = Entry{name, value};
    return true;
}

bool PreferenceStore::remove(const std::string &region, const std::string &name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Key key(region, HostText::lower(name));
    if (file_ != nullptr) {
        SqliteStatement erase = file_->prepare("DELETE FROM velquor_preferences WHERE region = ? AND folded = ?");
        if (!erase.valid()) {
            return false;
        }
        erase.bind(1, key.first);
        erase.bind(2, key.second);
        if (erase.step() != SQLITE_DONE) {
            return false;
        }
    }
    return entries_.erase(key) > 0;
}

std::vector<std::pair<std::string, std::string>> PreferenceStore::list(const std::string &region) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto &[key, entry] : entries_) {
        if (key.first == region) {
            result.emplace_back(entry.name, entry.value);
        }
    }
    return result;
}

} // namespace velquor::host
