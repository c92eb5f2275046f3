// DatabaseStore.cpp: record databases as tables of one SQLite file, with a catalogue of
// their fields, per-handle cursors and the store's own shared/exclusive open locks.
#include "host/lib/DatabaseStore.h"

#include "host/lib/HostText.h"
#include "host/lib/SqliteConnection.h"
#include "module/HostInterface.h"

#include <sqlite3.h>

#include <climits>

namespace velquor::host {

namespace {

const int32_t kNotFound = static_cast<int32_t>(QEL_RESULT_NOT_FOUND);
const int32_t kInvalid = static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);
const int32_t kRefused = static_cast<int32_t>(QEL_RESULT_OPERATION_FAILED);
const int32_t kGeneral = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);

const char kIdentifierField[] = "QELIDFIELD";

bool isConstraint(int rc) { return (rc & 0xFF) == SQLITE_CONSTRAINT; }

void bindValue(SqliteStatement &statement, int index, const FieldValue &value) {
    switch (value.kind) {
    case FieldValue::Kind::Null: statement.bindNull(index); break;
    case FieldValue::Kind::Integer: statement.bind(index, value.integer); break;
    case FieldValue::Kind::Text: statement.bind(index, value.text); break;
    }
}

FieldValue columnValue(const SqliteStatement &statement, int column) {
    if (statement.isNull(column)) {
        return FieldValue();
    }
    if (statement.isInteger(column)) {
        return FieldValue::ofInteger(statement.integer(column));
    }
    return FieldValue::ofText(statement.text(column));
}

} // namespace

FieldValue FieldValue::ofInteger(int64_t value) {
    FieldValue result;
    result.kind = Kind::Integer;
    result.integer = value;
    return result;
}

FieldValue FieldValue::ofText(const std::string &value) {
    FieldValue result;
    result.kind = Kind::Text;
    result.text = value;
    return result;
}

std::string FieldValue::asText() const {
    switch (kind) {
    case Kind::Null: return std::string();
    case Kind::Integer: return std::to_string(integer);
    case Kind::Text: return text;
    }
    return std::string();
}

int64_t FieldValue::asInteger() const {
    if (kind == Kind::Integer) {
        return integer;
    }
    if (kind == Kind::Null) {
        return 0;
    }
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t result = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (result > (INT64_MAX - digit) / 10) {
            return negative ? INT64_MIN : INT64_MAX;
        }
        result = result * 10 + digit;
    }
    return negative ? -result : result;
}

struct DatabaseStore::Database {
    std::string name;   // as first opened
    std::string table;  // SQLite table: "db:" + name
    std::vector<FieldInfo> fields;
};

struct DatabaseStore::Session {
    uint64_t owner = 0;
    std::string key;  // folded database name
    bool exclusive = false;
    Database *database = nullptr;
    // The selection: none (every record) or one field holding one value.
    bool selected = false;
    std::string criteriaColumn;
    std::string criteriaValue;
    int64_t horizon = 0;  // highest identifier in the current set
    int64_t current = 0;  // 0: before the first record
    bool pending = false;
    std::vector<std::pair<std::string, FieldValue>> pendingValues;  // field name, value
    std::vector<std::pair<std::string, FieldValue>> edits;
};

struct DatabaseStore::LockState {
    std::map<uint64_t, int> shared;  // owner -> handles
    uint64_t exclusiveOwner = 0;
    int exclusiveCount = 0;
    int exclusiveWaiters = 0;
    int waiters = 0;
};

DatabaseStore::DatabaseStore() = default;

DatabaseStore::~DatabaseStore() = default;

std::shared_ptr<DatabaseStore> DatabaseStore::open(const std::string &file, std::string *error) {
    std::shared_ptr<DatabaseStore> store(new DatabaseStore());
    store->connection_ = std::make_unique<SqliteConnection>();
    if (!store->connection_->open(file, 5000, error) || !store->loadCatalogue(error)) {
        return nullptr;
    }
    return store;
}

