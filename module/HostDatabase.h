// HostDatabase.h: the module's side of the host's record database services: one
// wrapper per selector, all through HostDatabaseCallback.
#pragma once

#include <cstdint>

#include "foundation/String.h"
#include "module/HostInterface.h"

class QELDecimal;

// Wraps the HostContext of the request being served. Wrappers return the host's code
// unchanged (0 is success) unless noted, and never throw on a service failure.
class QELHostDatabase : public QELObject {
public:
    explicit QELHostDatabase(const HostContext &context) : context_(context) {}

    // 'MIni': the connection text "source,user,password" is sent only when all three
    // are non-empty; otherwise every argument is 0.
    int32_t DatabaseStartup(const QELString &source, const QELString &user, const QELString &password) const;
    // 'MTrm'.
    int32_t DatabaseShutdown() const;
    // 'MDOp': mode QEL_OPEN_SHARED or QEL_OPEN_EXCLUSIVE; on 0 the handle is stored.
    int32_t OpenDatabase(const QELString &name, uint32_t mode, const QELString &extra, uint32_t &handle) const;
    // 'MDCl'.
    int32_t CloseDatabase(uint32_t handle) const;
    // 'MFAd': adds a field with the caller's 32-bit type descriptor.
    int32_t AddField(uint32_t handle, const QELString &name, uint32_t type) const;
    // 'MFCt': the number of fields; 0 when the host fails.
    uint32_t GetFieldCount(uint32_t handle) const;
    // 'MRCr', 'MRAd', 'MRUp': start a new record, store it, store changes to the current one.
    int32_t CreateRecord(uint32_t handle) const;
    int32_t AddRecord(uint32_t handle) const;
    int32_t UpdateRecord(uint32_t handle) const;
    // 'MRDl': deletes the record with the host's identifier.
    int32_t DeleteRecord(uint32_t handle, uint32_t recordId) const;

    // 'MFSV' in its four forms.
    int32_t SetFieldFlag(uint32_t handle, const QELString &field, bool value) const;
    int32_t SetFieldValue(uint32_t handle, const QELString &field, int32_t value) const;
    int32_t SetFieldValue(uint32_t handle, const QELString &field, const QELDecimal &value) const;
    int32_t SetFieldValue(uint32_t handle, const QELString &field, const QELString &value) const;

    // 'MFGV' in its four forms. The 4-byte forms give the value as the host left it
    // (0 when nothing was written), whatever the answer.
    int32_t GetFieldInteger(uint32_t handle, const QELString &field) const;
    // The same call, the host's code returned and the value in value.
    int32_t GetFieldInteger(uint32_t handle, const QELString &field, int32_t &value) const;
    uint32_t GetFieldIdentifier(uint32_t handle, const QELString &field) const;
    // A decimal of precision 75 and scale 25 from the text on success; empty otherwise.
    QELDecimal GetFieldDecimal(uint32_t handle, const QELString &field) const;
    // The text on success; "" otherwise.
    QELString GetFieldText(uint32_t handle, const QELString &field) const;

    // 'MSEc': "" selects every record; "Field = 'value'" the records holding value.
    int32_t SelectRecords(uint32_t handle, const QELString &criteria) const;
    // 'MSRC': the size of the selection; 0 when the host fails.
    uint32_t GetSelectedRecordCount(uint32_t handle) const;
    // The same call, the host's code returned and the count in count (0 on a failure).
    int32_t GetSelectedRecordCount(uint32_t handle, uint32_t &count) const;
    // 'MMFR', 'MMLR', 'MMNR', 'MMTR', 'MMJp': cursor moves over the selection.
    int32_t MoveToFirstRecord(uint32_t handle) const;
    int32_t MoveToLastRecord(uint32_t handle) const;
    int32_t MoveToNextRecord(uint32_t handle) const;
    int32_t MoveToRecord(uint32_t handle, uint32_t recordId) const;
    int32_t MoveByRecords(uint32_t handle, int32_t count) const;

private:
    int32_t call(uint32_t selector, void *a1 = nullptr, void *a2 = nullptr, void *a3 = nullptr, void *a4 = nullptr,
                 void *a5 = nullptr, void *a6 = nullptr) const;
    int32_t handleOnly(uint32_t selector, uint32_t handle) const;
    // A service that names a record by its identifier (a 4-byte identifier value).
    int32_t recordCall(uint32_t selector, uint32_t handle, uint32_t recordId) const;
    int32_t setField(uint32_t handle, const QELString &field, void *value, uint32_t size, uint32_t type) const;
    int32_t getField4(uint32_t handle, const QELString &field, uint32_t type, uint32_t &value) const;
    bool getFieldText(uint32_t handle, const QELString &field, uint32_t capacity, QELString &value) const;
    int32_t count(uint32_t selector, uint32_t handle, uint32_t &value) const;

    const HostContext &context_;
};
