// HostDatabase.cpp: wrappers for the host's record database services.
#include "module/HostDatabase.h"

#include "foundation/Decimal.h"
#include "module/ServiceBuffer.h"

namespace {

constexpr uint32_t kDecimalCapacity = 32;
constexpr uint32_t kTextCapacity = 64;

}  // namespace

int32_t QELHostDatabase::call(uint32_t selector, void *a1, void *a2, void *a3, void *a4, void *a5, void *a6) const {
    if (context_.databaseCallback == nullptr)
        return static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
    return context_.databaseCallback(context_.hostRef, selector, a1, a2, a3, a4, a5, a6);
}

int32_t QELHostDatabase::DatabaseStartup(const QELString &source, const QELString &user,
                                         const QELString &password) const {
    if (source.isEmpty() || user.isEmpty() || password.isEmpty())
        return call(QEL_DATABASE_STARTUP);
    QELString connection(source);
    connection.append(',');
    connection.append(user);
    connection.append(',');
    connection.append(password);
    QELInputCopy copy(connection);
    return call(QEL_DATABASE_STARTUP, nullptr, copy.bytes(), copy.count());
}

int32_t QELHostDatabase::DatabaseShutdown() const { return call(QEL_DATABASE_SHUTDOWN); }

int32_t QELHostDatabase::OpenDatabase(const QELString &name, uint32_t mode, const QELString &extra,
                                      uint32_t &handle) const {
    uint32_t opened = 0;
    QELInputCopy nameCopy(name);
    QELInputCopy extraCopy(extra);
    int32_t answer = call(QEL_DATABASE_OPEN, &opened, nameCopy.bytes(), nameCopy.count(), extraCopy.bytes(),
                          extraCopy.count(), &mode);
    if (answer == 0)
        handle = opened;
    return answer;
}

int32_t QELHostDatabase::handleOnly(uint32_t selector, uint32_t handle) const { return call(selector, &handle); }

int32_t QELHostDatabase::CloseDatabase(uint32_t handle) const { return handleOnly(QEL_DATABASE_CLOSE, handle); }

int32_t QELHostDatabase::AddField(uint32_t handle, const QELString &name, uint32_t type) const {
    QELInputCopy copy(name);
    return call(QEL_DATABASE_ADD_FIELD, &handle, copy.bytes(), copy.count(), nullptr, nullptr, &type);
}

int32_t QELHostDatabase::count(uint32_t selector, uint32_t handle, uint32_t &value) const {
    value = 0;
    int32_t answer = call(selector, &handle, nullptr, nullptr, nullptr, nullptr, &value);
    if (answer != 0)
        value = 0;
    return answer;
}

uint32_t QELHostDatabase::GetFieldCount(uint32_t handle) const {
    uint32_t value = 0;
    count(QEL_DATABASE_GET_FIELD_COUNT, handle, value);
    return value;
}

int32_t QELHostDatabase::CreateRecord(uint32_t handle) const { return handleOnly(QEL_DATABASE_CREATE_RECORD, handle); }

int32_t QELHostDatabase::AddRecord(uint32_t handle) const { return handleOnly(QEL_DATABASE_ADD_RECORD, handle); }

int32_t QELHostDatabase::UpdateRecord(uint32_t handle) const { return handleOnly(QEL_DATABASE_UPDATE_RECORD, handle); }

int32_t QELHostDatabase::recordCall(uint32_t selector, uint32_t handle, uint32_t recordId) const {
    uint32_t size = 4;
    uint32_t type = QEL_VALUE_IDENTIFIER;
    return call(selector, &handle, &recordId, &size, nullptr, nullptr, &type);
}

int32_t QELHostDatabase::DeleteRecord(uint32_t handle, uint32_t recordId) const {
    return recordCall(QEL_DATABASE_DELETE_RECORD, handle, recordId);
}

int32_t QELHostDatabase::setField(uint32_t handle, const QELString &field, void *value, uint32_t size,
                                  uint32_t type) const {
    QELInputCopy fieldCopy(field);
    return call(QEL_DATABASE_SET_FIELD_VALUE, &handle, fieldCopy.bytes(), fieldCopy.count(), value, &size, &type);
}

int32_t QELHostDatabase::SetFieldFlag(uint32_t handle, const QELString &field, bool value) const {
    uint32_t stored = value ? 1 : 0;
    return setField(handle, field, &stored, 4, QEL_VALUE_IDENTIFIER);
}

