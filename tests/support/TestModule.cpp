// TestModule.cpp: a small module for testing velquor-host end to end, through the C
// interface only: tags with and without a body that echo what the host hands them, set
// page variables, fail with error info, use a record database; an action; a region
// preference page.
#include "module/HostInterface.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// Small first buffers, so that the host's 'MBtS' answers are exercised on every long value.
constexpr uint32_t kFirstCapacity = 8;

const char *const kRegionTags[] = {"testCheap", "testValues"};

std::mutex gReleaseMutex;
std::condition_variable gReleased;
bool gReleasedFlag = false;
std::atomic<bool> gHoldTerminate{false};

uint32_t code(const char *text) { return QEL_FOUR_CHAR_CODE(text[0], text[1], text[2], text[3]); }

std::string lower(std::string text) {
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string escape(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

class Host {
public:
    explicit Host(HostContext &context) : context_(context) {}

    int32_t call(uint32_t selector, void *a1 = nullptr, void *a2 = nullptr, void *a3 = nullptr, void *a4 = nullptr,
                 void *a5 = nullptr) const {
        return context_.callback(context_.hostRef, selector, a1, a2, a3, a4, a5);
    }

    // a1 buffer, a2 &size, with one retry after 'MBtS'.
    std::optional<std::string> output(uint32_t selector) const {
        std::vector<char> buffer(kFirstCapacity);
        uint32_t size = kFirstCapacity;
        int32_t answer = call(selector, buffer.data(), &size);
        if (answer == static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL)) {
            buffer.assign(size, 0);
            answer = call(selector, buffer.data(), &size);
        }
        if (answer != 0 || size > buffer.size()) {
            return std::nullopt;
        }
        return std::string(buffer.data(), size);
    }

    // a1 name, a2 &(length+1), a3 buffer, a4 &size, a5 &index (when index is given).
    std::optional<std::string> named(uint32_t selector, const std::string &name, const uint32_t *index) const {
        std::vector<char> input(name.begin(), name.end());
        input.push_back('\0');
        uint32_t count = static_cast<uint32_t>(input.size());
        uint32_t position = index != nullptr ? *index : 0;
        std::vector<char> buffer(kFirstCapacity);
        uint32_t size = kFirstCapacity;
        void *a5 = index != nullptr ? &position : nullptr;
        int32_t answer = call(selector, input.data(), &count, buffer.data(), &size, a5);
        if (answer == static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL)) {
            buffer.assign(size, 0);
            answer = call(selector, input.data(), &count, buffer.data(), &size, a5);
        }
        if (answer != 0 || size > buffer.size()) {
            return std::nullopt;
        }
        return std::string(buffer.data(), size);
    }

    // The text copied into a buffer that the answer replaces.
    std::optional<std::string> inOut(uint32_t selector, const std::string &text) const {
        std::vector<char> buffer(text.begin(), text.end());
        buffer.resize(std::max<size_t>(text.size() + 1, 16), '\0');
        uint32_t size = static_cast<uint32_t>(buffer.size());
        int32_t answer = call(selector, buffer.data(), &size);
        if (answer == static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL)) {
            std::vector<char> bigger(size, '\0');
            std::memcpy(bigger.data(), text.c_str(), std::min<size_t>(text.size() + 1, bigger.size()));
            buffer.swap(bigger);
            answer = call(selector, buffer.data(), &size);
        }
        if (answer != 0 || size > buffer.size()) {
            return std::nullopt;
        }
        return std::string(buffer.data(), size);
    }

    std::optional<std::pair<std::string, std::string>> parameterAt(uint32_t index) const {
        std::vector<char> name(kFirstCapacity);
        std::vector<char> value(kFirstCapacity);
        uint32_t nameSize = kFirstCapacity;
        uint32_t valueSize = kFirstCapacity;
        int32_t answer = call(QEL_SERVICE_GET_TAG_PARAMETER_AT, name.data(), &nameSize, value.data(), &valueSize, &index);
        if (answer == static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL)) {
            name.assign(nameSize, 0);
            value.assign(valueSize, 0);
            answer = call(QEL_SERVICE_GET_TAG_PARAMETER_AT, name.data(), &nameSize, value.data(), &valueSize, &index);
        }
        if (answer != 0 || nameSize > name.size() || valueSize > value.size()) {
            return std::nullopt;
        }
        return std::make_pair(std::string(name.data(), nameSize), std::string(value.data(), valueSize));
    }

    std::optional<std::string> parameter(const std::string &name, uint32_t index = 0) const {
        return named(QEL_SERVICE_GET_TAG_PARAMETER, name, &index);
    }
    std::optional<std::string> formArgument(const std::string &name, uint32_t index) const {
        return named(QEL_SERVICE_GET_FORM_ARGUMENT, name, &index);
    }
    std::optional<std::string> cgi(const std::string &name) const {
        return named(QEL_SERVICE_GET_CGI_VARIABLE, name, nullptr);
    }
    std::optional<std::string> preference(const std::string &name) const {
        return named(QEL_SERVICE_GET_PREFERENCE, name, nullptr);
    }

    // Input texts: a1/a2 and, for two texts, a3/a4; a5 where given.
    int32_t text(uint32_t selector, const std::string &first, const std::string *second = nullptr,
                 uint32_t *a5 = nullptr) const {
        std::vector<char> one(first.begin(), first.end());
        one.push_back('\0');
        uint32_t oneCount = static_cast<uint32_t>(one.size());
        std::vector<char> two;
        uint32_t twoCount = 0;
        if (second != nullptr) {
            two.assign(second->begin(), second->end());
            two.push_back('\0');
            twoCount = static_cast<uint32_t>(two.size());
        }
        return call(selector, one.data(), &oneCount, second != nullptr ? two.data() : nullptr,
                    second != nullptr ? &twoCount : nullptr, a5);
    }

    void write(const std::string &text) const {
        if (!text.empty()) {
            uint32_t length = static_cast<uint32_t>(text.size());
            call(QEL_SERVICE_WRITE_TEXT, const_cast<char *>(text.data()), &length);
        }
    }