bool DatabaseStore::loadCatalogue(std::string *error) {
    if (!connection_->execute("CREATE TABLE IF NOT EXISTS velquor_databases ("
                              "folded TEXT PRIMARY KEY, name TEXT NOT NULL, tableName TEXT NOT NULL);"
                              "CREATE TABLE IF NOT EXISTS velquor_fields ("
                              "folded TEXT NOT NULL, position INTEGER NOT NULL, name TEXT NOT NULL, "
                              "type INTEGER NOT NULL, isUnique INTEGER NOT NULL, PRIMARY KEY (folded, position))",
                              error)) {
        return false;
    }
    // Read in full or not at all: a catalogue that cannot be read is an error, never an
    // empty one (the module would take its databases for new, empty ones).
    auto failed = [&](const char *what) {
        if (error != nullptr) {
            *error = std::string("cannot read the database catalogue (") + what + "): " + connection_->lastError();
        }
        return false;
    };
    std::map<std::string, std::unique_ptr<Database>> catalogue;
    SqliteStatement databases = connection_->prepare("SELECT folded, name, tableName FROM velquor_databases");
    int rc = 0;
    while ((rc = databases.step()) == SQLITE_ROW) {
        auto database = std::make_unique<Database>();
        database->name = databases.text(1);
        database->table = databases.text(2);
        catalogue[databases.text(0)] = std::move(database);
    }
    if (rc != SQLITE_DONE) {
        return failed("databases");
    }
    SqliteStatement fields =
        connection_->prepare("SELECT folded, name, type, isUnique FROM velquor_fields ORDER BY folded, position");
    while ((rc = fields.step()) == SQLITE_ROW) {
        auto found = catalogue.find(fields.text(0));
        if (found != catalogue.end()) {
            FieldInfo field;
            field.name = fields.text(1);
            field.type = static_cast<uint32_t>(fields.integer(2));
            field.unique = fields.integer(3) != 0;
            found->second->fields.push_back(field);
        }
    }
    if (rc != SQLITE_DONE) {
        return failed("fields");
    }
    databases_ = std::move(catalogue);
    return true;
}

void DatabaseStore::setLockWait(std::chrono::milliseconds wait) {
    std::lock_guard<std::mutex> lock(lockMutex_);
    lockWait_ = wait;
}

std::chrono::milliseconds DatabaseStore::lockWait() const {
    std::lock_guard<std::mutex> lock(lockMutex_);
    return lockWait_;
}

// --- locks ------------------------------------------------------------------------------

bool DatabaseStore::acquire(uint64_t owner, const std::string &key, bool exclusive) {
    std::unique_lock<std::mutex> lock(lockMutex_);
    std::unique_ptr<LockState> &slot = locks_[key];
    if (slot == nullptr) {
        slot = std::make_unique<LockState>();
    }
    LockState &state = *slot;
    auto deadline = std::chrono::steady_clock::now() + lockWait_;
    auto otherExclusive = [&] { return state.exclusiveCount > 0 && state.exclusiveOwner != owner; };
    auto otherShared = [&] {
        for (const auto &[holder, count] : state.shared) {
            if (holder != owner && count > 0) {
                return true;
            }
        }
        return false;
    };
    bool ownerHolds = state.shared.count(owner) != 0 || (state.exclusiveCount > 0 && state.exclusiveOwner == owner);
    bool granted = false;
    ++state.waiters;
    if (exclusive) {
        ++state.exclusiveWaiters;
        granted = lockChanged_.wait_until(lock, deadline, [&] { return !otherExclusive() && !otherShared(); });
        --state.exclusiveWaiters;
        if (granted) {
            state.exclusiveOwner = owner;
            ++state.exclusiveCount;
        }
    } else {
        // A waiting exclusive open goes first, unless this owner already holds the database.
        granted = lockChanged_.wait_until(lock, deadline, [&] {
            return !otherExclusive() && (ownerHolds || state.exclusiveWaiters == 0);
        });
        if (granted) {
            ++state.shared[owner];
        }
    }
    --state.waiters;
    if (!granted) {
        // Whoever waited behind this open may go on now.
        lockChanged_.notify_all();
    }
    return granted;
}

