// DatabaseServices.cpp: the record database services (HostDatabaseCallback), decoded by
// the call conventions and served by the host's DatabaseStore for the request's handles.
#include "host/lib/CallDecoder.h"
#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/HostServices.h"
#include "host/lib/HostText.h"

#include <climits>
#include <cstring>

namespace velquor::host {

namespace {

const int32_t kInvalid = static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);
const int32_t kGeneral = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);

void writeNumber(void *pointer, uint32_t value) { std::memcpy(pointer, &value, sizeof value); }

// A record identifier argument: &id, &4, &QEL_VALUE_IDENTIFIER.
bool decodeRecordId(CallDecoder &call, void *a2, void *a3, void *a6, uint32_t *id) {
    uint32_t size = 0;
    uint32_t type = 0;
    if (!call.decodeNumber("recordId", a2, id) || !call.decodeNumber("size", a3, &size) ||
        !call.decodeNumber("type", a6, &type)) {
        return false;
    }
    if (size != 4 || type != QEL_VALUE_IDENTIFIER) {
        call.violation("a record identifier is passed with size 4 and type 0x30000000");
        return false;
    }
    return true;
}

int32_t serveDatabase(HostRequest &request, uint32_t selector, void *a1, void *a2, void *a3, void *a4, void *a5,
                      void *a6) {
    CallDecoder call(request, ServiceCall::Channel::Database, selector);
    DatabaseStore &store = request.host().databases();
    const uint64_t owner = request.id();

    if (selector == QEL_DATABASE_STARTUP) {
        std::string connection;
        if (!call.decodeOptionalText("connection", a2, a3, &connection)) {
            return call.finish(kInvalid);
        }
        call.setValue(connection);
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        request.setDatabaseStarts(request.databaseStarts() + 1);
        return call.finish(0);
    }
    if (selector == QEL_DATABASE_SHUTDOWN) {
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        if (request.databaseStarts() == 0) {
            call.noteResult("the database system was not started");
            return call.finish(kGeneral);
        }
        request.setDatabaseStarts(request.databaseStarts() - 1);
        if (request.databaseStarts() == 0) {
            size_t closed = store.closeAll(owner);
            if (closed > 0) {
                call.noteResult("closed " + std::to_string(closed) + " handles left open");
            }
        }
        return call.finish(0);
    }
    if (selector == QEL_DATABASE_OPEN) {
        std::string name;
        std::string extra;
        uint32_t mode = 0;
        if (a1 == nullptr) {
            return call.finish(call.violation("missing handle pointer"));
        }
        if (!call.decodeText("name", a2, a3, &name) || !call.decodeOptionalText("extra", a4, a5, &extra) ||
            !call.decodeNumber("mode", a6, &mode)) {
            return call.finish(kInvalid);
        }
        call.setName(name);
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        if (request.databaseStarts() == 0) {
            call.noteResult("the database system was not started");
            return call.finish(kGeneral);
        }
        uint32_t handle = 0;
        int32_t answer = store.openDatabase(owner, name, mode, &handle);
        if (answer == 0) {
            writeNumber(a1, handle);
            call.noteResult("handle=" + std::to_string(handle));
        }
        return call.finish(answer);
    }

    // Every other service names an open handle.
    uint32_t handle = 0;
    if (!call.decodeNumber("handle", a1, &handle)) {
        return call.finish(kInvalid);
    }
    std::optional<std::string> database = store.databaseName(owner, handle);
    call.setName(database ? *database : std::string());

    switch (selector) {
    case QEL_DATABASE_CLOSE:
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        return call.finish(store.closeDatabase(owner, handle));
    case QEL_DATABASE_ADD_FIELD: {
        std::string name;
        uint32_t type = 0;
        if (!call.decodeText("name", a2, a3, &name) || !call.decodeNumber("type", a6, &type)) {
            return call.finish(kInvalid);
        }
        call.setName(name);
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        return call.finish(store.addField(owner, handle, name, type));
    }
    case QEL_DATABASE_GET_FIELD_COUNT:
    case QEL_DATABASE_GET_SELECTED_COUNT: {
        if (a6 == nullptr) {
            return call.finish(call.violation("missing count pointer"));
        }
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        uint32_t count = 0;
        int32_t answer = selector == QEL_DATABASE_GET_FIELD_COUNT ? store.fieldCount(owner, handle, &count)
                                                                  : store.selectedCount(owner, handle, &count);
        if (answer == 0) {
            writeNumber(a6, count);
            call.noteResult("count=" + std::to_string(count));
        }
        return call.finish(answer);
    }
    case QEL_DATABASE_CREATE_RECORD:
    case QEL_DATABASE_ADD_RECORD:
    case QEL_DATABASE_UPDATE_RECORD:
    case QEL_DATABASE_MOVE_TO_FIRST:
    case QEL_DATABASE_MOVE_TO_LAST:
    case QEL_DATABASE_MOVE_TO_NEXT: {
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        int32_t answer = 0;
        switch (selector) {
        case QEL_DATABASE_CREATE_RECORD: answer = store.createRecord(owner, handle); break;
        case QEL_DATABASE_ADD_RECORD: answer = store.addRecord(owner, handle); break;
        case QEL_DATABASE_UPDATE_RECORD: answer = store.updateRecord(owner, handle); break;
        case QEL_DATABASE_MOVE_TO_FIRST: answer = store.moveToFirst(owner, handle); break;
        case QEL_DATABASE_MOVE_TO_LAST: answer = store.moveToLast(owner, handle); break;
        default: answer = store.moveToNext(owner, handle); break;
        }
        return call.finish(answer);
    }
    case QEL_DATABASE_DELETE_RECORD:
    case QEL_DATABASE_MOVE_TO_RECORD: {
        uint32_t id = 0;
        if (!decodeRecordId(call, a2, a3, a6, &id)) {
            return call.finish(kInvalid);
        }
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        return call.finish(selector == QEL_DATABASE_DELETE_RECORD ? store.deleteRecord(owner, handle, id)
                                                                  : store.moveToRecord(owner, handle, id));
    }
    case QEL_DATABASE_MOVE_BY_RECORDS: {
        uint32_t raw = 0;
        if (!call.decodeNumber("count", a6, &raw)) {
            return call.finish(kInvalid);
        }
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        int32_t count = 0;
        std::memcpy(&count, &raw, sizeof count);
        return call.finish(store.moveBy(owner, handle, count));
    }
    case QEL_DATABASE_SELECT_RECORDS: {
        std::string criteria;
        if (!call.decodeText("criteria", a2, a3, &criteria)) {
            return call.finish(kInvalid);
        }
        call.setValue(criteria);
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        return call.finish(store.selectRecords(owner, handle, criteria));
    }
    case QEL_DATABASE_SET_FIELD_VALUE: {
        std::string field;
        uint32_t type = 0;
        if (!call.decodeText("field", a2, a3, &field) || !call.decodeNumber("type", a6, &type)) {
            return call.finish(kInvalid);
        }
        call.setName(field);
        FieldValue value;
        if (type == QEL_VALUE_TEXT) {
            std::string text;
            if (!call.decodeText("value", a4, a5, &text)) {
                return call.finish(kInvalid);
            }
            value = FieldValue::ofText(text);
        } else if (type == QEL_VALUE_IDENTIFIER || type == QEL_VALUE_INTEGER) {
            uint32_t size = 0;
            if (!call.decodeNumber("size", a5, &size)) {
                return call.finish(kInvalid);
            }
            if (size != 4 || a4 == nullptr) {
                return call.finish(call.violation("a 4-byte value is passed with size 4"));
            }
            uint32_t raw = 0;
            std::memcpy(&raw, a4, sizeof raw);
            int32_t signedValue = 0;
            std::memcpy(&signedValue, &raw, sizeof signedValue);
            value = FieldValue::ofInteger(type == QEL_VALUE_INTEGER ? static_cast<int64_t>(signedValue)
                                                                    : static_cast<int64_t>(raw));
            call.note("value=" + value.asText());
        } else {
            return call.finish(call.violation("unknown value type " + std::to_string(type)));
        }
        call.setValue(value.asText());
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        return call.finish(store.setFieldValue(owner, handle, field, value));
    }
    case QEL_DATABASE_GET_FIELD_VALUE: {
        std::string field;
        uint32_t type = 0;
        if (!call.decodeText("field", a2, a3, &field) || !call.decodeNumber("type", a6, &type)) {
            return call.finish(kInvalid);
        }
        call.setName(field);
        if (type == QEL_VALUE_TEXT) {
            if (!call.decodeOutput("buffer", a4, a5)) {
                return call.finish(kInvalid);
            }
            if (call.refused(true)) {
                return call.finish(call.failOutput(call.refusalCode(), a4, a5));
            }
            FieldValue value;
            int32_t answer = store.getFieldValue(owner, handle, field, &value);
            if (answer != 0) {
                return call.finish(call.failOutput(answer, a4, a5));
            }
            return call.finish(call.answerText(value.asText(), a4, a5));
        }
        if (type != QEL_VALUE_IDENTIFIER && type != QEL_VALUE_INTEGER) {
            return call.finish(call.violation("unknown value type " + std::to_string(type)));
        }
        uint32_t size = 0;
        if (!call.decodeNumber("size", a5, &size)) {
            return call.finish(kInvalid);
        }
        if (size != 4 || a4 == nullptr) {
            return call.finish(call.violation("a 4-byte value is read with size 4"));
        }
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        FieldValue value;
        int32_t answer = store.getFieldValue(owner, handle, field, &value);
        if (answer != 0) {
            return call.finish(answer);
        }
        int64_t number = value.asInteger();
        uint32_t raw = 0;
        if (type == QEL_VALUE_INTEGER) {
            int32_t clamped = number > INT32_MAX ? INT32_MAX : number < INT32_MIN ? INT32_MIN : static_cast<int32_t>(number);
            std::memcpy(&raw, &clamped, sizeof raw);
        } else {
            raw = static_cast<uint32_t>(number);
        }
        std::memcpy(a4, &raw, sizeof raw);
        writeNumber(a5, 4);
        int32_t asSigned = 0;
        std::memcpy(&asSigned, &raw, sizeof asSigned);
        std::string shown = type == QEL_VALUE_INTEGER ? std::to_string(asSigned) : std::to_string(raw);
        call.setValue(shown);
        call.noteResult("size=4 value=" + shown);
        return call.finish(0);
    }
    default:
        call.note("unknown selector");
        return call.finish(static_cast<int32_t>(QEL_RESULT_UNKNOWN_REQUEST));
    }
}

} // namespace

} // namespace velquor::host

using velquor::host::HostRequest;

extern "C" int32_t HostDatabaseServiceCallback(uintptr_t hostRef, uint32_t selector, void *a1, void *a2, void *a3,
                                               void *a4, void *a5, void *a6) {
    return HostRequest::serveCall(hostRef, selector, [&](HostRequest &request) {
        return velquor::host::serveDatabase(request, selector, a1, a2, a3, a4, a5, a6);
    });
}
