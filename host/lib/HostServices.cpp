// HostServices.cpp: the page, tag, registration and preference services (HostCallback)
// as one table: each row names how the arguments are laid out and what the service does.
#include "host/lib/HostServices.h"

#include "host/lib/CallDecoder.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/HostText.h"
#include "host/lib/PreferenceStore.h"
#include "host/lib/ServiceTable.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace velquor::host {

namespace {

using Arguments = ServiceTable::Arguments;
using Handler = ServiceTable::Handler;

const int32_t kNotFound = static_cast<int32_t>(QEL_RESULT_NOT_FOUND);
const int32_t kRefused = static_cast<int32_t>(QEL_RESULT_NOT_AUTHORISED);
const int32_t kInvalid = static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);
const int32_t kTooSmall = static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL);
const int32_t kGeneral = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);

// --- output services: an answer written into the module's buffer ------------------------

// What an output service looks its answer up by.
struct Key {
    std::string name;
    uint32_t index = 0;
};

enum class KeyLayout {
    None,          // a1 buffer, a2 &size
    Name,          // a1/a2 name, a3 buffer, a4 &size
    NameAndIndex,  // as Name, with a5 &occurrence index
};

// The answer, or nothing ('MNtF').
using Lookup = std::function<std::optional<std::string>(HostRequest &request, const Key &key)>;

// The end of every output service: a refusal of the fault plan, 'MNtF' for no answer,
// else the answer by the 'MBtS' rule.
template <typename Answer>
int32_t answerInto(CallDecoder &call, void *buffer, void *size, Answer answer) {
    if (call.refused(true)) {
        return call.failOutput(call.refusalCode(), buffer, size);
    }
    std::optional<std::string> text = answer();
    if (!text) {
        return call.failOutput(kNotFound, buffer, size);
    }
    return call.answerText(*text, buffer, size);
}

Handler output(KeyLayout layout, Lookup lookup) {
    return [layout, lookup](CallDecoder &call, HostRequest &request, const Arguments &raw) -> int32_t {
        bool keyed = layout != KeyLayout::None;
        void *buffer = keyed ? raw.a3 : raw.a1;
        void *size = keyed ? raw.a4 : raw.a2;
        Key key;
        if ((keyed && !call.decodeText("name", raw.a1, raw.a2, &key.name)) ||
            (layout == KeyLayout::NameAndIndex && !call.decodeNumber("index", raw.a5, &key.index)) ||
            !call.decodeOutput("buffer", buffer, size)) {
            return kInvalid;
        }
        if (keyed) {
            call.setName(key.name);
        }
        return answerInto(call, buffer, size, [&] { return lookup(request, key); });
    };
}

// An answer that is there only when not empty.
std::optional<std::string> nonEmpty(const std::string &value) {
    return value.empty() ? std::nullopt : std::optional<std::string>(value);
}

// --- in/out services: the module's text in a1 (capacity a2) is replaced by the answer -----

// The answer, or nothing with the reason ('MNAu').
using Compute = std::function<std::optional<std::string>(HostRequest &request, const std::string &text,
                                                         std::string *reason)>;
// What follows an answer the module received.
using Answered = std::function<void(HostRequest &request, const std::string &answer)>;

Handler inOut(const char *label, Compute compute, Answered answered = nullptr) {
    return [label, compute, answered](CallDecoder &call, HostRequest &request, const Arguments &raw) -> int32_t {
        std::string text;
        if (!call.decodeInOutText(label, raw.a1, raw.a2, &text)) {
            return kInvalid;
        }
        call.setName(text);
        if (call.refused(true)) {
            return call.failOutput(call.refusalCode(), nullptr, raw.a2);
        }
        std::string reason;
        std::optional<std::string> answer = compute(request, text, &reason);
        if (!answer) {
            call.noteResult("refused: " + reason);
            return call.failOutput(kRefused, nullptr, raw.a2);
        }
        int32_t code = call.answerText(*answer, raw.a1, raw.a2);
        if (code == 0 && answered) {
            answered(request, *answer);
        }
        return code;
    };
}

