// DatabaseCriteriaFuzz.cpp: fuzzes the selection criteria of the host's databases: a text
// is accepted exactly when it is empty or the criteria written back from what was read,
// and any field name and value written as criteria read back as themselves.
#include <string>

#include "fuzz/FuzzCheck.h"
#include "host/lib/DatabaseStore.h"

using velquor::host::DatabaseStore;

namespace {

// field, " = '", the value with every quote doubled, "'".
std::string Written(const std::string &field, const std::string &value) {
    std::string text = field + " = '";
    for (char c : value) {
        text += c;
        if (c == '\'')
            text += '\'';
    }
    return text + "'";
}

// The text with every doubled quote made single; false when a quote stands alone.
bool Undoubled(const std::string &quoted, std::string *value) {
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\'' && (i + 1 >= quoted.size() || quoted[++i] != '\''))
            return false;
        *value += quoted[i];
    }
    return true;
}

}  // namespace

// Input: a criteria text; its first line is also taken as a field name and the rest as
// a value.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    std::string field = "unchanged", value = "unchanged";
    const bool accepted = DatabaseStore::parseCriteria(input, &field, &value);
    if (input.empty()) {
        FUZZ_CHECK(accepted && field.empty() && value.empty());
    } else if (accepted) {
        FUZZ_CHECK(!field.empty() && field.find(" = '") == std::string::npos);
        FUZZ_CHECK(Written(field, value) == input);
    } else {
        // No split of the text at its first " = '" writes it back.
        const size_t at = input.find(" = '");
        std::string undoubled;
        FUZZ_CHECK(at == std::string::npos || at == 0 || input.size() < at + 5 || input.back() != '\'' ||
                   !Undoubled(input.substr(at + 4, input.size() - at - 5), &undoubled));
    }

    size_t at = 0;
    const std::string name = fuzz::NextLine(input, &at);
    const std::string text = input.substr(at);
    if (!name.empty() && name.find(" = '") == std::string::npos) {
        std::string readField, readValue;
        FUZZ_CHECK(DatabaseStore::parseCriteria(Written(name, text), &readField, &readValue));
        FUZZ_CHECK(readField == name && readValue == text);
    }
    return 0;
}
