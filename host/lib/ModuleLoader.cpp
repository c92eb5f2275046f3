// ModuleLoader.cpp: dlopen / dlsym of a module library.
// The library stays mapped after unloading, so no left-over thread meets unmapped code.
#include "host/lib/ModuleLoader.h"

#include <dlfcn.h>

#include <cstdlib>

namespace velquor::host {

ModuleLoader::~ModuleLoader() { unload(); }

bool ModuleLoader::load(const std::string &path) {
    unload();
    error_.clear();
    path_ = path;
    if (path.empty()) {
        error_ = "no module path given";
        return false;
    }
    dlerror();
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library_ == nullptr) {
        const char *reason = dlerror();
        error_ = "cannot load the module " + path + ": " + (reason != nullptr ? reason : "unknown reason");
        return false;
    }
    dlerror();
    void *symbol = dlsym(library_, "ProcessQELRequest");
    const char *reason = dlerror();
    if (symbol == nullptr || reason != nullptr) {
        error_ = "the library " + path + " does not export ProcessQELRequest" +
                 (reason != nullptr ? std::string(": ") + reason : std::string());
        dlclose(library_);
        library_ = nullptr;
        return false;
    }
    entry_ = reinterpret_cast<EntryPoint>(symbol);
    return true;
}

void ModuleLoader::unload() {
    entry_ = nullptr;
    if (library_ != nullptr) {
        dlclose(library_);
        library_ = nullptr;
    }
}

std::string ModuleLoader::pathFromEnvironment() {
    const char *value = std::getenv("VELQUOR_MODULE");
    return value != nullptr ? value : "";
}

} // namespace velquor::host
