// MailServerSettings.cpp: the settings file's place in the host's data folder, and its log.
#include "tags/MailServerSettings.h"

#include "net/ServerSettings.h"

void LoadMailServerSettings(const QELHostServices &host) {
    QELString folder = host.GetDataFolderPath(QELServerSettings::kFolderName);
    QELServerSettings &settings = QELServerSettings::Shared();
    if (folder.isEmpty()) {
        settings.setFilePath(QELString());
    } else {
        if (!folder.endsWith("/"))
            folder.append("/");
        settings.setFilePath(folder + QELServerSettings::kFileName);
    }
    QELString problem = settings.refresh();
    if (!problem.isEmpty())
        host.WriteLogEntry(problem);
}
