// MailServerSettings.cpp: the settings file's place in the host's data folder, and its log.
#include "tags/MailServerSettings.h"

#include "net/ServerSettings.h"

void LoadMailServerSettings(const QELHostServices &host) {
    QELString folder = host.GetDataFolderPath(QELServerSettings::kFolderName);
    QELServerSettings &settings = QELServerSettings::Shared();
    // A host that does not name the folder this time keeps the file it named before: a
    // settings file that asks for security is never dropped for a refused answer. A host
    // that never names one has no settings (every server gets security none).
    if (!folder.isEmpty()) {
        if (!folder.endsWith("/"))
            folder.append("/");
        settings.setFilePath(folder + QELServerSettings::kFileName);
    }
    QELString problem = settings.refresh();
    if (!problem.isEmpty())
        host.WriteLogEntry(problem);
}