void DatabaseStore::release(uint64_t owner, const std::string &key, bool exclusive) {
    std::lock_guard<std::mutex> lock(lockMutex_);
    auto found = locks_.find(key);
    if (found == locks_.end()) {
        return;
    }
    LockState &state = *found->second;
    if (exclusive) {
        if (state.exclusiveCount > 0 && --state.exclusiveCount == 0) {
            state.exclusiveOwner = 0;
        }
    } else {
        auto holder = state.shared.find(owner);
        if (holder != state.shared.end() && --holder->second <= 0) {
            state.shared.erase(holder);
        }
    }
    if (state.shared.empty() && state.exclusiveCount == 0 && state.waiters == 0) {
        locks_.erase(found);
    }
    lockChanged_.notify_all();
}

// --- catalogue --------------------------------------------------------------------------

DatabaseStore::Database *DatabaseStore::findDatabase(const std::string &name) {
    auto found = databases_.find(HostText::lower(name));
    return found == databases_.end() ? nullptr : found->second.get();
}

DatabaseStore::Database *DatabaseStore::createDatabase(const std::string &name, std::string *error) {
    auto database = std::make_unique<Database>();
    database->name = name;
    database->table = "db:" + name;
    if (!connection_->execute("BEGIN", error)) {
        return nullptr;
    }
    SqliteStatement insert =
        connection_->prepare("INSERT INTO velquor_databases (folded, name, tableName) VALUES (?, ?, ?)");
    insert.bind(1, HostText::lower(name));
    insert.bind(2, name);
    insert.bind(3, database->table);
    if (insert.step() != SQLITE_DONE ||
        !connection_->execute("CREATE TABLE " + SqliteConnection::quoteIdentifier(database->table) +
                                  " (QELIDFIELD INTEGER PRIMARY KEY AUTOINCREMENT)",
                              error) ||
        !connection_->execute("COMMIT", error)) {
        if (error != nullptr && error->empty()) {
            *error = connection_->lastError();
        }
        connection_->execute("ROLLBACK");
        return nullptr;
    }
    Database *result = database.get();
    databases_[HostText::lower(name)] = std::move(database);
    return result;
}

const FieldInfo *DatabaseStore::findField(const Database &database, const std::string &name) const {
    for (const FieldInfo &field : database.fields) {
        if (HostText::equalsIgnoringCase(field.name, name)) {
            return &field;
        }
    }
    return nullptr;
}

int32_t DatabaseStore::withSession(uint64_t owner, uint32_t handle, const std::function<int32_t(Session &)> &action) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = sessions_.find(handle);
    if (found == sessions_.end() || found->second->owner != owner) {
        return kNotFound;
    }
    return action(*found->second);
}

bool DatabaseStore::hasCurrentRecord(const Session &open) {
    return open.current != 0 && recordExists(*open.database, open.current);
}

int64_t DatabaseStore::maxIdentifier(const Database &database) {
    SqliteStatement query = connection_->prepare("SELECT COALESCE(MAX(QELIDFIELD), 0) FROM " +
                                                 SqliteConnection::quoteIdentifier(database.table));
    return query.step() == SQLITE_ROW ? query.integer(0) : 0;
}

bool DatabaseStore::recordExists(const Database &database, int64_t id) {
    SqliteStatement query = connection_->prepare(
        "SELECT 1 FROM " + SqliteConnection::quoteIdentifier(database.table) + " WHERE QELIDFIELD = ?");
    query.bind(1, id);
    return query.step() == SQLITE_ROW;
}

// --- opening and closing ----------------------------------------------------------------

