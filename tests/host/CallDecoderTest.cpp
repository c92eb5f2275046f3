// CallDecoderTest.cpp: decoding of the module's input texts by their declared count, with
// the text at the very end of a readable page so that a read beyond the count faults.
#include "host/lib/HostRequest.h"
#include "host/lib/HostServices.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace velquor::host {
namespace {

const int32_t kInvalid = static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);
const int32_t kNotFound = static_cast<int32_t>(QEL_RESULT_NOT_FOUND);

// Bytes that end exactly where a readable page ends; the next page cannot be read.
class GuardedBytes {
public:
    explicit GuardedBytes(const std::string &bytes) : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        void *mapped = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            return;
        }
        base_ = static_cast<char *>(mapped);
        if (mprotect(base_ + page_, page_, PROT_NONE) != 0) {
            munmap(base_, 2 * page_);
            base_ = nullptr;
            return;
        }
        data_ = base_ + page_ - bytes.size();
        std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedBytes() {
        if (base_ != nullptr) {
            munmap(base_, 2 * page_);
        }
    }
    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;

    char *data() const { return data_; }

private:
    size_t page_;
    char *base_ = nullptr;
    char *data_ = nullptr;
};

TEST(CallDecoder, InputTextsAreReadNoFurtherThanTheirCount) {
    struct Case {
        bool database;      // the text is DatabaseStartup's connection, else GetTagParameter's name
        std::string bytes;  // as the module's memory holds them, up to the end of the page
        uint32_t count;
        int32_t answer;
        const char *violation;  // "" when the call keeps the conventions
    } cases[] = {
        {false, "to", 2, kInvalid, "count 2 for a text of 2 bytes or more, without its terminator"},
        {false, "to", 0, kInvalid, "count 0 for a text of 0 bytes or more"},
        {false, std::string("to\0", 3), 9, kInvalid, "count 9 for a text of 2 bytes (length + 1 expected)"},
        {false, std::string("to\0", 3), 3, kNotFound, ""},
        {true, "source,user,password", 20, kInvalid, "count 20 for a text of 20 bytes or more"},
        {true, std::string("a,b,c\0", 6), 6, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.database ? "database " : "page ") + std::to_string(c.count));
        GuardedBytes text(c.bytes);
        ASSERT_NE(text.data(), nullptr);
        HostRequest request;
        uintptr_t ref = request.context()->hostRef;
        uint32_t count = c.count;
        int32_t answer = 0;
        if (c.database) {
            answer = HostDatabaseServiceCallback(ref, QEL_DATABASE_STARTUP, nullptr, text.data(), &count, nullptr,
                                                 nullptr, nullptr);
        } else {
            char buffer[16];
            uint32_t size = sizeof buffer;
            uint32_t index = 0;
            answer = HostServiceCallback(ref, QEL_SERVICE_GET_TAG_PARAMETER, text.data(), &count, buffer, &size, &index);
        }
        EXPECT_EQ(answer, c.answer);
        std::vector<std::string> violations = request.protocolViolations();
        if (*c.violation == '\0') {
            EXPECT_TRUE(violations.empty());
        } else {
            ASSERT_EQ(violations.size(), 1u);
            EXPECT_NE(violations[0].find(c.violation), std::string::npos) << violations[0];
        }
    }
}

} // namespace
} // namespace velquor::host
