// PreferenceStore.h: the module preferences the host keeps for each region of its site,
// in memory or in an SQLite file that keeps them across restarts.
#ifndef VELQUOR_HOST_PREFERENCE_STORE_H
#define VELQUOR_HOST_PREFERENCE_STORE_H

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velquor::host {

class SqliteConnection;

// Preferences are (region, name) -> value. Region names are compared exactly; preference
// names ignoring ASCII case, because the module asks for a tag's switch with the tag name
// as the page spelled it. Thread-safe.
class PreferenceStore {
public:
    // A store that lives in memory only.
    PreferenceStore();
    ~PreferenceStore();
    PreferenceStore(const PreferenceStore &) = delete;
    PreferenceStore &operator=(const PreferenceStore &) = delete;

    // A store kept in the table "velquor_preferences" of an SQLite file (created when
    // missing); null with the reason in *error when the file cannot be used.
    static std::unique_ptr<PreferenceStore> openFile(const std::string &path, std::string *error);

    // The stored value; nullopt when none is stored.
    std::optional<std::string> get(const std::string &region, const std::string &name) const;
    // Stores the value (an empty value is a stored value); false if the file refused it.
    bool set(const std::string &region, const std::string &name, const std::string &value);
    // Removes the value so that the module's default applies again; true if one was stored.
    bool remove(const std::string &region, const std::string &name);
    // Every preference of the region as (name, value), ordered by folded name.
    std::vector<std::pair<std::string, std::string>> list(const std::string &region) const;

private:
    struct Entry {
        std::string name;  // as last set
        std::string value;
    };
    using Key = std::pair<std::string, std::string>;  // region, folded name

    mutable std::mutex mutex_;
    std::map<Key, Entry> entries_;
    std::unique_ptr<SqliteConnection> file_;
};

} // namespace velquor::host

#endif
