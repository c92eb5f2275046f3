// MailServerSettings.cpp: the settings file's place in the host's data folder, and its log.
#include "tags/MailServerSettings.h"

#include "net/ServerSettings.h"

void LoadMailServerSettings(const QELHostServices &host) {
    QELString folder = host.GetDataFolderPath(QELServerSettings::kFolderName);
    QELServerSettings &settings = QELServerSettings::Shared();
    if (folder.isEmpty()) {
        // Without the folder the module cannot know what security the servers ask for,
        // so nothing goes to any mail server until the host names it again.
        QELString problem("the host did not name the folder of the mail server settings");
        settings.setUnavailable(problem);
        host.WriteLogEntry(problem);
        return;
    } else {
        if (!folder.endsWith("/"))
            folder.append("/");
        settings.setFilePath(folder + QELServerSettings::kFileName);
    }
    QELString problem = settings.refresh();
    if (!problem.isEmpty())
        host.WriteLogEntry(problem);
}