int32_t QELHostDatabase::SetFieldValue(uint32_t handle, const QELString &field, int32_t value) const {
    return setField(handle, field, &value, 4, QEL_VALUE_INTEGER);
}

int32_t QELHostDatabase::SetFieldValue(uint32_t handle, const QELString &field, const QELDecimal &value) const {
    return SetFieldValue(handle, field, value.toText());
}

int32_t QELHostDatabase::SetFieldValue(uint32_t handle, const QELString &field, const QELString &value) const {
    QELInputCopy valueCopy(value);
    return setField(handle, field, valueCopy.bytes(), *valueCopy.count(), QEL_VALUE_TEXT);
}

int32_t QELHostDatabase::getField4(uint32_t handle, const QELString &field, uint32_t type, uint32_t &value) const {
    value = 0;
    uint32_t size = 4;
    QELInputCopy fieldCopy(field);
    return call(QEL_DATABASE_GET_FIELD_VALUE, &handle, fieldCopy.bytes(), fieldCopy.count(), &value, &size, &type);
}

int32_t QELHostDatabase::GetFieldInteger(uint32_t handle, const QELString &field) const {
    uint32_t value = 0;
    getField4(handle, field, QEL_VALUE_INTEGER, value);
    return static_cast<int32_t>(value);
}

int32_t QELHostDatabase::GetFieldInteger(uint32_t handle, const QELString &field, int32_t &value) const {
    uint32_t raw = 0;
    int32_t answer = getField4(handle, field, QEL_VALUE_INTEGER, raw);
    value = static_cast<int32_t>(raw);
    return answer;
}

uint32_t QELHostDatabase::GetFieldIdentifier(uint32_t handle, const QELString &field) const {
    uint32_t value = 0;
    getField4(handle, field, QEL_VALUE_IDENTIFIER, value);
    return value;
}

bool QELHostDatabase::getFieldText(uint32_t handle, const QELString &field, uint32_t capacity,
                                   QELString &value) const {
    QELInputCopy fieldCopy(field);
    uint32_t type = QEL_VALUE_TEXT;
    QELServiceBuffer buffer(capacity);
    int32_t answer = CallWithRetry(
        [&] {
            return call(QEL_DATABASE_GET_FIELD_VALUE, &handle, fieldCopy.bytes(), fieldCopy.count(), buffer.data(),
                        buffer.size(), &type);
        },
        buffer);
    if (answer != 0)
        return false;
    value = buffer.answer();
    return true;
}

QELDecimal QELHostDatabase::GetFieldDecimal(uint32_t handle, const QELString &field) const {
    QELDecimal value(75, 25);
    QELString text;
    if (getFieldText(handle, field, kDecimalCapacity, text))
        value = text;
    else
        value = QELString();
    return value;
}

QELString QELHostDatabase::GetFieldText(uint32_t handle, const QELString &field) const {
    QELString text;
    getFieldText(handle, field, kTextCapacity, text);
    return text;
}

int32_t QELHostDatabase::SelectRecords(uint32_t handle, const QELString &criteria) const {
    QELInputCopy copy(criteria);
    return call(QEL_DATABASE_SELECT_RECORDS, &handle, copy.bytes(), copy.count());
}

uint32_t QELHostDatabase::GetSelectedRecordCount(uint32_t handle) const {
    uint32_t value = 0;
    count(QEL_DATABASE_GET_SELECTED_COUNT, handle, value);
    return value;
}

int32_t QELHostDatabase::GetSelectedRecordCount(uint32_t handle, uint32_t &value) const {
    return count(QEL_DATABASE_GET_SELECTED_COUNT, handle, value);
}

int32_t QELHostDatabase::MoveToFirstRecord(uint32_t handle) const { return handleOnly(QEL_DATABASE_MOVE_TO_FIRST, handle); }

int32_t QELHostDatabase::MoveToLastRecord(uint32_t handle) const { return handleOnly(QEL_DATABASE_MOVE_TO_LAST, handle); }

int32_t QELHostDatabase::MoveToNextRecord(uint32_t handle) const { return handleOnly(QEL_DATABASE_MOVE_TO_NEXT, handle); }

int32_t QELHostDatabase::MoveToRecord(uint32_t handle, uint32_t recordId) const {
    return recordCall(QEL_DATABASE_MOVE_TO_RECORD, handle, recordId);
}

int32_t QELHostDatabase::MoveByRecords(uint32_t handle, int32_t count) const {
    return call(QEL_DATABASE_MOVE_BY_RECORDS, &handle, nullptr, nullptr, nullptr, nullptr, &count);
}
