// TestCertificates.h: the certificates of the TLS tests, made at test time by
// scripts/test-certificates.sh: a private CA and server certificates signed by it or not.
#ifndef VELQUOR_TESTS_SUPPORT_TEST_CERTIFICATES_H
#define VELQUOR_TESTS_SUPPORT_TEST_CERTIFICATES_H

#include <string>

namespace velquor::test {

class TestCertificates {
public:
    // The certificates a server can present, each with its key.
    enum class Kind {
        Server,      // signed by the CA for localhost and 127.0.0.1, valid
        Expired,     // the same names, valid only in 2020
        Other,       // signed by the CA, valid, but only for other.example
        SelfSigned,  // localhost and 127.0.0.1, signed by itself
    };

    // Runs the script (VELQUOR_SOURCE_DIR/scripts/test-certificates.sh) into folder, which
    // is created when missing; waits at most 60 s. False with what the script said in *error.
    bool make(const std::string &folder, std::string *error);
    // Makes them in a new private folder under /tmp, which the destructor removes.
    bool makeTemporary(std::string *error);
    // One set for the whole test program, made on first use in a temporary folder that is
    // removed at exit; null when it cannot be made (error says why).
    static const TestCertificates *Shared(std::string *error);
    TestCertificates() = default;
    ~TestCertificates();
    TestCertificates(const TestCertificates &) = delete;
    TestCertificates &operator=(const TestCertificates &) = delete;

    const std::string &folder() const { return folder_; }
    // The CA certificate that clients trust, and its key.
    std::string caFile() const { return folder_ + "/ca.pem"; }
    std::string caKey() const { return folder_ + "/ca.key"; }
    // The PEM certificate and the key file of a kind.
    std::string certificate(Kind kind) const { return folder_ + "/" + Name(kind) + ".pem"; }
    std::string key(Kind kind) const { return folder_ + "/" + Name(kind) + ".key"; }

    // The file name of a kind without its ending ("server", "expired", ...).
    static std::string Name(Kind kind);

private:
    std::string folder_;
    bool temporary_ = false;
};

} // namespace velquor::test

#endif
