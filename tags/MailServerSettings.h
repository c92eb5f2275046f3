// MailServerSettings.h: points the module's mail server settings at the settings file of
// the host's data folder, and logs why a changed file cannot be used.
#pragma once

#include "module/HostServices.h"

// Names the settings file (<data folder "Settings">/servers.conf) and re-reads it when it
// changed; a file that cannot be used is logged once per change. When the host does not
// name the folder, the file named before stays. Mail tags call it before they talk to a
// server.
void LoadMailServerSettings(const QELHostServices &host);
