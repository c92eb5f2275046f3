// FuzzReplay.cpp: runs every fuzz target of this program on each file of its seed corpus
// (FOLDER/corpus/<target>/) and its regression inputs (FOLDER/regressions/<target>/),
// without libFuzzer. A failed check aborts with the file's name on stderr.
// Usage: fuzz_replay FOLDER [target...]
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define FUZZ_TARGET(name) extern "C" int name##_TestOneInput(const uint8_t *data, size_t size);
#include "FuzzTargets.inc"
#undef FUZZ_TARGET

namespace {

struct Target {
    const char *name;
    int (*run)(const uint8_t *, size_t);
};

const Target kTargets[] = {
#define FUZZ_TARGET(name) {#name, name##_TestOneInput},
#include "FuzzTargets.inc"
#undef FUZZ_TARGET
};

// The input being run, for the abort handler.
char gCurrent[4096];

void OnAbort(int signal) {
    const char prefix[] = "\nfuzz_replay: the failing input is ";
    ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
    ignored = write(STDERR_FILENO, gCurrent, std::strlen(gCurrent));
    ignored = write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    ::signal(signal, SIG_DFL);
    raise(signal);
}

std::vector<std::filesystem::path> Inputs(const std::filesystem::path &folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [target...]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const std::vector<std::string> chosen(argv + 2, argv + argc);
    signal(SIGABRT, OnAbort);
    int total = 0, targets = 0;
    for (const Target &target : kTargets) {
        if (!chosen.empty() && std::find(chosen.begin(), chosen.end(), target.name) == chosen.end())
            continue;
        int count = 0;
        for (const char *kind : {"corpus", "regressions"}) {
            for (const auto &file : Inputs(folder / kind / target.name)) {
                std::ifstream in(file, std::ios::binary);
                const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
                std::snprintf(gCurrent, sizeof gCurrent, "%s", file.c_str());
                target.run(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
                ++count;
            }
        }
        if (count == 0) {
            std::fprintf(stderr, "%s: no seed in %s\n", target.name, (folder / "corpus" / target.name).c_str());
            return 1;
        }
        std::printf("%s: %d inputs passed\n", target.name, count);
        total += count;
        ++targets;
    }
    std::printf("%d targets, %d inputs passed\n", targets, total);
    return targets > 0 ? 0 : 1;
}