int32_t DatabaseStore::openDatabase(uint64_t owner, const std::string &name, uint32_t mode, uint32_t *handle) {
    if (name.empty() || (mode != QEL_OPEN_SHARED && mode != QEL_OPEN_EXCLUSIVE)) {
        return kInvalid;
    }
    std::string key = HostText::lower(name);
    bool exclusive = mode == QEL_OPEN_EXCLUSIVE;
    if (!acquire(owner, key, exclusive)) {
        return kGeneral;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Database *database = findDatabase(name);
    if (database == nullptr) {
        std::string error;
        database = createDatabase(name, &error);
        if (database == nullptr) {
            release(owner, key, exclusive);
            return kGeneral;
        }
    }
    auto session = std::make_unique<Session>();
    session->owner = owner;
    session->key = key;
    session->exclusive = exclusive;
    session->database = database;
    session->horizon = maxIdentifier(*database);
    while (nextHandle_ == 0 || sessions_.count(nextHandle_) != 0) {
        ++nextHandle_;
    }
    *handle = nextHandle_++;
    sessions_[*handle] = std::move(session);
    return 0;
}

int32_t DatabaseStore::closeLocked(uint32_t handle) {
    auto found = sessions_.find(handle);
    if (found == sessions_.end()) {
        return kNotFound;
    }
    sessions_.erase(found);
    return 0;
}

int32_t DatabaseStore::closeDatabase(uint64_t owner, uint32_t handle) {
    std::string key;
    bool exclusive = false;
    int32_t answer = withSession(owner, handle, [&](Session &open) {
        key = open.key;
        exclusive = open.exclusive;
        return closeLocked(handle);
    });
    if (answer == 0) {
        release(owner, key, exclusive);
    }
    return answer;
}

size_t DatabaseStore::closeAll(uint64_t owner) {
    std::vector<std::pair<std::string, bool>> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (it->second->owner == owner) {
                held.emplace_back(it->second->key, it->second->exclusive);
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto &[key, exclusive] : held) {
        release(owner, key, exclusive);
    }
    return held.size();
}

// --- layout -----------------------------------------------------------------------------

int32_t DatabaseStore::addField(uint64_t owner, uint32_t handle, const std::string &name, uint32_t type) {
    return withSession(owner, handle, [&](Session &open) { return addFieldLocked(open, name, type); });
}

int32_t DatabaseStore::addFieldLocked(Session &open, const std::string &name, uint32_t type) {
    Database &database = *open.database;
    if (name.empty() || HostText::equalsIgnoringCase(name, kIdentifierField) || findField(database, name) != nullptr) {
        return kRefused;
    }
    bool unique = type == QEL_FIELD_UNIQUE_TEXT;
    std::string table = SqliteConnection::quoteIdentifier(database.table);
    std::string column = SqliteConnection::quoteIdentifier(name);
    if (!connection_->execute("BEGIN")) {
        return kGeneral;
    }
    bool done = connection_->execute("ALTER TABLE " + table + " ADD COLUMN " + column);
    if (done && unique) {
        done = connection_->execute("CREATE UNIQUE INDEX " +
                                    SqliteConnection::quoteIdentifier("unique:" + database.table + ":" + name) +
                                    " ON " + table + " (" + column + ")");
    }
    if (done) {
        SqliteStatement insert = connection_->prepare(
            "INSERT INTO velquor_fields (folded, position, name, type, isUnique) VALUES (?, ?, ?, ?, ?)");
        insert.bind(1, open.key);
        insert.bind(2, static_cast<int64_t>(database.fields.size()));
        insert.bind(3, name);
        insert.bind(4, static_cast<int64_t>(type));
        insert.bind(5, static_cast<int64_t>(unique ? 1 : 0));
        done = insert.step() == SQLITE_DONE;
    }
    if (!done || !connection_->execute("COMMIT")) {
        connection_->execute("ROLLBACK");
        return kRefused;
    }
    database.fields.push_back(FieldInfo{name, type, unique});
    return 0;
}

int32_t DatabaseStore::fieldCount(uint64_t owner, uint32_t handle, uint32_t *count) {
    return withSession(owner, handle, [&](Session &open) {
        *count = static_cast<uint32_t>(open.database->fields.size());
        return 0;
    });
}

// --- records ----------------------------------------------------------------------------

int32_t DatabaseStore::createRecord(uint64_t owner, uint32_t handle) {
    return withSession(owner, handle, [](Session &open) {
        open.pending = true;
        open.pendingValues.clear();
        return 0;
    });
}

int32_t DatabaseStore::addRecord(uint64_t owner, uint32_t handle) {
    return withSession(owner, handle, [this](Session &open) { return addRecordLocked(open); });
}

int32_t DatabaseStore::addRecordLocked(Session &open) {
    if (!open.pending) {
        return kRefused;
    }
    std::string table = SqliteConnection::quoteIdentifier(open.database->table);
    std::string sql;
    if (open.pendingValues.empty()) {
        sql = "INSERT INTO " + table + " DEFAULT VALUES";
    } else {
        std::string columns;
        std::string marks;
        for (const auto &[field, value] : open.pendingValues) {
            columns += (columns.empty() ? "" : ", ") + SqliteConnection::quoteIdentifier(field);
            marks += marks.empty() ? "?" : ", ?";
        }
        sql = "INSERT INTO " + table + " (" + columns + ") VALUES (" + marks + ")";
    }
    SqliteStatement insert = connection_->prepare(sql);
    int index = 1;
    for (const auto &entry : open.pendingValues) {
        bindValue(insert, index++, entry.second);
    }
    int rc = insert.step();
    if (rc != SQLITE_DONE) {
        // A repeated unique value: nothing is stored, the pending record stays.
        return isConstraint(rc) ? kRefused : kGeneral;
    }
    open.horizon = connection_->lastInsertId();
    open.pending = false;
    open.pendingValues.clear();
    return 0;
}

int32_t DatabaseStore::updateRecord(uint64_t owner, uint32_t handle) {
    return withSession(owner, handle, [this](Session &open) { return updateRecordLocked(open); });
}

int32_t DatabaseStore::updateRecordLocked(Session &open) {
    if (!hasCurrentRecord(open)) {
        return kNotFound;
    }
    if (open.edits.empty()) {
        return 0;
    }
    std::string assignments;
    for (const auto &[field, value] : open.edits) {
        assignments += (assignments.empty() ? "" : ", ") + SqliteConnection::quoteIdentifier(field) + " = ?";
    }
    SqliteStatement update = connection_->prepare("UPDATE " + SqliteConnection::quoteIdentifier(open.database->table) +
                                                  " SET " + assignments + " WHERE QELIDFIELD = ?");
    int index = 1;
    for (const auto &entry : open.edits) {
        bindValue(update, index++, entry.second);
    }
    update.bind(index, open.current);
    int rc = update.step();
    if (rc != SQLITE_DONE) {
        return isConstraint(rc) ? kRefused : kGeneral;
    }
    open.edits.clear();
    return 0;
}

int32_t DatabaseStore::deleteRecord(uint64_t owner, uint32_t handle, uint32_t recordId) {
    return withSession(owner, handle, [&](Session &open) {
        SqliteStatement erase = connection_->prepare(
            "DELETE FROM " + SqliteConnection::quoteIdentifier(open.database->table) + " WHERE QELIDFIELD = ?");
        erase.bind(1, static_cast<int64_t>(recordId));
        if (erase.step() != SQLITE_DONE) {
            return kGeneral;
        }
        if (connection_->changes() == 0) {
            return kNotFound;
        }
        if (open.current == static_cast<int64_t>(recordId)) {
            open.edits.clear();
        }
        return 0;
    });
}

int32_t DatabaseStore::setFieldValue(uint64_t owner, uint32_t handle, const std::string &field,
                                     const FieldValue &value) {
    return withSession(owner, handle, [&](Session &open) {
        if (HostText::equalsIgnoringCase(field, kIdentifierField)) {
            return kRefused;
        }
        const FieldInfo *info = findField(*open.database, field);
        if (info == nullptr) {
            return kNotFound;
        }
        std::vector<std::pair<std::string, FieldValue>> *target = nullptr;
        if (open.pending) {
            target = &open.pendingValues;
        } else if (hasCurrentRecord(open)) {
            target = &open.edits;
        } else {
            return kNotFound;
        }
        for (auto &entry : *target) {
            if (entry.first == info->name) {
                entry.second = value;
                return 0;
            }
        }
        target->emplace_back(info->name, value);
        return 0;
    });
}

int32_t DatabaseStore::getFieldValue(uint64_t owner, uint32_t handle, const std::string &field, FieldValue *value) {
    return withSession(owner, handle, [&](Session &open) {
        if (!hasCurrentRecord(open)) {
            return kNotFound;
        }
        if (HostText::equalsIgnoringCase(field, kIdentifierField)) {
            *value = FieldValue::ofInteger(open.current);
            return 0;
        }
        const FieldInfo *info = findField(*open.database, field);
        if (info == nullptr) {
            return kNotFound;
        }
        for (const auto &entry : open.edits) {
            if (entry.first == info->name) {
                *value = entry.second;
                return 0;
            }
        }
        SqliteStatement query = connection_->prepare("SELECT " + SqliteConnection::quoteIdentifier(info->name) +
                                                     " FROM " + SqliteConnection::quoteIdentifier(open.database->table) +
                                                     " WHERE QELIDFIELD = ?");
        query.bind(1, open.current);
        if (query.step() != SQLITE_ROW) {
            return kNotFound;
        }
        *value = columnValue(query, 0);
        return 0;
    });
}

// --- selection and cursor ---------------------------------------------------------------

bool DatabaseStore::parseCriteria(const std::string &criteria, std::string *field, std::string *value) {
    field->clear();
    value->clear();
    if (criteria.empty()) {
        return true;
    }
    static const std::string separator = " = '";
    size_t at = criteria.find(separator);
    if (at == std::string::npos || at == 0) {
        return false;
    }
    std::string quoted = criteria.substr(at + separator.size());
    if (quoted.empty() || quoted.back() != '\'') {
        return false;
    }
    quoted.pop_back();
    std::string result;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\'') {
            if (i + 1 < quoted.size() && quoted[i + 1] == '\'') {
                result += '\'';
                ++i;
            } else {
                return false;  // a quote that ends the value early
            }
        } else {
            result += quoted[i];
        }
    }
    *field = criteria.substr(0, at);
    *value = result;
    return true;
}

