// RequestDispatcher.cpp: request codes, the region switch and dispatch by tag name.
#include "module/RequestDispatcher.h"

#include "foundation/Object.h"
#include "module/HostDatabase.h"
#include "module/HostServices.h"
#include "module/ModuleNames.h"
#include "module/RegionPreferences.h"
#include "module/Registration.h"
#include "tags/FailedMailLog.h"
#include "tags/IncludeHTTPTag.h"
#include "tags/POPTag.h"
#include "tags/SendMailTag.h"

namespace {

constexpr int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }

int32_t RunTag(const QELHostServices &host, QELString &output) {
    const QELModuleNames &names = ModuleNames();
    QELHashedName tag(host.GetTagName(), QELHashedName::kCaseInsensitive);
    // A region switches a tag off with the exact value "no".
    if (host.GetPreference(tag.text(), "yes").equals("no"))
        return 0;
    if (tag == names.qelFTP.name)
        return 0;
    if (tag == names.qelIncludeHTTP.name)
        return QELIncludeHTTPTag::Run(host, output);
    if (tag == names.qelPOP.name)
        return QELPOPTag::Run(host, output);
    if (tag == names.qelSendMail.name)
        return QELSendMailTag::Run(host, output);
    return 0;
}

int32_t RunAction(const HostContext &context, const QELHostServices &host) {
    QELHashedName action(host.GetActionName(), QELHashedName::kCaseInsensitive);
    if (action != QELRegistration::ActionName())
        return 0;
    return QELFailedMailLog::HandleStatus(host, QELHostDatabase(context));
}

}  // namespace

int32_t QELRequestDispatcher::Process(const HostContext &context) noexcept {
    try {
        QELHostServices host(context);
        switch (context.requestCode) {
        case QEL_REQUEST_INITIALISE:
            InstallHostMemoryFunctions(context.allocate, context.release);
            return QELRegistration::Register(host) ? 0 : Code(QEL_RESULT_REGISTRATION_REFUSED);
        case QEL_REQUEST_TAG:
            return RunWithOutput(host, [&](QELString &output) { return RunTag(host, output); });
        case QEL_REQUEST_ACTION:
            return RunWithOutput(host, [&](QELString &) { return RunAction(context, host); });
        case QEL_REQUEST_GET_PREFERENCES:
            return RunWithOutput(host, [&](QELString &output) {
                output = QELRegionPreferences::BuildPage(host);
                return 0;
            });
        case QEL_REQUEST_SET_PREFERENCES:
            return RunWithOutput(host, [&](QELString &) {
                QELRegionPreferences::StorePage(host);
                return 0;
            });
        case QEL_REQUEST_TERMINATE:
            return 0;
        default:
            return Code(QEL_RESULT_UNKNOWN_REQUEST);
        }
    } catch (...) {
        return Code(QEL_RESULT_GENERAL_FAILURE);
    }
}
