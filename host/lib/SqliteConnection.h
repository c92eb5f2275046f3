// SqliteConnection.h: a thin owner of one SQLite connection and its prepared statements,
// shared by the preference store and the database store.
#ifndef VELQUOR_HOST_SQLITE_CONNECTION_H
#define VELQUOR_HOST_SQLITE_CONNECTION_H

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace velquor::host {

// One prepared statement; finalized when destroyed. Bind indexes start at 1, column
// indexes at 0.
class SqliteStatement {
public:
    SqliteStatement() = default;
    SqliteStatement(sqlite3 *db, const std::string &sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement &) = delete;
    SqliteStatement &operator=(const SqliteStatement &) = delete;
    SqliteStatement(SqliteStatement &&other) noexcept;
    SqliteStatement &operator=(SqliteStatement &&other) noexcept;

    bool valid() const { return statement_ != nullptr; }
    void bind(int index, const std::string &text);
    void bind(int index, int64_t value);
    void bindNull(int index);
    // Runs one step: SQLITE_ROW, SQLITE_DONE or an error code (extended codes are on).
    int step();
    bool isNull(int column) const;
    bool isInteger(int column) const;
    int64_t integer(int column) const;
    std::string text(int column) const;

private:
    sqlite3_stmt *statement_ = nullptr;
};

class SqliteConnection {
public:
    SqliteConnection() = default;
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection &) = delete;
    SqliteConnection &operator=(const SqliteConnection &) = delete;

    // Opens (creating) the file, or a private in-memory database for ":memory:". A file
    // gets write-ahead logging and waits up to busyMilliseconds for another connection's
    // lock instead of failing at once.
    bool open(const std::string &path, int busyMilliseconds, std::string *error);
    bool isOpen() const { return db_ != nullptr; }
    // Runs statements that return no rows; false with the error text on failure.
    bool execute(const std::string &sql, std::string *error = nullptr);
    SqliteStatement prepare(const std::string &sql);
    int64_t lastInsertId() const;
    // Rows changed by the last INSERT, UPDATE or DELETE.
    int changes() const;
    std::string lastError() const;
    // The identifier in double quotes, inner double quotes doubled.
    static std::string quoteIdentifier(const std::string &name);

private:
    sqlite3 *db_ = nullptr;
};

} // namespace velquor::host

#endif
