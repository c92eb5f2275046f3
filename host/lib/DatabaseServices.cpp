// DatabaseServices.cpp: the record database services (HostDatabaseCallback) as one table,
// decoded by the call conventions and served by the host's DatabaseStore for the
// request's handles.
#include "host/lib/CallDecoder.h"
#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/HostServices.h"
#include "host/lib/ServiceTable.h"

#include <climits>
#include <cstring>

namespace velquor::host {

namespace {

using Arguments = ServiceTable::Arguments;
using Handler = ServiceTable::Handler;

const int32_t kInvalid = static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);
const int32_t kGeneral = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);

void writeNumber(void *pointer, uint32_t value) { std::memcpy(pointer, &value, sizeof value); }

int32_t signedOf(uint32_t raw) {
    int32_t value = 0;
    std::memcpy(&value, &raw, sizeof value);
    return value;
}

// Whether the request started the database system; notes it when not.
bool started(CallDecoder &call, HostRequest &request) {
    if (request.databaseStarts() == 0) {
        call.noteResult("the database system was not started");
        return false;
    }
    return true;
}

// A record identifier argument: &id, &4, &QEL_VALUE_IDENTIFIER.
bool decodeRecordId(CallDecoder &call, const Arguments &raw, uint32_t *id) {
    uint32_t size = 0;
    uint32_t type = 0;
    if (!call.decodeNumber("recordId", raw.a2, id) || !call.decodeNumber("size", raw.a3, &size) ||
        !call.decodeNumber("type", raw.a6, &type)) {
        return false;
    }
    if (size != 4 || type != QEL_VALUE_IDENTIFIER) {
        call.violation("a record identifier is passed with size 4 and type 0x30000000");
        return false;
    }
    return true;
}

// --- services before a handle: the database system and opening ---------------------------

int32_t startup(CallDecoder &call, HostRequest &request, const Arguments &raw) {
    std::string connection;
    if (!call.decodeOptionalText("connection", raw.a2, raw.a3, &connection)) {
        return kInvalid;
    }
    call.setValue(connection);
    if (std::optional<int32_t> refused = call.refusal()) {
        return *refused;
    }
    request.setDatabaseStarts(request.databaseStarts() + 1);
    return 0;
}

int32_t shutdown(CallDecoder &call, HostRequest &request, const Arguments &) {
    if (std::optional<int32_t> refused = call.refusal()) {
        return *refused;
    }
    if (!started(call, request)) {
        return kGeneral;
    }
    request.setDatabaseStarts(request.databaseStarts() - 1);
    if (request.databaseStarts() == 0) {
        size_t closed = request.host().databases().closeAll(request.id());
        if (closed > 0) {
            call.noteResult("closed " + std::to_string(closed) + " handles left open");
        }
    }
    return 0;
}

int32_t openDatabase(CallDecoder &call, HostRequest &request, const Arguments &raw) {
    std::string name;
    std::string extra;
    uint32_t mode = 0;
    if (raw.a1 == nullptr) {
        return call.violation("missing handle pointer");
    }
    if (!call.decodeText("name", raw.a2, raw.a3, &name) || !call.decodeOptionalText("extra", raw.a4, raw.a5, &extra) ||
        !call.decodeNumber("mode", raw.a6, &mode)) {
        return kInvalid;
    }
    call.setName(name);
    if (std::optional<int32_t> refused = call.refusal()) {
        return *refused;
    }
    if (!started(call, request)) {
        return kGeneral;
    }
    uint32_t handle = 0;
    int32_t answer = request.host().databases().openDatabase(request.id(), name, mode, &handle);
    if (answer == 0) {
        writeNumber(raw.a1, handle);
        call.noteResult("handle=" + std::to_string(handle));
    }
    return answer;
}

// --- services on an open handle (a1) ------------------------------------------------------

// The handle a service names, with the store and the request that own it.
struct Open {
    DatabaseStore &store;
    uint64_t owner;
    uint32_t handle;
};

using OnOpen = std::function<int32_t(CallDecoder &call, const Open &open, const Arguments &raw)>;

// Decodes the handle; the call is about its database until a field name takes over.
Handler onHandle(OnOpen serve) {
    return [serve](CallDecoder &call, HostRequest &request, const Arguments &raw) -> int32_t {
        uint32_t handle = 0;
        if (!call.decodeNumber("handle", raw.a1, &handle)) {
            return kInvalid;
        }
        Open open{request.host().databases(), request.id(), handle};
        call.setName(open.store.databaseName(open.owner, handle).value_or(std::string()));
        return serve(call, open, raw);
    };
}