// --- input services: texts (and a number) in, a code out --------------------------------

// What an input text is to the call's record: the name it is about, its value, neither.
enum class Role { None, Name, Value };

struct Inputs {
    std::string first;   // a1 with a2
    std::string second;  // a3 with a4
    uint32_t number = 0; // behind a5
};

struct InputLayout {
    const char *first = nullptr;
    Role firstRole = Role::None;
    const char *second = nullptr;  // a3/a4 is a text when named
    Role secondRole = Role::None;
    const char *number = nullptr;  // a5 is a number when named
};

InputLayout oneText(const char *label, Role role) {
    InputLayout layout;
    layout.first = label;
    layout.firstRole = role;
    return layout;
}

InputLayout twoTexts(const char *first, Role firstRole, const char *second, Role secondRole) {
    InputLayout layout = oneText(first, firstRole);
    layout.second = second;
    layout.secondRole = secondRole;
    return layout;
}

InputLayout textAndNumber(const char *text, Role role, const char *number) {
    InputLayout layout = oneText(text, role);
    layout.number = number;
    return layout;
}

using Act = std::function<int32_t(HostRequest &request, CallDecoder &call, const Inputs &inputs)>;

void fillRole(CallDecoder &call, Role role, const std::string &text) {
    if (role == Role::Name) {
        call.setName(text);
    } else if (role == Role::Value) {
        call.setValue(text);
    }
}

Handler input(InputLayout layout, Act act) {
    return [layout, act](CallDecoder &call, HostRequest &request, const Arguments &raw) -> int32_t {
        Inputs in;
        if (!call.decodeText(layout.first, raw.a1, raw.a2, &in.first) || (layout.second != nullptr && !call.decodeText(layout.second, raw.a3, raw.a4, &in.second)) ||
            (layout.number != nullptr && !call.decodeNumber(layout.number, raw.a5, &in.number))) {
            return kInvalid;
        }
        fillRole(call, layout.firstRole, in.first);
        fillRole(call, layout.secondRole, in.second);
        if (std::optional<int32_t> refused = call.refusal()) {
            return *refused;
        }
        return act(request, call, in);
    };
}

// A registration text: stores the text into that member of the registration.
Act registers(std::string Registration::*member) {
    return [member](HostRequest &request, CallDecoder &, const Inputs &in) {
        request.host().updateRegistration([&](Registration &registration) { registration.*member = in.first; });
        return 0;
    };
}

// --- WriteText --------------------------------------------------------------------------

// The text (a1, exactly the length behind a2) goes into the page straight from the
// module's bytes.
int32_t writeText(CallDecoder &call, HostRequest &request, const Arguments &raw) {
    std::string_view text;
    if (!call.decodeExactText("text", raw.a1, raw.a2, &text)) {
        return kInvalid;
    }
    if (call.recording()) {
        call.setValue(std::string(text));
    }
    if (std::optional<int32_t> refused = call.refusal()) {
        return *refused;
    }
    request.appendOutput(text);
    return 0;
}

// --- GetTagParameterAt -------------------------------------------------------------------

