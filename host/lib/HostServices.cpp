// HostServices.cpp: the page, tag, registration and preference services (HostCallback)
// served for the request that the hostRef names.
#include "host/lib/HostServices.h"

#include "host/lib/CallDecoder.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/HostText.h"
#include "host/lib/PreferenceStore.h"

#include <cstring>
#include <exception>
#include <optional>
#include <string>

namespace velquor::host {

namespace {

const int32_t kNotFound = static_cast<int32_t>(QEL_RESULT_NOT_FOUND);
const int32_t kRefused = static_cast<int32_t>(QEL_RESULT_NOT_AUTHORISED);
const int32_t kInvalid = static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);
const int32_t kTooSmall = static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL);

// An output service: a1 buffer, a2 &size, answered with `answer` (nullopt: 'MNtF').
// The answer of an output service: nothing (the default applies) for an empty value.
std::optional<std::string> nonEmpty(const std::string &value) {
    return value.empty() ? std::nullopt : std::optional<std::string>(value);
}

int32_t outputService(CallDecoder &call, void *a1, void *a2, const std::optional<std::string> &answer) {
    if (!call.decodeOutput("buffer", a1, a2)) {
        return call.finish(kInvalid);
    }
    if (call.refused(true)) {
        return call.finish(call.failOutput(call.refusalCode(), a1, a2));
    }
    if (!answer) {
        return call.finish(call.failOutput(kNotFound, a1, a2));
    }
    return call.finish(call.answerText(*answer, a1, a2));
}

// A lookup by name (a1/a2) answered into a3/a4.
template <typename Lookup>
int32_t namedOutputService(CallDecoder &call, void *a1, void *a2, void *a3, void *a4, Lookup lookup) {
    std::string name;
    if (!call.decodeText("name", a1, a2, &name) || !call.decodeOutput("buffer", a3, a4)) {
        return call.finish(kInvalid);
    }
    call.setName(name);
    if (call.refused(true)) {
        return call.finish(call.failOutput(call.refusalCode(), a3, a4));
    }
    std::optional<std::string> answer = lookup(name);
    if (!answer) {
        return call.finish(call.failOutput(kNotFound, a3, a4));
    }
    return call.finish(call.answerText(*answer, a3, a4));
}

// GetTagParameter / GetFormArgument: name, buffer, occurrence index.
template <typename Lookup>
int32_t occurrenceService(CallDecoder &call, void *a1, void *a2, void *a3, void *a4, void *a5, Lookup lookup) {
    std::string name;
    uint32_t index = 0;
    if (!call.decodeText("name", a1, a2, &name) || !call.decodeNumber("index", a5, &index) ||
        !call.decodeOutput("buffer", a3, a4)) {
        return call.finish(kInvalid);
    }
    call.setName(name);
    if (call.refused(true)) {
        return call.finish(call.failOutput(call.refusalCode(), a3, a4));
    }
    std::optional<std::string> answer = lookup(name, index);
    if (!answer) {
        return call.finish(call.failOutput(kNotFound, a3, a4));
    }
    return call.finish(call.answerText(*answer, a3, a4));
}

// A service that takes one input text (a1/a2) and acts on it.
template <typename Action>
int32_t textInputService(CallDecoder &call, const char *what, void *a1, void *a2, Action action) {
    std::string text;
    if (!call.decodeText(what, a1, a2, &text)) {
        return call.finish(kInvalid);
    }
    call.setName(text);
    if (call.refused(false)) {
        return call.finish(call.refusalCode());
    }
    return call.finish(action(text));
}

