// DatabaseStore.h: the host's record databases, each a table of one SQLite file, with
// handles, cursors, pending records and open locks owned by requests on many threads.
#ifndef VELQUOR_HOST_DATABASE_STORE_H
#define VELQUOR_HOST_DATABASE_STORE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velquor::host {

class SqliteConnection;

// A value as stored: nothing, an integer (4-byte forms) or a text.
struct FieldValue {
    enum class Kind { Null, Integer, Text };
    Kind kind = Kind::Null;
    int64_t integer = 0;
    std::string text;

    static FieldValue ofInteger(int64_t value);
    static FieldValue ofText(const std::string &value);
    // The text form: "" for nothing, the decimal digits of an integer.
    std::string asText() const;
    // The integer form: 0 for nothing, the leading decimal number of a text.
    int64_t asInteger() const;
};

// A field as the module added it: its name and its 32-bit type value, kept unchanged.
struct FieldInfo {
    std::string name;
    uint32_t type = 0;
    bool unique = false;  // added with QEL_FIELD_UNIQUE_TEXT
};

// A record as a read-only listing shows it: its identifier and its values in the order the
// fields were added, each text cut to a number of bytes.
struct RecordExcerpt {
    int64_t id = 0;
    std::vector<FieldValue> values;
    std::vector<int64_t> textBytes;  // per value: a text's whole length in bytes, else 0
};

// One page of a database's records for a read-only listing.
struct RecordPage {
    std::vector<FieldInfo> fields;
    int64_t total = 0;  // the records of the database
    std::vector<RecordExcerpt> records;
};

// Semantics the module relies on:
// - A name never seen before opens as a new, empty database with 0 fields; names are
//   compared ignoring ASCII case. The hidden record identifier "QELIDFIELD" is not a field.
// - Open mode 2 (shared) and 3 (exclusive) are honoured by the store's own lock per
//   database, held from open to close: an exclusive open waits until no other owner holds
//   the database, a shared open waits while another owner holds it exclusively. Waits are
//   bounded by lockWait(); an open that is still blocked then answers 'MGen'. Handles of the
//   same owner never block each other.
// - The current set of a handle is every record (or, after a selection, every record
//   matching the criteria) that existed when the handle was opened or last selected, up to
//   and including the last record the handle added itself, in identifier order. Records
//   added by other handles later appear after the next selection, so MoveToLastRecord
//   right after AddRecord always makes the handle's own new record current, also while
//   other requests add records.
// - CreateRecord starts a pending record that SetFieldValue fills and AddRecord stores;
//   a refused AddRecord stores nothing and keeps the pending record. Without a pending
//   record SetFieldValue edits the current record and UpdateRecord stores the edits;
//   moving discards edits not stored. AddRecord does not move the cursor.
// - A field added with QEL_FIELD_UNIQUE_TEXT carries a unique index: AddRecord and
//   UpdateRecord answer 'MOpF' and store nothing for a value already stored.
// - Record identifiers are never reused (a deleted record's identifier stays unused).
// Results: 0, or 'MNtF' (no such handle, field, record, or a move past either end),
// 'MIPV' (a bad mode, name or criteria), 'MOpF' (refused by a constraint), 'MGen' (a lock
// wait ran out, SQLite failed).
class DatabaseStore {
public:
    // Opens the store on an SQLite file (created when missing) or on ":memory:". Null with
    // the reason in *error when the file cannot be opened or its catalogue of databases
    // and fields cannot be read in full. The catalogue in memory changes only after
    // SQLite has stored the change.
    static std::shared_ptr<DatabaseStore> open(const std::string &file, std::string *error);
    ~DatabaseStore();
    DatabaseStore(const DatabaseStore &) = delete;
    DatabaseStore &operator=(const DatabaseStore &) = delete;

    void setLockWait(std::chrono::milliseconds wait);
    std::chrono::milliseconds lockWait() const;

    int32_t openDatabase(uint64_t owner, const std::string &name, uint32_t mode, uint32_t *handle);
    int32_t closeDatabase(uint64_t owner, uint32_t handle);
    // Closes every handle of the owner, discarding pending records; answers how many.
    size_t closeAll(uint64_t owner);

