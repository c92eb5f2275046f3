// ServiceCaller.cpp: module-side calls into the host services for the host's tests.
// Buffers are std::vectors sized exactly as the module sizes its own.
#include "ServiceCaller.h"

#include <algorithm>
#include <cstring>

namespace velquor::host::test {

namespace {

const int32_t kTooSmall = static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL);

std::vector<char> copyOf(const std::string &text, size_t capacity) {
    std::vector<char> buffer(std::max(capacity, text.size() + 1), '\0');
    std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
    return buffer;
}

uint32_t countOf(const std::string &text) { return static_cast<uint32_t>(text.size() + 1); }

// Runs `attempt` with a buffer of the capacity, once more with the size the host asked
// for on 'MBtS'; fills the output from the final buffer.
template <typename Attempt>
ServiceCaller::Output withRetry(uint32_t capacity, Attempt attempt) {
    ServiceCaller::Output out;
    std::vector<char> buffer(capacity);
    uint32_t size = capacity;
    out.answer = attempt(buffer.data(), &size);
    out.calls = 1;
    if (out.answer == kTooSmall) {
        buffer.assign(size, '\0');
        size = static_cast<uint32_t>(buffer.size());
        out.answer = attempt(buffer.data(), &size);
        out.calls = 2;
    }
    out.finalSize = size;
    if (out.answer == 0) {
        out.text.assign(buffer.data(), std::min<size_t>(size, buffer.size()));
    }
    return out;
}

} // namespace

int32_t ServiceCaller::page(uint32_t selector, void *a1, void *a2, void *a3, void *a4, void *a5) {
    return context_->callback(context_->hostRef, selector, a1, a2, a3, a4, a5);
}

int32_t ServiceCaller::database(uint32_t selector, void *a1, void *a2, void *a3, void *a4, void *a5, void *a6) {
    return context_->databaseCallback(context_->hostRef, selector, a1, a2, a3, a4, a5, a6);
}

ServiceCaller::Output ServiceCaller::output(uint32_t selector, uint32_t capacity) {
    return withRetry(capacity, [&](char *buffer, uint32_t *size) { return page(selector, buffer, size); });
}

ServiceCaller::Output ServiceCaller::named(uint32_t selector, const std::string &name, uint32_t capacity) {
    std::string copy = name;
    uint32_t count = countOf(name);
    return withRetry(capacity, [&](char *buffer, uint32_t *size) {
        return page(selector, copy.data(), &count, buffer, size);
    });
}

ServiceCaller::Output ServiceCaller::indexed(uint32_t selector, const std::string &name, uint32_t index,
                                             uint32_t capacity) {
    std::string copy = name;
    uint32_t count = countOf(name);
    return withRetry(capacity, [&](char *buffer, uint32_t *size) {
        return page(selector, copy.data(), &count, buffer, size, &index);
    });
}

ServiceCaller::Output ServiceCaller::inOut(uint32_t selector, const std::string &text, uint32_t minimum) {
    Output out;
    std::vector<char> buffer = copyOf(text, minimum);
    uint32_t size = static_cast<uint32_t>(buffer.size());
    out.answer = page(selector, buffer.data(), &size);
    out.calls = 1;
    if (out.answer == kTooSmall) {
        buffer.assign(size, '\0');
        std::memcpy(buffer.data(), text.c_str(), std::min(text.size() + 1, buffer.size()));
        size = static_cast<uint32_t>(buffer.size());
        out.answer = page(selector, buffer.data(), &size);
        out.calls = 2;
    }
    out.finalSize = size;
    if (out.answer == 0) {
        out.text.assign(buffer.data(), std::min<size_t>(size, buffer.size()));
    }
    return out;
}

ServiceCaller::Output ServiceCaller::parameterAt(uint32_t index, std::string *name, uint32_t nameCapacity,
                                                 uint32_t valueCapacity) {
    Output out;
    std::vector<char> names(nameCapacity);
    std::vector<char> values(valueCapacity);
    uint32_t nameSize = nameCapacity;
    uint32_t valueSize = valueCapacity;
    out.answer = page(QEL_SERVICE_GET_TAG_PARAMETER_AT, names.data(), &nameSize, values.data(), &valueSize, &index);
    out.calls = 1;
    if (out.answer == kTooSmall) {
        names.assign(nameSize, '\0');
        values.assign(valueSize, '\0');
        out.answer = page(QEL_SERVICE_GET_TAG_PARAMETER_AT, names.data(), &nameSize, values.data(), &valueSize, &index);
        out.calls = 2;
    }
    if (out.answer == 0) {
        name->assign(names.data(), std::min<size_t>(nameSize, names.size()));
        out.text.assign(values.data(), std::min<size_t>(valueSize, values.size()));
    }
    return out;
}

int32_t ServiceCaller::text(uint32_t selector, const std::string &text) {
    std::vector<char> copy = copyOf(text, 0);
    uint32_t count = countOf(text);
    return page(selector, copy.data(), &count);
}

int32_t ServiceCaller::twoTexts(uint32_t selector, const std::string &first, const std::string &second) {
    std::vector<char> one = copyOf(first, 0);
    std::vector<char> two = copyOf(second, 0);
    uint32_t firstCount = countOf(first);
    uint32_t secondCount = countOf(second);
    return page(selector, one.data(), &firstCount, two.data(), &secondCount);
}