// Both buffers are checked; when either is too small both needed sizes are written and
// the answer is 'MBtS'.
int32_t tagParameterAt(CallDecoder &call, HostRequest &request, const Arguments &raw) {
    uint32_t index = 0;
    if (!call.decodeNumber("index", raw.a5, &index) || !call.decodeOutput("nameBuffer", raw.a1, raw.a2) ||
        !call.decodeOutput("valueBuffer", raw.a3, raw.a4)) {
        return kInvalid;
    }
    const auto &parameters = request.tagParameters();
    if (index < parameters.size()) {
        call.setName(parameters[index].first);
    }
    std::optional<int32_t> failure;
    if (call.refused(true)) {
        failure = call.refusalCode();
    } else if (index >= parameters.size()) {
        failure = kNotFound;
    }
    if (failure) {
        call.failOutput(0, raw.a1, raw.a2);
        return call.failOutput(*failure, raw.a3, raw.a4);
    }
    const std::string &name = parameters[index].first;
    const std::string &value = parameters[index].second;
    uint32_t nameCapacity = 0;
    uint32_t valueCapacity = 0;
    std::memcpy(&nameCapacity, raw.a2, sizeof nameCapacity);
    std::memcpy(&valueCapacity, raw.a4, sizeof valueCapacity);
    uint32_t nameNeeded = static_cast<uint32_t>(name.size()) + 1;
    uint32_t valueNeeded = static_cast<uint32_t>(value.size()) + 1;
    bool forced = call.decision().kind == FaultPlan::Decision::Kind::BufferTooSmall;
    if (forced || raw.a1 == nullptr || raw.a3 == nullptr || nameCapacity < nameNeeded || valueCapacity < valueNeeded) {
        std::memcpy(raw.a2, &nameNeeded, sizeof nameNeeded);
        std::memcpy(raw.a4, &valueNeeded, sizeof valueNeeded);
        if (call.recording()) {
            call.noteResult("nameSize=" + std::to_string(nameNeeded) + " valueSize=" + std::to_string(valueNeeded));
        }
        return kTooSmall;
    }
    std::memcpy(raw.a1, name.c_str(), nameNeeded);
    std::memcpy(raw.a3, value.c_str(), valueNeeded);
    uint32_t nameLength = nameNeeded - 1;
    uint32_t valueLength = valueNeeded - 1;
    std::memcpy(raw.a2, &nameLength, sizeof nameLength);
    std::memcpy(raw.a4, &valueLength, sizeof valueLength);
    call.setValue(value);
    if (call.recording()) {
        call.noteResult("name=" + HostText::quoted(name) + " value=" + HostText::quoted(value));
    }
    return 0;
}

// --- the table ---------------------------------------------------------------------------

