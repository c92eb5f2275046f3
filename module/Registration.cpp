// Registration.cpp: the registration sequence of the initialisation request.
#include "module/Registration.h"

#include <mutex>

#include "module/HostInterface.h"
#include "module/ModuleNames.h"

namespace {

// The action name changes only while the host initialises the module, but requests on
// other threads read it, so it is guarded. Built at load, like the other names.
std::mutex gActionMutex;
QELHashedName gActionName("SendMail", QELHashedName::kCaseInsensitive);

QELHashedName &ActionNameStorage() { return gActionName; }

}  // namespace

bool QELRegistration::Register(const QELHostServices &host, const QELTagTable &tags) {
    const QELModuleNames &names = ModuleNames();
    bool accepted = host.RegisterModuleName(names.moduleName);
    accepted = host.RegisterModuleVersion(names.moduleVersion) && accepted;
    accepted = host.RegisterModuleVendor(names.moduleVendor) && accepted;
    accepted = host.RegisterVersionTrackingURL(names.versionTrackingURL) && accepted;
    for (uint32_t i = 0; i < tags.entryCount; ++i)
        if (tags.entries[i].kind != 0)
            accepted = host.RegisterTag(tags.entries[i].name->text(), tags.entries[i].kind) && accepted;

    QELString action;
    {
        std::lock_guard<std::mutex> lock(gActionMutex);
        action = ActionNameStorage().text();
    }
    if (host.RegisterAction(action)) {
        std::lock_guard<std::mutex> lock(gActionMutex);
        ActionNameStorage() = QELHashedName(action, QELHashedName::kCaseInsensitive);
    } else {
        accepted = false;
    }
    return accepted;
}

QELHashedName QELRegistration::ActionName() {
    std::lock_guard<std::mutex> lock(gActionMutex);
    return ActionNameStorage();
}
