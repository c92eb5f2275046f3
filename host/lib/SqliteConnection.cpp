// SqliteConnection.cpp: opening SQLite files, running statements, quoting identifiers.
// Files use write-ahead logging and a bounded busy wait.
#include "host/lib/SqliteConnection.h"

#include <sqlite3.h>

#include <utility>

namespace velquor::host {

SqliteStatement::SqliteStatement(sqlite3 *db, const std::string &sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement_);
        statement_ = nullptr;
    }
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(statement_); }

SqliteStatement::SqliteStatement(SqliteStatement &&other) noexcept : statement_(other.statement_) {
    other.statement_ = nullptr;
}

SqliteStatement &SqliteStatement::operator=(SqliteStatement &&other) noexcept {
    if (this != &other) {
        sqlite3_finalize(statement_);
        statement_ = std::exchange(other.statement_, nullptr);
    }
    return *this;
}

void SqliteStatement::bind(int index, const std::string &text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void SqliteStatement::bind(int index, int64_t value) { sqlite3_bind_int64(statement_, index, value); }

void SqliteStatement::bindNull(int index) { sqlite3_bind_null(statement_, index); }

int SqliteStatement::step() {
    if (statement_ == nullptr) {
        return SQLITE_MISUSE;
    }
    return sqlite3_step(statement_);
}

bool SqliteStatement::isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

bool SqliteStatement::isInteger(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_INTEGER;
}

int64_t SqliteStatement::integer(int column) const { return sqlite3_column_int64(statement_, column); }

std::string SqliteStatement::text(int column) const {
    const unsigned char *bytes = sqlite3_column_text(statement_, column);
    if (bytes == nullptr) {
        return std::string();
    }
    int length = sqlite3_column_bytes(statement_, column);
    return std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(length));
}

SqliteConnection::~SqliteConnection() { sqlite3_close_v2(db_); }

bool SqliteConnection::open(const std::string &path, int busyMilliseconds, std::string *error) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        if (error != nullptr) {
            *error = "cannot open " + path + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
        }
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busyMilliseconds);
    if (path != ":memory:" && !execute("PRAGMA journal_mode=WAL", error)) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return false;
    }
    return true;
}

bool SqliteConnection::execute(const std::string &sql, std::string *error) {
    char *message = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        if (error != nullptr) {
            *error = message != nullptr ? message : sqlite3_errstr(rc);
        }
        sqlite3_free(message);
        return false;
    }
    return true;
}

SqliteStatement SqliteConnection::prepare(const std::string &sql) { return SqliteStatement(db_, sql); }

int64_t SqliteConnection::lastInsertId() const { return sqlite3_last_insert_rowid(db_); }

int SqliteConnection::changes() const { return sqlite3_changes(db_); }

std::string SqliteConnection::lastError() const { return db_ != nullptr ? sqlite3_errmsg(db_) : "not open"; }

std::string SqliteConnection::quoteIdentifier(const std::string &name) {
    std::string result = "\"";
    for (char c : name) {
        result += c;
        if (c == '"') {
            result += '"';
        }
    }
    result += '"';
    return result;
}

} // namespace velquor::host
