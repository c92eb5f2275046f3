// ModuleTags.cpp: the table of the module's tags, its action and its preference rows.
#include "tags/ModuleTags.h"

#include "module/HostInterface.h"
#include "module/ModuleNames.h"
#include "mail/Thread.h"
#include "net/NetworkLimits.h"
#include "tags/FailedMailLog.h"
#include "tags/IncludeHTTPTag.h"
#include "tags/MailPreferences.h"
#include "tags/POPTag.h"
#include "tags/SendMailTag.h"

namespace {

// How long the termination request waits for delivery jobs still running.
constexpr uint32_t kTerminationWaitMilliseconds = 60000;

// qelFTP is known by name but neither registered nor doing anything.
int32_t RunNothing(const QELHostServices &, QELString &) { return 0; }

// Connections give up in time for the jobs to spool, report and end within the wait.
void WaitForDeliveryJobs() {
    BeginNetworkStop();
    QELThread::WaitUntilNoneRuns(kTerminationWaitMilliseconds);
    EndNetworkStop();
}

}  // namespace

const QELTagTable &ModuleTags() {
    static const QELModuleNames &names = ModuleNames();
    static const QELTagEntry entries[] = {
        {&names.qelFTP.name, 0, RunNothing},
        {&names.qelIncludeHTTP.name, QEL_TAG_KIND_EMPTY, QELIncludeHTTPTag::Run},
        {&names.qelPOP.name, QEL_TAG_KIND_EMPTY, QELPOPTag::Run},
        {&names.qelSendMail.name, QEL_TAG_KIND_WITH_BODY, QELSendMailTag::Run},
    };
    static const QELPreferenceRowBuilder rows[] = {QELMailPreferences::BuildServerSection,
                                                   QELMailPreferences::BuildGMTSection};
    static const QELTagTable table = {entries, sizeof entries / sizeof entries[0], QELFailedMailLog::HandleStatus,
                                      rows, sizeof rows / sizeof rows[0], QELMailPreferences::Store,
                                      WaitForDeliveryJobs};
    return table;
}
