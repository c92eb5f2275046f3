// TemporaryFolder.h: a fresh folder under /tmp for one test, removed with everything in
// it afterwards, and small helpers that write and read whole files.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

class TemporaryFolder {
public:
    // A new folder inside base ("/tmp" unless a test needs another file system).
    explicit TemporaryFolder(const std::string &base = "/tmp") {
        std::string pattern = base + "/velquor-files-XXXXXX";
        if (::mkdtemp(&pattern[0]) == nullptr)
            throw std::runtime_error("mkdtemp failed in " + base);
        path_ = pattern;
    }
    ~TemporaryFolder() {
        ::chmod(path_.c_str(), 0700);
        ::nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;

    const std::string &path() const { return path_; }
    // The path of name inside the folder.
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
        ::remove(path);
        return 0;
    }
    std::string path_;
};

inline void WriteWholeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

inline std::string ReadWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool PathExists(const std::string &path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

inline bool IsDirectory(const std::string &path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}