private:
    HostContext &context_;
};

int32_t initialise(const Host &host) {
    bool accepted = true;
    accepted = host.text(QEL_SERVICE_REGISTER_MODULE_NAME, "Velquor Test Module") == 0 && accepted;
    accepted = host.text(QEL_SERVICE_REGISTER_MODULE_VERSION, "0.1") == 0 && accepted;
    accepted = host.text(QEL_SERVICE_REGISTER_MODULE_VENDOR, "Velquor tests") == 0 && accepted;
    accepted = host.text(QEL_SERVICE_REGISTER_TRACKING_URL, "http://tests.invalid/") == 0 && accepted;
    const std::pair<const char *, uint32_t> tags[] = {
        {"testParams", QEL_TAG_KIND_EMPTY}, {"testBody", QEL_TAG_KIND_WITH_BODY}, {"testValues", QEL_TAG_KIND_EMPTY},
        {"testSet", QEL_TAG_KIND_EMPTY},    {"testFail", QEL_TAG_KIND_EMPTY},     {"testCheap", QEL_TAG_KIND_EMPTY},
        {"testFolders", QEL_TAG_KIND_EMPTY}, {"testLog", QEL_TAG_KIND_EMPTY}, {"testRecord", QEL_TAG_KIND_EMPTY}};
    for (const auto &[name, kind] : tags) {
        uint32_t tagKind = kind;
        accepted = host.text(QEL_SERVICE_REGISTER_TAG, name, nullptr, &tagKind) == 0 && accepted;
    }
    accepted = host.inOut(QEL_SERVICE_REGISTER_ACTION, "TestAction").has_value() && accepted;
    const char *hold = std::getenv("VELQUOR_TEST_MODULE_HOLD_TERMINATE");
    gHoldTerminate = hold != nullptr && std::strcmp(hold, "1") == 0;
    const char *result = std::getenv("VELQUOR_TEST_MODULE_INIT");
    if (result != nullptr && std::strlen(result) == 4) {
        return static_cast<int32_t>(code(result));
    }
    return accepted ? 0 : static_cast<int32_t>(QEL_RESULT_REGISTRATION_REFUSED);
}

// Every parameter by position, then the occurrences of the one named by "occurrencesOf".
void tagParams(const Host &host, std::string &out) {
    for (uint32_t index = 0;; ++index) {
        auto parameter = host.parameterAt(index);
        if (!parameter) {
            break;
        }
        out += "[" + std::to_string(index) + ":" + parameter->first + "=" + parameter->second + "]";
    }
    if (auto name = host.parameter("occurrencesOf")) {
        for (uint32_t index = 0;; ++index) {
            auto value = host.parameter(*name, index);
            if (!value) {
                break;
            }
            out += "{" + *name + "#" + std::to_string(index) + "=" + *value + "}";
        }
    }
}

