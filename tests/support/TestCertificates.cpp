// TestCertificates.cpp: making the TLS tests' certificates with the project's script.
#include "TestCertificates.h"

#include "ChildProcess.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>

namespace velquor::test {

std::string TestCertificates::Name(Kind kind) {
    switch (kind) {
    case Kind::Server:
        return "server";
    case Kind::Expired:
        return "expired";
    case Kind::Other:
        return "other";
    case Kind::SelfSigned:
        return "selfsigned";
    }
    return "";
}

bool TestCertificates::makeTemporary(std::string *error) {
    char folder[] = "/tmp/velquor-certificates-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        *error = "no temporary folder for the certificates";
        return false;
    }
    temporary_ = true;
    folder_ = folder;
    return make(folder, error);
}

const TestCertificates *TestCertificates::Shared(std::string *error) {
    static TestCertificates certificates;
    static std::string failure;
    static const bool made = certificates.makeTemporary(&failure);
    if (!made) {
        *error = failure;
        return nullptr;
    }
    return &certificates;
}

TestCertificates::~TestCertificates() {
    if (temporary_) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool TestCertificates::make(const std::string &folder, std::string *error) {
    const char *source = std::getenv("VELQUOR_SOURCE_DIR");
    const std::string script = std::string(source != nullptr ? source : ".") + "/scripts/test-certificates.sh";
    std::string output;
    std::optional<int> status = RunCommand({"/bin/bash", script, folder}, std::chrono::seconds(60), &output);
    if (status != std::optional<int>(0)) {
        *error = "test-certificates.sh " + folder + " failed (status " +
                 (status ? std::to_string(*status) : std::string("none: stopped after 60 s")) + "): " + output;
        return false;
    }
    folder_ = folder;
    return true;
}

} // namespace velquor::test