// GetTagParameterAt: both buffers are checked; when either is too small both needed
// sizes are written and the answer is 'MBtS'.
int32_t tagParameterAt(CallDecoder &call, HostRequest &request, void *a1, void *a2, void *a3, void *a4,
                       void *a5) {
    uint32_t index = 0;
    if (!call.decodeNumber("index", a5, &index) || !call.decodeOutput("nameBuffer", a1, a2) ||
        !call.decodeOutput("valueBuffer", a3, a4)) {
        return call.finish(kInvalid);
    }
    const auto &parameters = request.tagParameters();
    if (index < parameters.size()) {
        call.setName(parameters[index].first);
    }
    if (call.refused(true)) {
        call.failOutput(0, a1, a2);
        return call.finish(call.failOutput(call.refusalCode(), a3, a4));
    }
    if (index >= parameters.size()) {
        call.failOutput(0, a1, a2);
        return call.finish(call.failOutput(kNotFound, a3, a4));
    }
    const std::string &name = parameters[index].first;
    const std::string &value = parameters[index].second;
    uint32_t nameCapacity = 0;
    uint32_t valueCapacity = 0;
    std::memcpy(&nameCapacity, a2, sizeof nameCapacity);
    std::memcpy(&valueCapacity, a4, sizeof valueCapacity);
    uint32_t nameNeeded = static_cast<uint32_t>(name.size()) + 1;
    uint32_t valueNeeded = static_cast<uint32_t>(value.size()) + 1;
    bool forced = call.decision().kind == FaultPlan::Decision::Kind::BufferTooSmall;
    if (forced || a1 == nullptr || a3 == nullptr || nameCapacity < nameNeeded || valueCapacity < valueNeeded) {
        std::memcpy(a2, &nameNeeded, sizeof nameNeeded);
        std::memcpy(a4, &valueNeeded, sizeof valueNeeded);
        call.noteResult("nameSize=" + std::to_string(nameNeeded) + " valueSize=" + std::to_string(valueNeeded));
        return call.finish(kTooSmall);
    }
    std::memcpy(a1, name.c_str(), nameNeeded);
    std::memcpy(a3, value.c_str(), valueNeeded);
    uint32_t nameLength = nameNeeded - 1;
    uint32_t valueLength = valueNeeded - 1;
    std::memcpy(a2, &nameLength, sizeof nameLength);
    std::memcpy(a4, &valueLength, sizeof valueLength);
    call.setValue(value);
    call.noteResult("name=" + HostText::quoted(name) + " value=" + HostText::quoted(value));
    return call.finish(0);
}

// An in/out service: the text in a1 (capacity in a2) is replaced by the answer.
template <typename Compute>
int32_t inOutService(CallDecoder &call, const char *what, void *a1, void *a2, Compute compute) {
    std::string text;
    if (!call.decodeInOutText(what, a1, a2, &text)) {
        return call.finish(kInvalid);
    }
    call.setName(text);
    if (call.refused(true)) {
        return call.finish(call.failOutput(call.refusalCode(), nullptr, a2));
    }
    std::string reason;
    std::optional<std::string> answer = compute(text, &reason);
    if (!answer) {
        call.noteResult("refused: " + reason);
        return call.finish(call.failOutput(kRefused, nullptr, a2));
    }
    return call.finish(call.answerText(*answer, a1, a2));
}