// Reads what the parameters ask for, in order: form arguments (every occurrence), CGI
// variables, preferences, and plain echoes.
void tagValues(const Host &host, std::string &out) {
    for (uint32_t index = 0;; ++index) {
        auto parameter = host.parameterAt(index);
        if (!parameter) {
            break;
        }
        const std::string kind = lower(parameter->first);
        const std::string &name = parameter->second;
        if (kind == "form") {
            out += "form:" + name + "=[";
            for (uint32_t occurrence = 0;; ++occurrence) {
                auto value = host.formArgument(name, occurrence);
                if (!value) {
                    break;
                }
                out += (occurrence == 0 ? "" : ",") + *value;
            }
            out += "];";
        } else if (kind == "cgi") {
            auto value = host.cgi(name);
            out += "cgi:" + name + "=" + (value ? *value : std::string("(none)")) + ";";
        } else if (kind == "pref") {
            auto value = host.preference(name);
            out += "pref:" + name + "=" + (value ? *value : std::string("(none)")) + ";";
        } else {
            out += "echo:" + parameter->first + "=" + name + ";";
        }
    }
}

int32_t tagFail(const Host &host, std::string &out) {
    out += "partial output";
    if (!host.parameter("noinfo")) {
        std::string message = host.parameter("message").value_or("The test tag failed.");
        std::string explanation = host.parameter("explanation").value_or("It was asked to.");
        host.text(QEL_SERVICE_SET_ERROR_INFO, message, &explanation);
    }
    std::string answer = host.parameter("code").value_or("MGen");
    return answer.size() == 4 ? static_cast<int32_t>(code(answer.c_str()))
                              : static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
}

void tagFolders(const Host &host, std::string &out) {
    out += "page=" + host.output(QEL_SERVICE_GET_PAGE_FOLDER_PATH).value_or("(none)");
    if (auto name = host.parameter("data")) {
        out += ";data=" + host.inOut(QEL_SERVICE_GET_DATA_FOLDER_PATH, *name).value_or("(refused)");
    }
    if (auto path = host.parameter("resolve")) {
        out += ";resolve=" + host.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, *path).value_or("(refused)");
    }
    out += ";vhost=" + host.output(QEL_SERVICE_GET_VIRTUAL_HOST).value_or("(none)");
}

int32_t database(HostContext &context, uint32_t selector, void *a1 = nullptr, void *a2 = nullptr,
                 void *a3 = nullptr, void *a4 = nullptr, void *a5 = nullptr, void *a6 = nullptr) {
    return context.databaseCallback(context.hostRef, selector, a1, a2, a3, a4, a5, a6);
}

// Adds a record with the parameter "note" to the database named by "database" (made with
// one text field when new) and writes how many records it holds.
int32_t tagRecord(HostContext &context, const Host &host, std::string &out) {
    std::string name = host.parameter("database").value_or("Notes");
    std::string note = host.parameter("note").value_or("");
    int32_t result = database(context, QEL_DATABASE_STARTUP);
    if (result != 0) {
        return result;
    }
    uint32_t handle = 0;
    uint32_t nameCount = static_cast<uint32_t>(name.size() + 1);
    char extra[] = "";
    uint32_t extraCount = 1;
    uint32_t mode = QEL_OPEN_SHARED;
    result = database(context, QEL_DATABASE_OPEN, &handle, const_cast<char *>(name.c_str()), &nameCount, extra,
                      &extraCount, &mode);
    if (result == 0) {
        uint32_t fields = 0;
        database(context, QEL_DATABASE_GET_FIELD_COUNT, &handle, nullptr, nullptr, nullptr, nullptr, &fields);
        char field[] = "Note";
        uint32_t fieldCount = sizeof field;
        uint32_t textField = 0x00070000u;
        if (fields == 0) {
            result = database(context, QEL_DATABASE_ADD_FIELD, &handle, field, &fieldCount, nullptr, nullptr, &textField);
        }
        uint32_t valueType = QEL_VALUE_TEXT;
        uint32_t valueSize = static_cast<uint32_t>(note.size() + 1);
        if (result == 0) {
            result = database(context, QEL_DATABASE_CREATE_RECORD, &handle);
        }
        if (result == 0) {
            result = database(context, QEL_DATABASE_SET_FIELD_VALUE, &handle, field, &fieldCount,
                              const_cast<char *>(note.c_str()), &valueSize, &valueType);
        }
        if (result == 0) {
            result = database(context, QEL_DATABASE_ADD_RECORD, &handle);
        }
        char all[] = "";
        uint32_t allCount = 1;
        uint32_t count = 0;
        if (result == 0) {
            result = database(context, QEL_DATABASE_SELECT_RECORDS, &handle, all, &allCount);
        }
        if (result == 0) {
            result = database(context, QEL_DATABASE_GET_SELECTED_COUNT, &handle, nullptr, nullptr, nullptr, nullptr,
                              &count);
        }
        out = "records=" + std::to_string(count);
        database(context, QEL_DATABASE_CLOSE, &handle);
    }
    database(context, QEL_DATABASE_SHUTDOWN);
    return result;
}

