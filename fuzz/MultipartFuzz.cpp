// MultipartFuzz.cpp: fuzzes the multipart parser on a body, a boundary and a size limit
// from the input, storing files in a fresh folder per input: every file it reports lies
// in that folder, holds bytes of the body within the limit, and nothing else is left.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "foundation/StringSplitter.h"
#include "fuzz/FuzzCheck.h"
#include "mail/MultipartMessage.h"
#include "mail/NameValueList.h"

namespace fs = std::filesystem;

namespace {

// A folder of its own below the system's temporary folder, removed when it goes.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "velquor-multipart-XXXXXX").string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

std::string FileBytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

// Input: the boundary, LF, the size limit in kilobytes (decimal), LF, the body.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    const std::string boundary = fuzz::NextLine(input, &at);
    const std::string limitText = fuzz::NextLine(input, &at);
    const std::string body = input.substr(at);
    uint32_t sizeLimit = 0;
    for (char c : limitText.substr(0, 4))
        if (c >= '0' && c <= '9')
            sizeLimit = sizeLimit * 10 + (c - '0');

    ScratchFolder folder;
    const QELString folderText = fuzz::Qel(folder.path().string());
    const QELStringSplitter patterns(QELString(".*\r[.]txt$"), QELString("\r"));
    QELMultipartMessage parser;
    QELNameValueList list;
    QELString textResult("unchanged");
    const QELString bodyText = fuzz::Qel(body);
    bool parsed = parser.ParseMultipart(bodyText, fuzz::Qel(boundary), 0, static_cast<uint32_t>(body.size()),
                                        folderText, patterns, sizeLimit, textResult, &list);
    if (!parsed && boundary.empty())
        FUZZ_CHECK(fuzz::Text(textResult) == "unchanged");
    // The text result is the input's own bytes, or left as it was.
    const std::string text = fuzz::Text(textResult);
    FUZZ_CHECK(text == "unchanged" || body.find(text) != std::string::npos);

    uint32_t files = 0;
    for (const auto &entry : fs::directory_iterator(folder.path())) {
        (void)entry;
        ++files;
    }
    FUZZ_CHECK(files == parser.storedFileCount());
    for (uint32_t i = 0; i < parser.storedFileCount(); ++i) {
        const fs::path stored = fuzz::Text(parser.storedFilePath(i));
        FUZZ_CHECK(stored.parent_path() == folder.path());
        FUZZ_CHECK(stored.filename().string() == fuzz::Text(parser.storedFileName(i)));
        const std::string bytes = FileBytes(stored);
        FUZZ_CHECK(sizeLimit == 0 || bytes.size() <= uint64_t(sizeLimit) * 1024);
        FUZZ_CHECK(bytes.empty() || body.find(bytes) != std::string::npos);
    }
    FUZZ_CHECK(parser.storedFilePath(parser.storedFileCount()).isEmpty());
    FUZZ_CHECK(parser.RemoveStoredFiles() == files);
    FUZZ_CHECK(fs::is_empty(folder.path()));
    return 0;
}
