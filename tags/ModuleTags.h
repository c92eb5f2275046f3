// ModuleTags.h: the module's tags as the dispatcher sees them: qelFTP (which does nothing),
// qelIncludeHTTP, qelPOP and qelSendMail, the failed-mail action and the mail preferences.
#pragma once

#include "module/TagTable.h"

// Built on first use, after the module's names.
const QELTagTable &ModuleTags();