int32_t DatabaseStore::selectRecords(uint64_t owner, uint32_t handle, const std::string &criteria) {
    return withSession(owner, handle, [&](Session &open) {
        std::string field;
        std::string value;
        if (!parseCriteria(criteria, &field, &value)) {
            return kInvalid;
        }
        std::string column;
        if (!field.empty()) {
            if (HostText::equalsIgnoringCase(field, kIdentifierField)) {
                column = kIdentifierField;
            } else {
                const FieldInfo *info = findField(*open.database, field);
                if (info == nullptr) {
                    return kNotFound;
                }
                column = info->name;
            }
        }
        open.selected = !field.empty();
        open.criteriaColumn = column;
        open.criteriaValue = value;
        open.horizon = maxIdentifier(*open.database);
        open.current = 0;
        open.edits.clear();
        return 0;
    });
}

// The records of the handle's current set that satisfy `condition` (on QELIDFIELD, with
// ?3 bound to `bound`), in `order`, skipping `offset`: the first identifier, if any.
std::optional<int64_t> DatabaseStore::findRecord(const Session &open, const std::string &condition,
                                                 const std::string &order, int64_t offset, int64_t bound) {
    std::string sql = "SELECT QELIDFIELD FROM " + SqliteConnection::quoteIdentifier(open.database->table) +
                      " WHERE QELIDFIELD <= ?1";
    if (open.selected) {
        sql += " AND CAST(" + SqliteConnection::quoteIdentifier(open.criteriaColumn) + " AS TEXT) = ?2";
    }
    if (!condition.empty()) {
        sql += " AND " + condition;
    }
    sql += " ORDER BY QELIDFIELD " + order + " LIMIT 1 OFFSET ?4";
    SqliteStatement query = connection_->prepare(sql);
    query.bind(1, open.horizon);
    if (open.selected) {
        query.bind(2, open.criteriaValue);
    }
    if (!condition.empty()) {
        query.bind(3, bound);
    }
    query.bind(4, offset);
    if (query.step() != SQLITE_ROW) {
        return std::nullopt;
    }
    return query.integer(0);
}