    int32_t addField(uint64_t owner, uint32_t handle, const std::string &name, uint32_t type);
    int32_t fieldCount(uint64_t owner, uint32_t handle, uint32_t *count);
    int32_t createRecord(uint64_t owner, uint32_t handle);
    int32_t addRecord(uint64_t owner, uint32_t handle);
    int32_t updateRecord(uint64_t owner, uint32_t handle);
    int32_t deleteRecord(uint64_t owner, uint32_t handle, uint32_t recordId);
    int32_t setFieldValue(uint64_t owner, uint32_t handle, const std::string &field, const FieldValue &value);
    // "QELIDFIELD" gives the current record's identifier.
    int32_t getFieldValue(uint64_t owner, uint32_t handle, const std::string &field, FieldValue *value);
    // Empty criteria: every record. Otherwise exactly  field name, " = '", value, "'"  with
    // quotes inside the value doubled; the field name is everything before the first " = '".
    // The cursor goes before the first record of the new set.
    int32_t selectRecords(uint64_t owner, uint32_t handle, const std::string &criteria);
    int32_t selectedCount(uint64_t owner, uint32_t handle, uint32_t *count);
    int32_t moveToFirst(uint64_t owner, uint32_t handle);
    int32_t moveToLast(uint64_t owner, uint32_t handle);
    // From before the first record (after opening or selecting) this is the first record.
    int32_t moveToNext(uint64_t owner, uint32_t handle);
    int32_t moveToRecord(uint64_t owner, uint32_t handle, uint32_t recordId);
    // Forward (positive) or backward (negative) by that many records of the current set.
    int32_t moveBy(uint64_t owner, uint32_t handle, int32_t count);

    // Inspection for tests and the page server.
    // The name of the database a handle of that owner is open on.
    std::optional<std::string> databaseName(uint64_t owner, uint32_t handle);
    std::vector<std::string> databaseNames();
    // The fields of a database in the order they were added; empty for an unknown name.
    std::vector<FieldInfo> fields(const std::string &database);
    size_t openHandles();
    size_t openHandles(uint64_t owner);
    // A page of a database's records, newest (highest identifier) first: `offset` records
    // skipped, at most `count` given (none for 0, only the total), every text cut after
    // `textBytes` bytes, so that a long value is never read whole. Takes no open lock, so
    // it never waits behind a request; each record is read as last stored. 0, 'MNtF' for
    // an unknown database, 'MGen' when SQLite fails.
    int32_t readNewest(const std::string &database, int64_t offset, int64_t count, int64_t textBytes,
                       RecordPage *page);
    // Removes a database with its records; refused while a handle is open on it.
    bool dropDatabase(const std::string &name, std::string *error);

    // Splits criteria text; false when it is neither empty nor of the form above.
    static bool parseCriteria(const std::string &criteria, std::string *field, std::string *value);

private:
    struct Database;
    struct Session;
    struct LockState;

    DatabaseStore();
    bool loadCatalogue(std::string *error);
    Database *findDatabase(const std::string &name);
    Database *createDatabase(const std::string &name, std::string *error);
    // Under the lock, runs action on the owner's session of that handle and answers what
    // it answers; 'MNtF' when the owner has no such handle.
    int32_t withSession(uint64_t owner, uint32_t handle, const std::function<int32_t(Session &)> &action);
    bool hasCurrentRecord(const Session &open);
    int32_t addFieldLocked(Session &open, const std::string &name, uint32_t type);
    int32_t addRecordLocked(Session &open);
    int32_t updateRecordLocked(Session &open);
    // The cursor moves: under the lock, the session's cursor goes to the record target
    // names (nothing found: 'MNtF' and no change).
    int32_t move(uint64_t owner, uint32_t handle, const std::function<std::optional<int64_t>(const Session &)> &target);
    bool acquire(uint64_t owner, const std::string &key, bool exclusive);
    void release(uint64_t owner, const std::string &key, bool exclusive);
    int32_t closeLocked(uint32_t handle);
    std::optional<int64_t> findRecord(const Session &open, const std::string &condition, const std::string &order,
                                      int64_t offset, int64_t bound);
    bool recordExists(const Database &database, int64_t id);
    int64_t maxIdentifier(const Database &database);
    const FieldInfo *findField(const Database &database, const std::string &name) const;

    mutable std::mutex mutex_;  // the connection, the catalogue and the sessions
    std::unique_ptr<SqliteConnection> connection_;
    std::map<std::string, std::unique_ptr<Database>> databases_;  // by folded name
    std::map<uint32_t, std::unique_ptr<Session>> sessions_;
    uint32_t nextHandle_ = 1;

    mutable std::mutex lockMutex_;  // the open locks
    std::condition_variable lockChanged_;
    std::map<std::string, std::unique_ptr<LockState>> locks_;
    std::chrono::milliseconds lockWait_{5000};
};

} // namespace velquor::host

#endif
