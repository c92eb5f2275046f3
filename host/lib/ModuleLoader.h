// ModuleLoader.h: loads a module library with dlopen and finds its ProcessQELRequest
// entry point, with a clear error text when either step fails.
#ifndef VELQUOR_HOST_MODULE_LOADER_H
#define VELQUOR_HOST_MODULE_LOADER_H

#include "module/HostInterface.h"

#include <string>

namespace velquor::host {

class ModuleLoader {
public:
    using EntryPoint = int32_t (*)(HostContext *);

    ModuleLoader() = default;
    // Unloads the library if one is loaded.
    ~ModuleLoader();
    ModuleLoader(const ModuleLoader &) = delete;
    ModuleLoader &operator=(const ModuleLoader &) = delete;

    // Loads the library at path (unloading any earlier one) and finds ProcessQELRequest.
    // False, with error() telling which step failed and why, when it cannot.
    bool load(const std::string &path);
    // Closes the library; the entry point is gone afterwards. The code stays mapped until
    // the process ends (RTLD_NODELETE): a thread that the module left running never runs
    // into unmapped code, and the module's static objects are destroyed at exit.
    void unload();

    bool loaded() const { return entry_ != nullptr; }
    EntryPoint entry() const { return entry_; }
    const std::string &path() const { return path_; }
    const std::string &error() const { return error_; }

    // The module path named by the environment variable VELQUOR_MODULE; "" when unset.
    static std::string pathFromEnvironment();

private:
    void *library_ = nullptr;
    EntryPoint entry_ = nullptr;
    std::string path_;
    std::string error_;
};

} // namespace velquor::host

#endif