int32_t DatabaseStore::selectedCount(uint64_t owner, uint32_t handle, uint32_t *count) {
    return withSession(owner, handle, [&](Session &open) {
        std::string sql = "SELECT COUNT(*) FROM " + SqliteConnection::quoteIdentifier(open.database->table) +
                          " WHERE QELIDFIELD <= ?1";
        if (open.selected) {
            sql += " AND CAST(" + SqliteConnection::quoteIdentifier(open.criteriaColumn) + " AS TEXT) = ?2";
        }
        SqliteStatement query = connection_->prepare(sql);
        query.bind(1, open.horizon);
        if (open.selected) {
            query.bind(2, open.criteriaValue);
        }
        if (query.step() != SQLITE_ROW) {
            return kGeneral;
        }
        *count = static_cast<uint32_t>(query.integer(0));
        return 0;
    });
}

namespace {

// Moves the cursor to `target` when there is one, discarding edits not stored; a move
// that finds nothing changes nothing.
template <typename SessionType>
int32_t moveTo(SessionType &open, const std::optional<int64_t> &target) {
    if (!target) {
        return kNotFound;
    }
    open.edits.clear();
    open.current = *target;
    return 0;
}

} // namespace

int32_t DatabaseStore::move(uint64_t owner, uint32_t handle, const std::function<std::optional<int64_t>(const Session &)> &target) {
    return withSession(owner, handle, [&](Session &open) { return moveTo(open, target(open)); });
}