const ServiceTable &pageServices() {
    static const ServiceTable table(
        ServiceCall::Channel::Page,
        {
            {QEL_SERVICE_WRITE_TEXT, writeText},
            {QEL_SERVICE_GET_TAG_NAME, output(KeyLayout::None, [](HostRequest &request, const Key &) {
                 return nonEmpty(request.tagName());
             })},
            {QEL_SERVICE_GET_ACTION_NAME, output(KeyLayout::None, [](HostRequest &request, const Key &) {
                 return nonEmpty(request.actionName());
             })},
            {QEL_SERVICE_GET_PREFERENCE, output(KeyLayout::Name, [](HostRequest &request, const Key &key) {
                 return request.host().preferences().get(request.region(), key.name);
             })},
            {QEL_SERVICE_SET_PREFERENCE, input(twoTexts("name", Role::Name, "value", Role::Value),
                                               [](HostRequest &request, CallDecoder &, const Inputs &in) {
                                                   bool stored = request.host().preferences().set(
                                                       request.region(), in.first, in.second);
                                                   return stored ? 0 : kGeneral;
                                               })},
            {QEL_SERVICE_REMOVE_PREFERENCE, input(oneText("name", Role::Name),
                                                  [](HostRequest &request, CallDecoder &, const Inputs &in) {
                                                      request.host().preferences().remove(request.region(), in.first);
                                                      return 0;
                                                  })},
            {QEL_SERVICE_WRITE_LOG_ENTRY, input(textAndNumber("text", Role::Value, "kind"),
                                                [](HostRequest &request, CallDecoder &, const Inputs &in) {
                                                    // A log that cannot be written is a failure.
                                                    return request.addLogEntry(in.number, in.first)
                                                               ? 0
                                                               : static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
                                                })},
            {QEL_SERVICE_SET_ERROR_INFO, input(twoTexts("message", Role::Value, "explanation", Role::None),
                                               [](HostRequest &request, CallDecoder &, const Inputs &in) {
                                                   request.setErrorInfo(in.first, in.second);
                                                   return 0;
                                               })},
            {QEL_SERVICE_REGISTER_MODULE_NAME, input(oneText("text", Role::Name), registers(&Registration::moduleName))},
            {QEL_SERVICE_REGISTER_MODULE_VERSION,
             input(oneText("text", Role::Name), registers(&Registration::moduleVersion))},
            {QEL_SERVICE_REGISTER_MODULE_VENDOR,
             input(oneText("text", Role::Name), registers(&Registration::moduleVendor))},
            {QEL_SERVICE_REGISTER_TRACKING_URL, input(oneText("text", Role::Name), registers(&Registration::trackingURL))},
            {QEL_SERVICE_REGISTER_TAG, input(textAndNumber("name", Role::Name, "kind"),
                                             [](HostRequest &request, CallDecoder &, const Inputs &in) {
                                                 if (in.first.empty()) {
                                                     return kInvalid;
                                                 }
                                                 request.host().updateRegistration([&](Registration &registration) {
                                                     registration.addTag(in.first, in.number);
                                                 });
                                                 return 0;
                                             })},
            {QEL_SERVICE_REGISTER_ACTION,
             inOut(
                 "name",
                 [](HostRequest &request, const std::string &name, std::string *reason) -> std::optional<std::string> {
                     std::string accepted = request.faults().actionRename().value_or(name);
                     if (accepted.empty()) {
                         *reason = "an action needs a name";
                         return std::nullopt;
                     }
                     return accepted;
                 },
                 [](HostRequest &request, const std::string &accepted) {
                     request.host().updateRegistration(
                         [&](Registration &registration) { registration.actionName = accepted; });
                 })},
            {QEL_SERVICE_GET_TAG_PARAMETER, output(KeyLayout::NameAndIndex, [](HostRequest &request, const Key &key) {
                 return request.tagParameter(key.name, key.index);
             })},
            {QEL_SERVICE_GET_TAG_PARAMETER_AT, tagParameterAt},
            {QEL_SERVICE_GET_TAG_BODY,
             output(KeyLayout::None, [](HostRequest &request, const Key &) { return request.tagBody(); })},
            {QEL_SERVICE_GET_FORM_ARGUMENT, output(KeyLayout::NameAndIndex, [](HostRequest &request, const Key &key) {
                 return request.formArgument(key.name, key.index);
             })},
            {QEL_SERVICE_GET_CGI_VARIABLE, output(KeyLayout::Name, [](HostRequest &request, const Key &key) {
                 return request.cgiVariable(key.name);
             })},
            {QEL_SERVICE_SET_PAGE_VARIABLE, input(twoTexts("name", Role::Name, "value", Role::Value),
                                                  [](HostRequest &request, CallDecoder &call, const Inputs &in) {
                                                      if (in.first.empty()) {
                                                          call.noteResult("refused: a page variable needs a name");
                                                          return kInvalid;
                                                      }
                                                      request.setPageVariable(in.first, in.second);
                                                      return 0;
                                                  })},
            {QEL_SERVICE_GET_VIRTUAL_HOST, output(KeyLayout::None, [](HostRequest &request, const Key &) {
                 return nonEmpty(request.virtualHost());
             })},
            {QEL_SERVICE_GET_PAGE_FOLDER_PATH,
             output(KeyLayout::None,
                    [](HostRequest &request, const Key &) -> std::optional<std::string> {
                        if (request.pageFolder().empty()) {
                            return std::nullopt;
                        }
                        return SiteFolders::withTrailingSlash(request.pageFolder());
                    })},
            {QEL_SERVICE_GET_DATA_FOLDER_PATH,
             inOut("name", [](HostRequest &request, const std::string &name, std::string *reason) {
                 return request.host().folders().dataFolder(name, reason);
             })},
            {QEL_SERVICE_RESOLVE_FOLDER_PATH,
             inOut("path", [](HostRequest &request, const std::string &path, std::string *reason) {
                 return request.host().folders().resolve(request.pageFolder(), path, reason);
             })},
        });
    return table;
}

} // namespace

} // namespace velquor::host

using velquor::host::HostRequest;

extern "C" int32_t HostServiceCallback(uintptr_t hostRef, uint32_t selector, void *a1, void *a2, void *a3,
                                       void *a4, void *a5) {
    return HostRequest::serveCall(hostRef, selector, [&](HostRequest &request) {
        return velquor::host::pageServices().serve(request, selector, {a1, a2, a3, a4, a5, nullptr});
    });
}
