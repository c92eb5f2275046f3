// ServiceCaller.h: calls the host's service functions with raw buffers exactly as the
// module does (input texts with length + 1, output buffers with one 'MBtS' retry).
#ifndef VELQUOR_TESTS_HOST_SERVICE_CALLER_H
#define VELQUOR_TESTS_HOST_SERVICE_CALLER_H

#include "module/HostInterface.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velquor::host::test {

class ServiceCaller {
public:
    struct Output {
        int32_t answer = 0;
        std::string text;  // the first `size` bytes of the buffer on 0
        int calls = 0;     // 2 when the host answered 'MBtS' first
        uint32_t finalSize = 0;
    };

    explicit ServiceCaller(HostContext *context) : context_(context) {}

    int32_t page(uint32_t selector, void *a1 = nullptr, void *a2 = nullptr, void *a3 = nullptr, void *a4 = nullptr,
                 void *a5 = nullptr);
    int32_t database(uint32_t selector, void *a1 = nullptr, void *a2 = nullptr, void *a3 = nullptr,
                     void *a4 = nullptr, void *a5 = nullptr, void *a6 = nullptr);

    // a1 buffer, a2 &size (GetTagName, GetActionName, GetTagBody, GetVirtualHost, ...).
    Output output(uint32_t selector, uint32_t capacity);
    // a1 name, a2 &(length+1), a3 buffer, a4 &size (GetPreference, GetCGIVariable).
    Output named(uint32_t selector, const std::string &name, uint32_t capacity = 32);
    // As named, with a5 &index (GetTagParameter, GetFormArgument).
    Output indexed(uint32_t selector, const std::string &name, uint32_t index, uint32_t capacity = 32);
    // The text copied into a buffer of max(length + 1, minimum) bytes, replaced by the
    // answer (RegisterAction, GetDataFolderPath, ResolveFolderPath); the copy is made again
    // for the retry.
    Output inOut(uint32_t selector, const std::string &text, uint32_t minimum);
    // GetTagParameterAt: both buffers grown on 'MBtS'.
    Output parameterAt(uint32_t index, std::string *name, uint32_t nameCapacity = 32, uint32_t valueCapacity = 32);

    // a1 copy of the text, a2 &(length+1) (registration texts, RemovePreference).
    int32_t text(uint32_t selector, const std::string &text);
    // a1/a2 and a3/a4 (SetErrorInfo, SetPageVariable, SetPreference).
    int32_t twoTexts(uint32_t selector, const std::string &first, const std::string &second);
    int32_t writeText(const std::string &text);
    int32_t writeLog(const std::string &text);
    int32_t registerTag(const std::string &name, uint32_t kind);

    // Database services.
    int32_t startup(const std::string &connection = "");
    int32_t shutdown();
    int32_t open(const std::string &name, uint32_t mode, uint32_t *handle);
    int32_t close(uint32_t handle);
    int32_t addField(uint32_t handle, const std::string &name, uint32_t type);
    // The count the module takes: the one written on 0, else 0.
    uint32_t fieldCount(uint32_t handle);
    uint32_t selectedCount(uint32_t handle);
    // A service that takes the handle only (create, add, update, moves).
    int32_t onHandle(uint32_t selector, uint32_t handle);
    // DeleteRecord / MoveToRecord.
    int32_t onRecord(uint32_t selector, uint32_t handle, uint32_t recordId);
    int32_t moveBy(uint32_t handle, int32_t count);
    int32_t select(uint32_t handle, const std::string &criteria);
    int32_t setText(uint32_t handle, const std::string &field, const std::string &value);
    int32_t setNumber(uint32_t handle, const std::string &field, int32_t value, uint32_t type);
    Output getText(uint32_t handle, const std::string &field, uint32_t capacity = 64);
    // The value as the module takes it (0 when nothing was written); the answer in *answer.
    int32_t getNumber(uint32_t handle, const std::string &field, uint32_t type, int32_t *answer = nullptr);

private:
    HostContext *context_;
};

} // namespace velquor::host::test

#endif