// A service that takes nothing but the handle.
Handler plain(int32_t (DatabaseStore::*operation)(uint64_t, uint32_t)) {
    return onHandle([operation](CallDecoder &call, const Open &open, const Arguments &) {
        if (std::optional<int32_t> refused = call.refusal()) {
            return *refused;
        }
        return (open.store.*operation)(open.owner, open.handle);
    });
}

// A service that answers a count behind a6.
Handler counting(int32_t (DatabaseStore::*operation)(uint64_t, uint32_t, uint32_t *)) {
    return onHandle([operation](CallDecoder &call, const Open &open, const Arguments &raw) {
        if (raw.a6 == nullptr) {
            return call.violation("missing count pointer");
        }
        if (std::optional<int32_t> refused = call.refusal()) {
            return *refused;
        }
        uint32_t count = 0;
        int32_t answer = (open.store.*operation)(open.owner, open.handle, &count);
        if (answer == 0) {
            writeNumber(raw.a6, count);
            call.noteResult("count=" + std::to_string(count));
        }
        return answer;
    });
}

// A service about one record identifier.
Handler onRecord(int32_t (DatabaseStore::*operation)(uint64_t, uint32_t, uint32_t)) {
    return onHandle([operation](CallDecoder &call, const Open &open, const Arguments &raw) {
        uint32_t id = 0;
        if (!decodeRecordId(call, raw, &id)) {
            return kInvalid;
        }
        if (std::optional<int32_t> refused = call.refusal()) {
            return *refused;
        }
        return (open.store.*operation)(open.owner, open.handle, id);
    });
}

int32_t addField(CallDecoder &call, const Open &open, const Arguments &raw) {
    std::string name;
    uint32_t type = 0;
    if (!call.decodeText("name", raw.a2, raw.a3, &name) || !call.decodeNumber("type", raw.a6, &type)) {
        return kInvalid;
    }
    call.setName(name);
    if (std::optional<int32_t> refused = call.refusal()) {
        return *refused;
    }
    return open.store.addField(open.owner, open.handle, name, type);
}

int32_t moveBy(CallDecoder &call, const Open &open, const Arguments &raw) {
    uint32_t count = 0;
    if (!call.decodeNumber("count", raw.a6, &count)) {
        return kInvalid;
    }
    if (std::optional<int32_t> refused = call.refusal()) {
        return *refused;
    }
    return open.store.moveBy(open.owner, open.handle, signedOf(count));
}

int32_t selectRecords(CallDecoder &call, const Open &open, const Arguments &raw) {
    std::string criteria;
    if (!call.decodeText("criteria", raw.a2, raw.a3, &criteria)) {
        return kInvalid;
    }
    call.setValue(criteria);
    if (std::optional<int32_t> refused = call.refusal()) {
        return *refused;
    }
    return open.store.selectRecords(open.owner, open.handle, criteria);
}

// A field value's name (a2/a3) and type (a6); the 4-byte forms come with size 4 in a5.
bool decodeFieldAndType(CallDecoder &call, const Arguments &raw, std::string *field, uint32_t *type) {
    if (!call.decodeText("field", raw.a2, raw.a3, field) || !call.decodeNumber("type", raw.a6, type)) {
        return false;
    }
    call.setName(*field);
    return true;
}

bool isNumberType(uint32_t type) { return type == QEL_VALUE_IDENTIFIER || type == QEL_VALUE_INTEGER; }

int32_t setFieldValue(CallDecoder &call, const Open &open, const Arguments &raw) {
    std::string field;
    uint32_t type = 0;
    if (!decodeFieldAndType(call, raw, &field, &type)) {
        return kInvalid;
    }
    FieldValue value;
    if (type == QEL_VALUE_TEXT) {
        std::string text;
        if (!call.decodeText("value", raw.a4, raw.a5, &text)) {
            return kInvalid;
        }
        value = FieldValue::ofText(text);
    } else if (isNumberType(type)) {
        uint32_t size = 0;
        if (!call.decodeNumber("size", raw.a5, &size)) {
            return kInvalid;
        }
        if (size != 4 || raw.a4 == nullptr) {
            return call.violation("a 4-byte value is passed with size 4");
        }
        uint32_t number = 0;
        std::memcpy(&number, raw.a4, sizeof number);
        value = FieldValue::ofInteger(type == QEL_VALUE_INTEGER ? static_cast<int64_t>(signedOf(number))
                                                                : static_cast<int64_t>(number));
        if (call.recording()) {
            call.note("value=" + value.asText());
        }
    } else {
        return call.violation("unknown value type " + std::to_string(type));
    }
    if (call.recording()) {
        call.setValue(value.asText());
    }
    if (std::optional<int32_t> refused = call.refusal()) {
        return *refused;
    }
    return open.store.setFieldValue(open.owner, open.handle, field, value);
}