int32_t servePage(HostRequest &request, uint32_t selector, void *a1, void *a2, void *a3, void *a4, void *a5) {
    CallDecoder call(request, ServiceCall::Channel::Page, selector);
    Host &host = request.host();
    switch (selector) {
    case QEL_SERVICE_WRITE_TEXT: {
        std::string text;
        if (!call.decodeExactText("text", a1, a2, &text)) {
            return call.finish(kInvalid);
        }
        call.setValue(text);
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        request.appendOutput(text);
        return call.finish(0);
    }
    case QEL_SERVICE_GET_TAG_NAME:
        return outputService(call, a1, a2, nonEmpty(request.tagName()));
    case QEL_SERVICE_GET_ACTION_NAME:
        return outputService(call, a1, a2, nonEmpty(request.actionName()));
    case QEL_SERVICE_GET_PREFERENCE:
        return namedOutputService(call, a1, a2, a3, a4, [&](const std::string &name) {
            return host.preferences().get(request.region(), name);
        });
    case QEL_SERVICE_SET_PREFERENCE: {
        std::string name;
        std::string value;
        if (!call.decodeText("name", a1, a2, &name) || !call.decodeText("value", a3, a4, &value)) {
            return call.finish(kInvalid);
        }
        call.setName(name);
        call.setValue(value);
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        bool stored = host.preferences().set(request.region(), name, value);
        return call.finish(stored ? 0 : static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE));
    }
    case QEL_SERVICE_REMOVE_PREFERENCE:
        return textInputService(call, "name", a1, a2, [&](const std::string &name) {
            host.preferences().remove(request.region(), name);
            return 0;
        });
    case QEL_SERVICE_WRITE_LOG_ENTRY: {
        std::string text;
        uint32_t kind = 0;
        if (!call.decodeText("text", a1, a2, &text) || !call.decodeNumber("kind", a5, &kind)) {
            return call.finish(kInvalid);
        }
        call.setValue(text);
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        request.addLogEntry(kind, text);
        return call.finish(0);
    }
    case QEL_SERVICE_SET_ERROR_INFO: {
        std::string message;
        std::string explanation;
        if (!call.decodeText("message", a1, a2, &message) ||
            !call.decodeText("explanation", a3, a4, &explanation)) {
            return call.finish(kInvalid);
        }
        call.setValue(message);
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        request.setErrorInfo(message, explanation);
        return call.finish(0);
    }
    case QEL_SERVICE_REGISTER_MODULE_NAME:
    case QEL_SERVICE_REGISTER_MODULE_VERSION:
    case QEL_SERVICE_REGISTER_MODULE_VENDOR:
    case QEL_SERVICE_REGISTER_TRACKING_URL:
        return textInputService(call, "text", a1, a2, [&](const std::string &text) {
            host.updateRegistration([&](Registration &registration) {
                if (selector == QEL_SERVICE_REGISTER_MODULE_NAME) {
                    registration.moduleName = text;
                } else if (selector == QEL_SERVICE_REGISTER_MODULE_VERSION) {
                    registration.moduleVersion = text;
                } else if (selector == QEL_SERVICE_REGISTER_MODULE_VENDOR) {
                    registration.moduleVendor = text;
                } else {
                    registration.trackingURL = text;
                }
            });
            return 0;
        });
    case QEL_SERVICE_REGISTER_TAG: {
        std::string name;
        uint32_t kind = 0;
        if (!call.decodeText("name", a1, a2, &name) || !call.decodeNumber("kind", a5, &kind)) {
            return call.finish(kInvalid);
        }
        call.setName(name);
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        if (name.empty()) {
            return call.finish(kInvalid);
        }
        host.updateRegistration([&](Registration &registration) { registration.addTag(name, kind); });
        return call.finish(0);
    }
    case QEL_SERVICE_REGISTER_ACTION: {
        std::string accepted;
        int32_t answer = inOutService(call, "name", a1, a2, [&](const std::string &name, std::string *reason) {
            std::optional<std::string> rename = request.faults().actionRename();
            accepted = rename ? *rename : name;
            if (accepted.empty()) {
                *reason = "an action needs a name";
                return std::optional<std::string>();
            }
            return std::optional<std::string>(accepted);
        });
        if (answer == 0) {
            host.updateRegistration([&](Registration &registration) { registration.actionName = accepted; });
        }
        return answer;
    }
    case QEL_SERVICE_GET_TAG_PARAMETER:
        return occurrenceService(call, a1, a2, a3, a4, a5, [&](const std::string &name, uint32_t index) {
            return request.tagParameter(name, index);
        });
    case QEL_SERVICE_GET_TAG_PARAMETER_AT:
        return tagParameterAt(call, request, a1, a2, a3, a4, a5);
    case QEL_SERVICE_GET_TAG_BODY:
        return outputService(call, a1, a2, request.tagBody());
    case QEL_SERVICE_GET_FORM_ARGUMENT:
        return occurrenceService(call, a1, a2, a3, a4, a5, [&](const std::string &name, uint32_t index) {
            return request.formArgument(name, index);
        });
    case QEL_SERVICE_GET_CGI_VARIABLE:
        return namedOutputService(call, a1, a2, a3, a4,
                                  [&](const std::string &name) { return request.cgiVariable(name); });
    case QEL_SERVICE_SET_PAGE_VARIABLE: {
        std::string name;
        std::string value;
        if (!call.decodeText("name", a1, a2, &name) || !call.decodeText("value", a3, a4, &value)) {
            return call.finish(kInvalid);
        }
        call.setName(name);
        call.setValue(value);
        if (call.refused(false)) {
            return call.finish(call.refusalCode());
        }
        if (name.empty()) {
            call.noteResult("refused: a page variable needs a name");
            return call.finish(kInvalid);
        }
        request.setPageVariable(name, value);
        return call.finish(0);
    }
    case QEL_SERVICE_GET_VIRTUAL_HOST:
        return outputService(call, a1, a2, nonEmpty(request.virtualHost()));
    case QEL_SERVICE_GET_PAGE_FOLDER_PATH: {
        std::optional<std::string> path;
        if (!request.pageFolder().empty()) {
            path = SiteFolders::withTrailingSlash(request.pageFolder());
        }
        return outputService(call, a1, a2, path);
    }
    case QEL_SERVICE_GET_DATA_FOLDER_PATH:
        return inOutService(call, "name", a1, a2, [&](const std::string &name, std::string *reason) {
            return host.folders().dataFolder(name, reason);
        });
    case QEL_SERVICE_RESOLVE_FOLDER_PATH:
        return inOutService(call, "path", a1, a2, [&](const std::string &path, std::string *reason) {
            return host.folders().resolve(request.pageFolder(), path, reason);
        });
    default:
        call.note("unknown selector");
        return call.finish(static_cast<int32_t>(QEL_RESULT_UNKNOWN_REQUEST));
    }
}

} // namespace

} // namespace velquor::host

using velquor::host::HostRequest;

extern "C" int32_t HostServiceCallback(uintptr_t hostRef, uint32_t selector, void *a1, void *a2, void *a3,
                                       void *a4, void *a5) {
    return HostRequest::serveCall(hostRef, selector, [&](HostRequest &request) {
        return velquor::host::servePage(request, selector, a1, a2, a3, a4, a5);
    });
}
