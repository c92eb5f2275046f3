// TestCertificates.h: certificates made at test time by scripts/test-certificates.sh in a
// private temporary folder: a CA, and server, expired, other-name and self-signed ones.
#pragma once

#include <string>

class TestCertificates {
public:
    // Makes the certificates (bounded by the script's own speed); false with the reason.
    bool make(std::string *error);
    // Removes the folder.
    ~TestCertificates();
    // The path of one file in the folder ("ca.pem", "server.key", ...).
    std::string path(const std::string &name) const { return folder_ + "/" + name; }

private:
    std::string folder_;
};
