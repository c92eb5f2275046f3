// ModuleNames.h: the module's fixed vocabulary, built once when the library is loaded:
// tag, parameter, keyword and action names as hashed names, other texts as strings.
#pragma once

#include "foundation/Decimal.h"
#include "foundation/HashedName.h"
#include "foundation/String.h"

// A tag of the module: its only content is its name.
struct QELTagName {
    QELHashedName name;
};

struct QELModuleNames {
    QELModuleNames();

    // Module identity.
    QELString moduleName, moduleVersion, moduleVendor, versionTrackingURL;

    // Tags, in the order the dispatcher compares them.
    QELTagName qelFTP, qelIncludeHTTP, qelPOP, qelSendMail;
    // The tags that the region page offers, ending in a null entry.
    const char *regionTags[4];

    // qelIncludeHTTP parameters and keywords.
    QELHashedName url, method, postArgumentName, postArgumentValue, data, username, password;
    QELHashedName keywordGET, keywordPOST, keywordHeaders, keywordContent, keywordHeadersAndContent;

    // qelPOP parameters (username and password are shared with qelIncludeHTTP).
    QELHashedName mailServer, databaseName, resultVariableName, deleteMessagesOnServer,
        attachmentFolderLocation, maximumAttachmentSize, odbcDataSource, odbcUsername, odbcPassword;
    // The message database's fields.
    QELString fieldHeader, fieldMessage, fieldRead, fieldUniqueID, fieldTo, fieldFrom, fieldFromName,
        fieldFromEmail, fieldDate, fieldSubject, fieldSize, fieldReturnPath, fieldReceived, fieldXSender,
        fieldMessageIDHeader, fieldMimeVersion, fieldContentType, fieldStatusHeader, fieldAttachmentFileNames;

    // qelSendMail parameters (mailServer is shared with qelPOP) and mode keywords.
    QELHashedName mode, to, from, replyTo, message, subject, cc, bcc, attachmentData, attachmentFileLocation,
        displayLimit, gmtOffset;
    QELHashedName modeSendMail, modeSendFailedMail, modeAdmin;
    QELString sendAsHTML, headerName, headerValue, addressPattern;
    // The GMT offsets a page may ask for (also the preference page's limits).
    QELDecimal gmtOffsetMinimum, gmtOffsetMaximum;

    // Mail preferences.
    QELHashedName keywordNever, keywordByDefault, keywordAlways;
    QELString preferenceMailServerName, preferenceUseMailServerName, preferenceReturnGMTOffsetByDefault,
        preferenceGMTOffset, defaultNo, defaultZero, formUseMailServerName, formMailServerName, formUseGMT,
        formGMTOffset;

    // Failed-mail log.
    QELString logDatabaseName, logMessageID, logStatus, logAttempts, logInfo, logSMTPServer, logFrom, logReplyTo,
        logTo, logCC, logBCC, logSubject, contentTypeHTML, contentTypePlain, htmlHeaderBlock;

    // Administration page commands and form fields.
    QELHashedName commandDisplayList, commandEdit, commandSend, commandPostSend, commandDelete,
        commandDeleteMessage, commandSave, commandCancel, commandPreviousEscaped, commandPrevious,
        commandNextEscaped, commandNext, commandYes, commandNo;
    QELString formAction, formRecordID, formMessageID, formPage, formPrevPage, formNextPage, formConfirmation,
        formSMTPServer, formFrom, formReplyTo, formTo, formCC, formBCC, formSubject;
};

// The one table, built at load.
const QELModuleNames &ModuleNames();
