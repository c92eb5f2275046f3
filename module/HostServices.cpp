// HostServices.cpp: wrappers for the host's page, tag, registration and preference
// services, with the 'MBtS' buffer protocol.
#include "module/HostServices.h"

#include <utility>

#include "foundation/Decimal.h"
#include "foundation/NumberText.h"
#include "module/ServiceBuffer.h"

namespace {

constexpr uint32_t kNameCapacity = 32;
constexpr uint32_t kActionNameCapacity = 64;
constexpr uint32_t kValueCapacity = 32;
constexpr uint32_t kBodyCapacity = 63;
constexpr uint32_t kPathCapacity = 256;

}  // namespace

int32_t QELHostServices::call(uint32_t selector, void *a1, void *a2, void *a3, void *a4, void *a5) const {
    if (context_.callback == nullptr)
        return static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
    return context_.callback(context_.hostRef, selector, a1, a2, a3, a4, a5);
}

bool QELHostServices::WriteText(const QELString &text) const {
    if (text.isEmpty())
        return true;
    // The count of this service is the length itself, without the terminator.
    QELInputCopy copy(text);
    uint32_t length = copy.length();
    return call(QEL_SERVICE_WRITE_TEXT, copy.bytes(), &length) == 0;
}

bool QELHostServices::WriteText(QELString &&text) const {
    QELString taken(std::move(text));
    if (taken.isEmpty())
        return true;
    uint32_t length = taken.length();
    // The buffer becomes the text's own (a copy only when it is shared) and stays locked
    // while the host holds it.
    char *bytes = taken.beginWrite(length);
    if (bytes == nullptr)
        return WriteText(static_cast<const QELString &>(taken));
    bool written = call(QEL_SERVICE_WRITE_TEXT, bytes, &length) == 0;
    taken.endWrite(0);
    return written;
}

QELString QELHostServices::GetTagName() const {
    // The host always names the tag being served, so the answer code is not examined.
    QELServiceBuffer buffer(kNameCapacity);
    CallWithRetry([&] { return call(QEL_SERVICE_GET_TAG_NAME, buffer.data(), buffer.size()); }, buffer);
    return buffer.answer();
}

QELString QELHostServices::GetActionName() const {
    QELServiceBuffer buffer(kActionNameCapacity);
    CallWithRetry([&] { return call(QEL_SERVICE_GET_ACTION_NAME, buffer.data(), buffer.size()); }, buffer);
    return buffer.answer();
}

QELString QELHostServices::GetPreference(const QELString &name, const QELString &defaultValue, bool *found) const {
    QELInputCopy input(name);
    QELServiceBuffer buffer(kValueCapacity);
    int32_t answer = CallWithRetry(
        [&] { return call(QEL_SERVICE_GET_PREFERENCE, input.bytes(), input.count(), buffer.data(), buffer.size()); },
        buffer);
    if (found != nullptr)
        *found = answer == 0;
    return answer == 0 ? buffer.answer() : defaultValue;
}

void QELHostServices::SetPreference(const QELString &name, const QELString &value) const {
    QELInputCopy nameCopy(name);
    QELInputCopy valueCopy(value);
    call(QEL_SERVICE_SET_PREFERENCE, nameCopy.bytes(), nameCopy.count(), valueCopy.bytes(), valueCopy.count());
}

void QELHostServices::RemovePreference(const QELString &name) const {
    QELInputCopy nameCopy(name);
    call(QEL_SERVICE_REMOVE_PREFERENCE, nameCopy.bytes(), nameCopy.count());
}

bool QELHostServices::WriteLogEntry(const QELString &text) const {
    QELInputCopy input(text);
    uint32_t kind = QEL_LOG_ENTRY_KIND;
    return call(QEL_SERVICE_WRITE_LOG_ENTRY, input.bytes(), input.count(), nullptr, nullptr, &kind) == 0;
}

bool QELHostServices::SetErrorInfo(const QELString &message, const QELString &explanation) const {
    QELInputCopy first(message);
    QELInputCopy second(explanation);
    return call(QEL_SERVICE_SET_ERROR_INFO, first.bytes(), first.count(), second.bytes(), second.count()) == 0;
}