int32_t DatabaseStore::moveToFirst(uint64_t owner, uint32_t handle) {
    return move(owner, handle, [this](const Session &open) { return findRecord(open, "", "ASC", 0, 0); });
}

int32_t DatabaseStore::moveToLast(uint64_t owner, uint32_t handle) {
    return move(owner, handle, [this](const Session &open) { return findRecord(open, "", "DESC", 0, 0); });
}

int32_t DatabaseStore::moveToNext(uint64_t owner, uint32_t handle) {
    return move(owner, handle,
                [this](const Session &open) { return findRecord(open, "QELIDFIELD > ?3", "ASC", 0, open.current); });
}

int32_t DatabaseStore::moveToRecord(uint64_t owner, uint32_t handle, uint32_t recordId) {
    return move(owner, handle, [this, recordId](const Session &open) {
        return findRecord(open, "QELIDFIELD = ?3", "ASC", 0, static_cast<int64_t>(recordId));
    });
}

int32_t DatabaseStore::moveBy(uint64_t owner, uint32_t handle, int32_t count) {
    return move(owner, handle, [this, count](const Session &open) -> std::optional<int64_t> {
        if (count == 0) {
            return findRecord(open, "QELIDFIELD = ?3", "ASC", 0, open.current);
        }
        if (count > 0) {
            return findRecord(open, "QELIDFIELD > ?3", "ASC", static_cast<int64_t>(count) - 1, open.current);
        }
        if (open.current == 0) {
            return std::nullopt;
        }
        return findRecord(open, "QELIDFIELD < ?3", "DESC", -static_cast<int64_t>(count) - 1, open.current);
    });
}

// --- inspection -------------------------------------------------------------------------

std::optional<std::string> DatabaseStore::databaseName(uint64_t owner, uint32_t handle) {
    std::optional<std::string> name;
    withSession(owner, handle, [&](Session &open) {
        name = open.database->name;
        return 0;
    });
    return name;
}

