// HostServices.h: the module's side of the host's page, tag, registration and
// preference services: one wrapper per service selector, all through HostCallback.
#pragma once

#include <cstdint>

#include "foundation/HashedName.h"
#include "foundation/String.h"
#include "module/HostInterface.h"

class QELDecimal;

// Wraps the HostContext of the request being served. Every wrapper calls the host on
// the request's thread with the request's hostRef, never throws on a service failure
// (only a failed module allocation unwinds, and the entry point answers 'MGen'), and
// reads answers no further than the buffers it owns, whatever size the host reports.
class QELHostServices : public QELObject {
public:
    explicit QELHostServices(const HostContext &context) : context_(context) {}

    const HostContext &context() const { return context_; }

    // 'MWtS': the text replaces the tag in the page. Not called for empty text.
    bool WriteText(const QELString &text) const;
    // The same, taking the text (it is empty afterwards): bytes that no other string
    // shares go to the host as they are, without a copy; shared ones are copied first, so
    // a host that writes into its argument still changes no other string.
    bool WriteText(QELString &&text) const;
    // 'MTag': the name of the tag being served, in any letter case; "" if unanswered.
    QELString GetTagName() const;
    // 'MAct': the name of the action being requested.
    QELString GetActionName() const;
    // 'MGPr': the stored preference, or defaultValue when the host has none.
    QELString GetPreference(const QELString &name, const QELString &defaultValue, bool *found = nullptr) const;
    // 'MSPr' and 'MRPr': store or remove a region preference; the answers are ignored.
    void SetPreference(const QELString &name, const QELString &value) const;
    void RemovePreference(const QELString &name) const;

    // 'MWtL': one line in the host's log, entry kind 'MLgE'.
    bool WriteLogEntry(const QELString &text) const;
    // 'MSEI': message and explanation (already HTML-escaped) for the page author.
    bool SetErrorInfo(const QELString &message, const QELString &explanation) const;

    // Registration: 'MRMN', 'MRMV', 'MRMA', 'MRVt', 'MRfT'. True when the host accepted.
    bool RegisterModuleName(const QELString &name) const;
    bool RegisterModuleVersion(const QELString &version) const;
    bool RegisterModuleVendor(const QELString &vendor) const;
    bool RegisterVersionTrackingURL(const QELString &url) const;
    bool RegisterTag(const QELString &name, uint32_t kind) const;
    // 'MRfA': on success the name becomes the host's answer.
    bool RegisterAction(QELString &name) const;

    // 'MTPm': occurrence index of the named tag parameter. The host answers 0 exactly
    // when the tag carries it (also when empty); otherwise the default is returned.
    bool GetTagParameter(const QELString &name, uint32_t index, QELString &value, const QELString &defaultValue = QELString()) const;
    bool GetTagParameter(const QELString &name, uint32_t index, QELHashedName &value, const QELHashedName &defaultValue) const;
    // The unsigned form reads decimal digits; a negative number is refused like a
    // missing parameter (false, with the default).
    bool GetTagParameter(const QELString &name, uint32_t index, uint32_t &value, uint32_t defaultValue) const;
    bool GetTagParameter(const QELString &name, uint32_t index, QELDecimal &value, const QELDecimal &defaultValue) const;
    bool GetTagParameterFlag(const QELString &name, uint32_t index, bool &value, bool defaultValue) const;
    // The text form with default ""; when the parameter is missing it reports the
    // standard missing-parameter error for the current tag and returns false.
    bool ReportMissingParameter(const QELString &name, uint32_t index, QELString &value) const;
    // Reports that standard error for the parameter name, whatever the tag carries (for a
    // parameter whose value is as good as missing).
    void ReportMissing(const QELString &name) const;
    // 'MTPI': the parameter at a position, in document order.
    bool GetTagParameterAt(uint32_t index, QELHashedName &name, QELString &value) const;
    // 'MTBd': the text between the tag's opening and closing tag; "" when none.
    QELString GetTagBody() const;
    // 'MFAr': occurrence index of a posted form argument.
    bool GetFormArgument(const QELString &name, uint32_t index, QELString &value, const QELString &defaultValue = QELString()) const;
    // 'MCGI': a CGI variable of the request ("SCRIPT_NAME", ...); "" when unknown.
    // answered (may be null) tells whether the host answered 0.
    QELString GetCGIVariable(const QELString &name, bool *answered = nullptr) const;
    // 'MSPV': a page variable that later parts of the page can read.
    bool SetPageVariable(const QELString &name, const QELString &value) const;
    // 'MVrH': the request's host name without a scheme; "" when unanswered.
    QELString GetVirtualHost() const;
    // 'MUPF': the page's folder on disk; "" when unanswered.
    QELString GetPageFolderPath() const;
    // 'MRDF': the module's data folder of that name; "" when unanswered.
    QELString GetDataFolderPath(const QELString &name) const;
    // 'MRCP': replaces path by the host's resolution of it; false when refused.
    bool ResolveFolderPath(QELString &path) const;

private:
    int32_t call(uint32_t selector, void *a1 = nullptr, void *a2 = nullptr, void *a3 = nullptr,
                 void *a4 = nullptr, void *a5 = nullptr) const;
    bool simpleInput(uint32_t selector, const QELString &text, void *a5 = nullptr) const;
    bool nameIndexService(uint32_t selector, const QELString &name, uint32_t index, QELString &value) const;

    const HostContext &context_;
};