bool QELHostServices::simpleInput(uint32_t selector, const QELString &text, void *a5) const {
    // Registration services get a copy the host may keep or change.
    QELInputCopy copy(text);
    return call(selector, copy.bytes(), copy.count(), nullptr, nullptr, a5) == 0;
}

bool QELHostServices::RegisterModuleName(const QELString &name) const {
    return simpleInput(QEL_SERVICE_REGISTER_MODULE_NAME, name);
}

bool QELHostServices::RegisterModuleVersion(const QELString &version) const {
    return simpleInput(QEL_SERVICE_REGISTER_MODULE_VERSION, version);
}

bool QELHostServices::RegisterModuleVendor(const QELString &vendor) const {
    return simpleInput(QEL_SERVICE_REGISTER_MODULE_VENDOR, vendor);
}

bool QELHostServices::RegisterVersionTrackingURL(const QELString &url) const {
    return simpleInput(QEL_SERVICE_REGISTER_TRACKING_URL, url);
}

bool QELHostServices::RegisterTag(const QELString &name, uint32_t kind) const {
    return simpleInput(QEL_SERVICE_REGISTER_TAG, name, &kind);
}

bool QELHostServices::RegisterAction(QELString &name) const {
    QELServiceBuffer buffer(name.length() + 1 > kNameCapacity ? name.length() + 1 : kNameCapacity, &name);
    int32_t answer = CallWithRetry([&] { return call(QEL_SERVICE_REGISTER_ACTION, buffer.data(), buffer.size()); },
                                   buffer);
    if (answer != 0)
        return false;
    name = buffer.answer();
    return true;
}

bool QELHostServices::nameIndexService(uint32_t selector, const QELString &name, uint32_t index,
                                       QELString &value) const {
    QELInputCopy input(name);
    QELServiceBuffer buffer(kValueCapacity);
    int32_t answer = CallWithRetry(
        [&] { return call(selector, input.bytes(), input.count(), buffer.data(), buffer.size(), &index); }, buffer);
    if (answer != 0)
        return false;
    value = buffer.answer();
    return true;
}

bool QELHostServices::GetTagParameter(const QELString &name, uint32_t index, QELString &value,
                                      const QELString &defaultValue) const {
    if (nameIndexService(QEL_SERVICE_GET_TAG_PARAMETER, name, index, value))
        return true;
    value = defaultValue;
    return false;
}

bool QELHostServices::GetTagParameter(const QELString &name, uint32_t index, QELHashedName &value,
                                      const QELHashedName &defaultValue) const {
    QELString text;
    if (nameIndexService(QEL_SERVICE_GET_TAG_PARAMETER, name, index, text)) {
        value = QELHashedName(text, QELHashedName::kCaseInsensitive);
        return true;
    }
    value = defaultValue;
    return false;
}

bool QELHostServices::GetTagParameter(const QELString &name, uint32_t index, uint32_t &value,
                                      uint32_t defaultValue) const {
    QELString text;
    if (nameIndexService(QEL_SERVICE_GET_TAG_PARAMETER, name, index, text)) {
        // A negative number is no count: it is refused, never read as a huge one.
        int32_t number = TextToInteger(text, 10);
        if (number >= 0) {
            value = static_cast<uint32_t>(number);
            return true;
        }
    }
    value = defaultValue;
    return false;
}

bool QELHostServices::GetTagParameter(const QELString &name, uint32_t index, QELDecimal &value,
                                      const QELDecimal &defaultValue) const {
    QELString text;
    if (nameIndexService(QEL_SERVICE_GET_TAG_PARAMETER, name, index, text)) {
        value = text;
        return true;
    }
    value = defaultValue;
    return false;
}

bool QELHostServices::GetTagParameterFlag(const QELString &name, uint32_t index, bool &value,
                                          bool defaultValue) const {
    QELString text;
    if (nameIndexService(QEL_SERVICE_GET_TAG_PARAMETER, name, index, text)) {
        value = IsTrueText(text);
        return true;
    }
    value = defaultValue;
    return false;
}

bool QELHostServices::ReportMissingParameter(const QELString &name, uint32_t index, QELString &value) const {
    if (GetTagParameter(name, index, value))
        return true;
    ReportMissing(name);
    return false;
}