std::vector<std::string> DatabaseStore::databaseNames() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto &entry : databases_) {
        names.push_back(entry.second->name);
    }
    return names;
}

std::vector<FieldInfo> DatabaseStore::fields(const std::string &database) {
    std::lock_guard<std::mutex> lock(mutex_);
    Database *found = findDatabase(database);
    return found == nullptr ? std::vector<FieldInfo>() : found->fields;
}

int32_t DatabaseStore::readNewest(const std::string &database, int64_t offset, int64_t count, int64_t textBytes,
                                  RecordPage *page) {
    std::lock_guard<std::mutex> lock(mutex_);
    Database *found = findDatabase(database);
    if (found == nullptr) {
        return kNotFound;
    }
    *page = RecordPage();
    page->fields = found->fields;
    std::string table = SqliteConnection::quoteIdentifier(found->table);
    SqliteStatement total = connection_->prepare("SELECT COUNT(*) FROM " + table);
    if (total.step() != SQLITE_ROW) {
        return kGeneral;
    }
    page->total = total.integer(0);
    if (count <= 0) {
        return 0;
    }
    // Per field: the value (a text as the bytes of its beginning) and a text's length in bytes.
    std::string columns = "QELIDFIELD";
    for (const FieldInfo &field : found->fields) {
        std::string column = SqliteConnection::quoteIdentifier(field.name);
        columns += ", CASE WHEN typeof(" + column + ") IN ('text', 'blob') THEN substr(CAST(" + column +
                   " AS BLOB), 1, ?1) ELSE " + column + " END, CASE WHEN typeof(" + column +
                   ") IN ('text', 'blob') THEN length(CAST(" + column + " AS BLOB)) ELSE 0 END";
    }
    SqliteStatement query =
        connection_->prepare("SELECT " + columns + " FROM " + table + " ORDER BY QELIDFIELD DESC LIMIT ?2 OFFSET ?3");
    query.bind(1, textBytes);
    query.bind(2, count);
    query.bind(3, offset);
    int rc = 0;
    while ((rc = query.step()) == SQLITE_ROW) {
        RecordExcerpt record;
        record.id = query.integer(0);
        for (size_t index = 0; index < found->fields.size(); ++index) {
            int column = 1 + 2 * static_cast<int>(index);
            record.values.push_back(columnValue(query, column));
            record.textBytes.push_back(query.integer(column + 1));
        }
        page->records.push_back(std::move(record));
    }
    return rc == SQLITE_DONE ? 0 : kGeneral;
}

size_t DatabaseStore::openHandles() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

size_t DatabaseStore::openHandles(uint64_t owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto &entry : sessions_) {
        count += entry.second->owner == owner ? 1 : 0;
    }
    return count;
}

bool DatabaseStore::dropDatabase(const std::string &name, std::string *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Database *database = findDatabase(name);
    if (database == nullptr) {
        if (error != nullptr) {
            *error = "no database " + name;
        }
        return false;
    }
    for (const auto &entry : sessions_) {
        if (entry.second->database == database) {
            if (error != nullptr) {
                *error = "the database " + name + " is open";
            }
            return false;
        }
    }
    std::string key = HostText::lower(name);
    bool done = connection_->execute("BEGIN", error) &&
                connection_->execute("DROP TABLE " + SqliteConnection::quoteIdentifier(database->table), error);
    if (done) {
        SqliteStatement fields = connection_->prepare("DELETE FROM velquor_fields WHERE folded = ?");
        fields.bind(1, key);
        SqliteStatement entry = connection_->prepare("DELETE FROM velquor_databases WHERE folded = ?");
        entry.bind(1, key);
        done = fields.step() == SQLITE_DONE && entry.step() == SQLITE_DONE && connection_->execute("COMMIT", error);
    }
    if (!done) {
        connection_->execute("ROLLBACK");
        return false;
    }
    databases_.erase(key);
    return true;
}

} // namespace velquor::host
