// SiteFoldersFuzz.cpp: fuzzes the resolution of page-relative folder paths in a small site
// with folders, pages, files and symbolic links inside and out: every folder answered
// lies inside the site root, however its path is spelt.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "host/lib/SiteFolders.h"

namespace fs = std::filesystem;
using velquor::host::SiteFolders;

namespace {

// The site, made once for the run and removed at its end:
//   top/site/            page.html, file.txt, docs/inner/, pages/a.html,
//                        in -> docs, out -> ../outside, gone -> ../missing
//   top/outside/sub/
struct Site {
    std::string top, root;
    Site() {
        char name[] = "/tmp/velquor-site-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(name) != nullptr);
        top = name;
        root = fs::canonical(top).string() + "/site";
        fs::create_directories(root + "/docs/inner");
        fs::create_directories(root + "/pages");
        fs::create_directories(top + "/outside/sub");
        std::ofstream(root + "/page.html") << "<p>page</p>";
        std::ofstream(root + "/pages/a.html") << "<p>a</p>";
        std::ofstream(root + "/file.txt") << "text";
        fs::create_directory_symlink("docs", root + "/in");
        fs::create_directory_symlink("../outside", root + "/out");
        fs::create_directory_symlink("../missing", root + "/gone");
    }
    ~Site() {
        std::error_code error;
        fs::remove_all(top, error);
    }
    static Site &Get() {
        static Site site;
        return site;
    }
};

bool Within(const std::string &root, const std::string &path) {
    return path == root || path.compare(0, root.size() + 1, root + "/") == 0;
}

}  // namespace

// Input: a byte choosing the page folder, then the page-relative path.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const Site &site = Site::Get();
    const std::string pageFolders[] = {"", site.root, site.root + "/docs", site.root + "/in", site.root + "/out",
                                       site.root + "/docs/inner"};
    const std::string &pageFolder = pageFolders[data[0] % 6];
    const std::string path(reinterpret_cast<const char *>(data) + 1, size - 1);

    SiteFolders folders;
    folders.setSiteRoot(site.root);
    std::string observed;
    folders.setResolveObserver([&observed](const std::string &folder) {
        observed = folder;
        return true;
    });
    std::string reason;
    const std::optional<std::string> answer = folders.resolve(pageFolder, path, &reason);
    if (!answer) {
        FUZZ_CHECK(!reason.empty() && observed.empty());
        return 0;
    }
    const std::string &folder = *answer;
    FUZZ_CHECK(observed == folder);
    FUZZ_CHECK(!folder.empty() && folder.back() == '/' && folder != site.root + "/");
    FUZZ_CHECK(Within(site.root, folder.substr(0, folder.size() - 1)));
    FUZZ_CHECK(folder.find("/../") == std::string::npos && folder.find("/./") == std::string::npos);
    // The folder, or the nearest of its ancestors that exists, really lies in the site
    // (as the operating system reads the path: up to its first NUL).
    std::string existing = std::string(folder.c_str());
    std::error_code error;
    while (!fs::exists(existing, error)) {
        FUZZ_CHECK(existing.size() > site.root.size());
        existing.erase(existing.find_last_of('/', existing.size() - 2) + 1);
    }
    const std::string real = fs::canonical(existing, error).string();
    FUZZ_CHECK(!error && Within(site.root, real));
    return 0;
}
