// TestCertificates.cpp: runs the certificate script into a fresh temporary folder.
#include "support/TestCertificates.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>

bool TestCertificates::make(std::string *error) {
    const char *source = getenv("VELQUOR_SOURCE_DIR");
    const char *script = getenv("VELQUOR_TEST_CERTIFICATE_SCRIPT");
    std::string command = script != nullptr ? script
                          : std::string(source != nullptr ? source : ".") + "/scripts/test-certificates.sh";
    char folder[] = "/tmp/velquor-certificates-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        *error = "no temporary folder";
        return false;
    }
    folder_ = folder;
    std::string line = "timeout 60 bash '" + command + "' '" + folder_ + "' 2>&1";
    int status = system(line.c_str());
    if (status != 0) {
        *error = "the certificate script failed: " + line;
        return false;
    }
    return true;
}

TestCertificates::~TestCertificates() {
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}
