// RequestDispatcher.cpp: request codes, the region switch and dispatch by tag name.
#include "module/RequestDispatcher.h"

#include "foundation/Object.h"
#include "module/HostDatabase.h"
#include "module/HostServices.h"
#include "module/ModuleNames.h"
#include "module/RegionPreferences.h"
#include "module/Registration.h"

namespace {

constexpr int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }

int32_t RunTag(const QELHostServices &host, const QELTagTable &tags, QELString &output) {
    QELHashedName tag(host.GetTagName(), QELHashedName::kCaseInsensitive);
    // A region switches a tag off with the exact value "no".
    if (host.GetPreference(tag.text(), "yes").equals("no"))
        return 0;
    for (uint32_t i = 0; i < tags.entryCount; ++i)
        if (tag == *tags.entries[i].name)
            return tags.entries[i].run(host, output);
    return 0;
}

int32_t RunAction(const HostContext &context, const QELHostServices &host, const QELTagTable &tags) {
    QELHashedName action(host.GetActionName(), QELHashedName::kCaseInsensitive);
    if (action != QELRegistration::ActionName())
        return 0;
    return tags.runAction(host, QELHostDatabase(context));
}

}  // namespace

int32_t QELRequestDispatcher::Process(const HostContext &context, const QELTagTable &tags) noexcept {
    try {
        QELHostServices host(context);
        switch (context.requestCode) {
        case QEL_REQUEST_INITIALISE:
            InstallHostMemoryFunctions(context.allocate, context.release);
            return QELRegistration::Register(host, tags) ? 0 : Code(QEL_RESULT_REGISTRATION_REFUSED);
        case QEL_REQUEST_TAG:
            return RunWithOutput(host, [&](QELString &output) { return RunTag(host, tags, output); });
        case QEL_REQUEST_ACTION:
            return RunWithOutput(host, [&](QELString &) { return RunAction(context, host, tags); });
        case QEL_REQUEST_GET_PREFERENCES:
            return RunWithOutput(host, [&](QELString &output) {
                output = QELRegionPreferences::BuildPage(host, tags);
                return 0;
            });
        case QEL_REQUEST_SET_PREFERENCES:
            return RunWithOutput(host, [&](QELString &) {
                QELRegionPreferences::StorePage(host, tags);
                return 0;
            });
        case QEL_REQUEST_TERMINATE:
            // The host still answers the action meanwhile, so running jobs can report.
            if (tags.terminate != nullptr)
                tags.terminate();
            return 0;
        default:
            return Code(QEL_RESULT_UNKNOWN_REQUEST);
        }
    } catch (...) {
        return Code(QEL_RESULT_GENERAL_FAILURE);
    }
}