int32_t getFieldValue(CallDecoder &call, const Open &open, const Arguments &raw) {
    std::string field;
    uint32_t type = 0;
    if (!decodeFieldAndType(call, raw, &field, &type)) {
        return kInvalid;
    }
    if (type == QEL_VALUE_TEXT) {
        if (!call.decodeOutput("buffer", raw.a4, raw.a5)) {
            return kInvalid;
        }
        if (call.refused(true)) {
            return call.failOutput(call.refusalCode(), raw.a4, raw.a5);
        }
        FieldValue value;
        int32_t answer = open.store.getFieldValue(open.owner, open.handle, field, &value);
        if (answer != 0) {
            return call.failOutput(answer, raw.a4, raw.a5);
        }
        return call.answerText(value.asText(), raw.a4, raw.a5);
    }
    if (!isNumberType(type)) {
        return call.violation("unknown value type " + std::to_string(type));
    }
    uint32_t size = 0;
    if (!call.decodeNumber("size", raw.a5, &size)) {
        return kInvalid;
    }
    if (size != 4 || raw.a4 == nullptr) {
        return call.violation("a 4-byte value is read with size 4");
    }
    if (std::optional<int32_t> refused = call.refusal()) {
        return *refused;
    }
    FieldValue value;
    int32_t answer = open.store.getFieldValue(open.owner, open.handle, field, &value);
    if (answer != 0) {
        return answer;
    }
    int64_t number = value.asInteger();
    uint32_t written = 0;
    if (type == QEL_VALUE_INTEGER) {
        int32_t clamped = number > INT32_MAX ? INT32_MAX : number < INT32_MIN ? INT32_MIN : static_cast<int32_t>(number);
        std::memcpy(&written, &clamped, sizeof written);
    } else {
        written = static_cast<uint32_t>(number);
    }
    std::memcpy(raw.a4, &written, sizeof written);
    writeNumber(raw.a5, 4);
    if (call.recording()) {
        std::string shown = type == QEL_VALUE_INTEGER ? std::to_string(signedOf(written)) : std::to_string(written);
        call.setValue(shown);
        call.noteResult("size=4 value=" + shown);
    }
    return 0;
}

// --- the table ---------------------------------------------------------------------------

const ServiceTable &databaseServices() {
    static const ServiceTable table(ServiceCall::Channel::Database,
                                    {
                                        {QEL_DATABASE_STARTUP, startup},
                                        {QEL_DATABASE_SHUTDOWN, shutdown},
                                        {QEL_DATABASE_OPEN, openDatabase},
                                        {QEL_DATABASE_CLOSE, plain(&DatabaseStore::closeDatabase)},
                                        {QEL_DATABASE_ADD_FIELD, onHandle(addField)},
                                        {QEL_DATABASE_GET_FIELD_COUNT, counting(&DatabaseStore::fieldCount)},
                                        {QEL_DATABASE_GET_SELECTED_COUNT, counting(&DatabaseStore::selectedCount)},
                                        {QEL_DATABASE_CREATE_RECORD, plain(&DatabaseStore::createRecord)},
                                        {QEL_DATABASE_ADD_RECORD, plain(&DatabaseStore::addRecord)},
                                        {QEL_DATABASE_UPDATE_RECORD, plain(&DatabaseStore::updateRecord)},
                                        {QEL_DATABASE_DELETE_RECORD, onRecord(&DatabaseStore::deleteRecord)},
                                        {QEL_DATABASE_SET_FIELD_VALUE, onHandle(setFieldValue)},
                                        {QEL_DATABASE_GET_FIELD_VALUE, onHandle(getFieldValue)},
                                        {QEL_DATABASE_SELECT_RECORDS, onHandle(selectRecords)},
                                        {QEL_DATABASE_MOVE_TO_FIRST, plain(&DatabaseStore::moveToFirst)},
                                        {QEL_DATABASE_MOVE_TO_LAST, plain(&DatabaseStore::moveToLast)},
                                        {QEL_DATABASE_MOVE_TO_NEXT, plain(&DatabaseStore::moveToNext)},
                                        {QEL_DATABASE_MOVE_TO_RECORD, onRecord(&DatabaseStore::moveToRecord)},
                                        {QEL_DATABASE_MOVE_BY_RECORDS, onHandle(moveBy)},
                                    });
    return table;
}

} // namespace

} // namespace velquor::host

using velquor::host::HostRequest;

extern "C" int32_t HostDatabaseServiceCallback(uintptr_t hostRef, uint32_t selector, void *a1, void *a2, void *a3,
                                               void *a4, void *a5, void *a6) {
    return HostRequest::serveCall(hostRef, selector, [&](HostRequest &request) {
        return velquor::host::databaseServices().serve(request, selector, {a1, a2, a3, a4, a5, a6});
    });
}
