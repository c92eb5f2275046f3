// TempFolder.h: a scratch folder for one test, removed with everything in it afterwards.
// Its path is canonical, so answers that resolve links compare equal to it.
#ifndef VELQUOR_TESTS_HOST_TEMP_FOLDER_H
#define VELQUOR_TESTS_HOST_TEMP_FOLDER_H

#include <cstdlib>
#include <filesystem>
#include <string>

namespace velquor::host::test {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velquor-host-XXXXXX").string();
        char *made = mkdtemp(pattern.data());
        path_ = made != nullptr ? std::filesystem::canonical(made).string() : std::string();
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace velquor::host::test

#endif