int32_t ServiceCaller::writeText(const std::string &text) {
    uint32_t length = static_cast<uint32_t>(text.size());
    return page(QEL_SERVICE_WRITE_TEXT, const_cast<char *>(text.data()), &length);
}

int32_t ServiceCaller::writeLog(const std::string &text) {
    std::string copy = text;
    uint32_t count = countOf(text);
    uint32_t kind = QEL_LOG_ENTRY_KIND;
    return page(QEL_SERVICE_WRITE_LOG_ENTRY, copy.data(), &count, nullptr, nullptr, &kind);
}

int32_t ServiceCaller::registerTag(const std::string &name, uint32_t kind) {
    std::vector<char> copy = copyOf(name, 0);
    uint32_t count = countOf(name);
    return page(QEL_SERVICE_REGISTER_TAG, copy.data(), &count, nullptr, nullptr, &kind);
}

int32_t ServiceCaller::startup(const std::string &connection) {
    if (connection.empty()) {
        return database(QEL_DATABASE_STARTUP);
    }
    std::string copy = connection;
    uint32_t count = countOf(connection);
    return database(QEL_DATABASE_STARTUP, nullptr, copy.data(), &count);
}

int32_t ServiceCaller::shutdown() { return database(QEL_DATABASE_SHUTDOWN); }

int32_t ServiceCaller::open(const std::string &name, uint32_t mode, uint32_t *handle) {
    std::string copy = name;
    uint32_t count = countOf(name);
    char extra[1] = {'\0'};
    uint32_t extraCount = 1;
    return database(QEL_DATABASE_OPEN, handle, copy.data(), &count, extra, &extraCount, &mode);
}

int32_t ServiceCaller::close(uint32_t handle) { return database(QEL_DATABASE_CLOSE, &handle); }

int32_t ServiceCaller::addField(uint32_t handle, const std::string &name, uint32_t type) {
    std::vector<char> copy = copyOf(name, 0);
    uint32_t count = countOf(name);
    return database(QEL_DATABASE_ADD_FIELD, &handle, copy.data(), &count, nullptr, nullptr, &type);
}

uint32_t ServiceCaller::fieldCount(uint32_t handle) {
    uint32_t count = 0;
    return database(QEL_DATABASE_GET_FIELD_COUNT, &handle, nullptr, nullptr, nullptr, nullptr, &count) == 0 ? count : 0;
}

uint32_t ServiceCaller::selectedCount(uint32_t handle) {
    uint32_t count = 0;
    return database(QEL_DATABASE_GET_SELECTED_COUNT, &handle, nullptr, nullptr, nullptr, nullptr, &count) == 0 ? count
                                                                                                               : 0;
}

int32_t ServiceCaller::onHandle(uint32_t selector, uint32_t handle) { return database(selector, &handle); }

int32_t ServiceCaller::onRecord(uint32_t selector, uint32_t handle, uint32_t recordId) {
    uint32_t size = 4;
    uint32_t type = QEL_VALUE_IDENTIFIER;
    return database(selector, &handle, &recordId, &size, nullptr, nullptr, &type);
}

int32_t ServiceCaller::moveBy(uint32_t handle, int32_t count) {
    return database(QEL_DATABASE_MOVE_BY_RECORDS, &handle, nullptr, nullptr, nullptr, nullptr, &count);
}

int32_t ServiceCaller::select(uint32_t handle, const std::string &criteria) {
    std::string copy = criteria;
    uint32_t count = countOf(criteria);
    return database(QEL_DATABASE_SELECT_RECORDS, &handle, copy.data(), &count);
}

int32_t ServiceCaller::setText(uint32_t handle, const std::string &field, const std::string &value) {
    std::string name = field;
    uint32_t nameCount = countOf(field);
    std::string text = value;
    uint32_t size = countOf(value);
    uint32_t type = QEL_VALUE_TEXT;
    return database(QEL_DATABASE_SET_FIELD_VALUE, &handle, name.data(), &nameCount, text.data(), &size, &type);
}

int32_t ServiceCaller::setNumber(uint32_t handle, const std::string &field, int32_t value, uint32_t type) {
    std::string name = field;
    uint32_t nameCount = countOf(field);
    uint32_t size = 4;
    return database(QEL_DATABASE_SET_FIELD_VALUE, &handle, name.data(), &nameCount, &value, &size, &type);
}

ServiceCaller::Output ServiceCaller::getText(uint32_t handle, const std::string &field, uint32_t capacity) {
    std::string name = field;
    uint32_t nameCount = countOf(field);
    uint32_t type = QEL_VALUE_TEXT;
    return withRetry(capacity, [&](char *buffer, uint32_t *size) {
        return database(QEL_DATABASE_GET_FIELD_VALUE, &handle, name.data(), &nameCount, buffer, size, &type);
    });
}

int32_t ServiceCaller::getNumber(uint32_t handle, const std::string &field, uint32_t type, int32_t *answer) {
    std::string name = field;
    uint32_t nameCount = countOf(field);
    int32_t value = 0;
    uint32_t size = 4;
    int32_t code = database(QEL_DATABASE_GET_FIELD_VALUE, &handle, name.data(), &nameCount, &value, &size, &type);
    if (answer != nullptr) {
        *answer = code;
    }
    return value;
}

} // namespace velquor::host::test