void QELHostServices::ReportMissing(const QELString &name) const {
    QELString tag = GetTagName();
    QELString message("An &lt;");
    message.append(tag);
    message.append("&gt; tag was found but it is missing its &quot;");
    message.append(name);
    message.append("&quot; parameter.");
    QELString explanation("Check the &lt;");
    explanation.append(tag);
    explanation.append("&gt; tag to see if the &quot;");
    explanation.append(name);
    explanation.append("&quot; parameter is missing or misspelled.");
    SetErrorInfo(message, explanation);
}

bool QELHostServices::GetTagParameterAt(uint32_t index, QELHashedName &name, QELString &value) const {
    QELServiceBuffer nameBuffer(kNameCapacity);
    QELServiceBuffer valueBuffer(kValueCapacity);
    int32_t answer = CallWithRetry(
        [&] {
            return call(QEL_SERVICE_GET_TAG_PARAMETER_AT, nameBuffer.data(), nameBuffer.size(), valueBuffer.data(),
                        valueBuffer.size(), &index);
        },
        nameBuffer, &valueBuffer);
    if (answer != 0)
        return false;
    name = QELHashedName(nameBuffer.answer(), QELHashedName::kCaseInsensitive);
    value = valueBuffer.answer();
    return true;
}

QELString QELHostServices::GetTagBody() const {
    QELServiceBuffer buffer(kBodyCapacity);
    int32_t answer =
        CallWithRetry([&] { return call(QEL_SERVICE_GET_TAG_BODY, buffer.data(), buffer.size()); }, buffer);
    return answer == 0 ? buffer.answer() : QELString();
}

bool QELHostServices::GetFormArgument(const QELString &name, uint32_t index, QELString &value,
                                      const QELString &defaultValue) const {
    if (nameIndexService(QEL_SERVICE_GET_FORM_ARGUMENT, name, index, value))
        return true;
    value = defaultValue;
    return false;
}

QELString QELHostServices::GetCGIVariable(const QELString &name, bool *answered) const {
    QELInputCopy input(name);
    QELServiceBuffer buffer(kValueCapacity);
    int32_t answer = CallWithRetry(
        [&] { return call(QEL_SERVICE_GET_CGI_VARIABLE, input.bytes(), input.count(), buffer.data(), buffer.size()); },
        buffer);
    if (answered != nullptr)
        *answered = answer == 0;
    return answer == 0 ? buffer.answer() : QELString();
}

bool QELHostServices::SetPageVariable(const QELString &name, const QELString &value) const {
    QELInputCopy first(name);
    QELInputCopy second(value);
    return call(QEL_SERVICE_SET_PAGE_VARIABLE, first.bytes(), first.count(), second.bytes(), second.count()) == 0;
}

QELString QELHostServices::GetVirtualHost() const {
    QELServiceBuffer buffer(kValueCapacity);
    int32_t answer =
        CallWithRetry([&] { return call(QEL_SERVICE_GET_VIRTUAL_HOST, buffer.data(), buffer.size()); }, buffer);
    return answer == 0 ? buffer.answer() : QELString();
}

QELString QELHostServices::GetPageFolderPath() const {
    QELServiceBuffer buffer(kPathCapacity);
    int32_t answer =
        CallWithRetry([&] { return call(QEL_SERVICE_GET_PAGE_FOLDER_PATH, buffer.data(), buffer.size()); }, buffer);
    return answer == 0 ? buffer.answer() : QELString();
}

QELString QELHostServices::GetDataFolderPath(const QELString &name) const {
    QELServiceBuffer buffer(kPathCapacity, &name);
    int32_t answer =
        CallWithRetry([&] { return call(QEL_SERVICE_GET_DATA_FOLDER_PATH, buffer.data(), buffer.size()); }, buffer);
    return answer == 0 ? buffer.answer() : QELString();
}

bool QELHostServices::ResolveFolderPath(QELString &path) const {
    // The copy is exactly the path and its terminator, so the size is length + 1.
    QELServiceBuffer buffer(0, &path);
    int32_t answer =
        CallWithRetry([&] { return call(QEL_SERVICE_RESOLVE_FOLDER_PATH, buffer.data(), buffer.size()); }, buffer);
    if (answer != 0)
        return false;
    path = buffer.answer();
    return true;
}