int32_t runTag(HostContext &context, const Host &host) {
    std::string name = host.output(QEL_SERVICE_GET_TAG_NAME).value_or("");
    // The region switch, as modules do it: a preference "no" under the tag's name.
    if (host.preference(name).value_or("yes") == "no") {
        return 0;
    }
    std::string out;
    int32_t result = 0;
    std::string tag = lower(name);
    if (tag == "testparams") {
        tagParams(host, out);
    } else if (tag == "testbody") {
        out = "NAME(" + name + ")BODY(" + host.output(QEL_SERVICE_GET_TAG_BODY).value_or("(none)") + ")";
    } else if (tag == "testvalues") {
        tagValues(host, out);
    } else if (tag == "testset") {
        std::string value = host.parameter("value").value_or("");
        host.text(QEL_SERVICE_SET_PAGE_VARIABLE, host.parameter("name").value_or(""), &value);
    } else if (tag == "testfail") {
        result = tagFail(host, out);
    } else if (tag == "testcheap") {
        out = "ok";
    } else if (tag == "testfolders") {
        tagFolders(host, out);
    } else if (tag == "testrecord") {
        result = tagRecord(context, host, out);
    } else if (tag == "testlog") {
        uint32_t kind = QEL_LOG_ENTRY_KIND;
        host.text(QEL_SERVICE_WRITE_LOG_ENTRY, host.parameter("text").value_or(""), nullptr, &kind);
    }
    host.write(out);
    return result;
}

int32_t runAction(const Host &host) {
    std::string name = host.output(QEL_SERVICE_GET_ACTION_NAME).value_or("");
    if (lower(name) != "testaction") {
        return 0;
    }
    std::string out = "action=" + name;
    for (const char *field : {"MessageID", "Status", "note"}) {
        out += std::string(";") + field + "=[";
        for (uint32_t occurrence = 0;; ++occurrence) {
            auto value = host.formArgument(field, occurrence);
            if (!value) {
                break;
            }
            out += (occurrence == 0 ? "" : ",") + *value;
        }
        out += "]";
    }
    uint32_t kind = QEL_LOG_ENTRY_KIND;
    host.text(QEL_SERVICE_WRITE_LOG_ENTRY, "test action " + out, nullptr, &kind);
    if (host.formArgument("release", 0)) {
        std::lock_guard<std::mutex> lock(gReleaseMutex);
        gReleasedFlag = true;
        gReleased.notify_all();
    }
    host.write(out);
    return 0;
}

void preferencePage(const Host &host) {
    std::string page = "<div class=\"test-preferences\">";
    for (const char *tag : kRegionTags) {
        page += "<label><input type=\"checkbox\" name=\"" + std::string(tag) + "\" value=\"yes\"";
        if (host.preference(tag).value_or("yes") == "yes") {
            page += " CHECKED";
        }
        page += ">" + std::string(tag) + "</label> ";
    }
    page += "<label>Greeting <input type=\"text\" name=\"greeting\" value=\"" +
            escape(host.preference("greeting").value_or("")) + "\"></label></div>";
    host.write(page);
}

void storePreferences(const Host &host) {
    for (const char *tag : kRegionTags) {
        std::string value = host.formArgument(tag, 0).value_or("");
        if (value.empty() || value == "no") {
            std::string no = "no";
            host.text(QEL_SERVICE_SET_PREFERENCE, tag, &no);
        } else {
            host.text(QEL_SERVICE_REMOVE_PREFERENCE, tag);
        }
    }
    if (auto greeting = host.formArgument("greeting", 0)) {
        host.text(QEL_SERVICE_SET_PREFERENCE, "greeting", &*greeting);
    }
}

int32_t terminate() {
    if (gHoldTerminate) {
        // Like a module that waits for its background jobs: they post the action meanwhile.
        std::unique_lock<std::mutex> lock(gReleaseMutex);
        gReleased.wait_for(lock, std::chrono::seconds(20), [] { return gReleasedFlag; });
    }
    return 0;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int32_t ProcessQELRequest(HostContext *context) {
    if (context == nullptr) {
        return static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
    }
    try {
        Host host(*context);
        switch (context->requestCode) {
        case QEL_REQUEST_INITIALISE:
            return initialise(host);
        case QEL_REQUEST_TAG:
            return runTag(*context, host);
        case QEL_REQUEST_ACTION:
            return runAction(host);
        case QEL_REQUEST_GET_PREFERENCES:
            preferencePage(host);
            return 0;
        case QEL_REQUEST_SET_PREFERENCES:
            storePreferences(host);
            return 0;
        case QEL_REQUEST_TERMINATE:
            return terminate();
        default:
            return static_cast<int32_t>(QEL_RESULT_UNKNOWN_REQUEST);
        }
    } catch (...) {
        return static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
    }
}
