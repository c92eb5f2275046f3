// MailPreferences.cpp: the mail sections of the region preference page: the choice of
// the SMTP server and the default GMT offset, built from and stored to the preferences.
#include "tags/MailPreferences.h"

#include "foundation/Decimal.h"
#include "foundation/HTMLEscape.h"
#include "module/ModuleNames.h"

namespace {

const char kTableHead[] =
    "\r\n<table width=\"95%\" border=\"0\" cellspacing=\"0\" cellpadding=\"1\" align=\"center\">\r\n<tr>";

const char kServerHelp[] =
    "The <i>Never</i> option will require a value to always be passed in the mailServer parameter of the "
    "&lt;qelSendMail&gt; tag.<br><br>The <i>By default</i> option will use the above value for the mailServer "
    "parameter if it is not defined in the &lt;qelSendMail&gt; tag.<br><br>The <i>Always</i> option will use the "
    "above value for the mailServer parameter of the &lt;qelSendMail&gt; tag, even if it is defined in the tag's "
    "parameter list.";

const char kGMTHelp[] =
    "<font size=\"-1\" color=\"#333333\">With this option enabled, the &lt;qelSendMail&gt; tag will date the email "
    "relative to GMT unless specifically overriden with the use of the gmtOffset parameter.<br><br>With this "
    "option disabled, the &lt;qelSendMail&gt; tag will generate information based on the server's local time "
    "unless specifically overriden with the use of the gmtOffset parameter.</font>";

// What a checked box stands for when the browser posted it without a value.
const char kChecked[] = "yes";

// The row that ends a section: its cells up to the help text, the text, the table's end.
void AppendHelpRow(QELString &section, const char *cells, const char *help) {
    section += "\r\n<tr>";
    section += cells;
    section += help;
    section += "</td>\r\n</tr>\r\n</table>";
}

}  // namespace

QELString QELMailPreferences::BuildServerSection(const QELHostServices &host) {
    const QELModuleNames &names = ModuleNames();
    const QELString choice = host.GetPreference(names.preferenceUseMailServerName, names.keywordNever.text());
    const QELString server = host.GetPreference(names.preferenceMailServerName, QELString());
    const struct {
        const char *label;
        const QELString &value;
    } choices[] = {{"Never", names.keywordNever.text()},
                   {"By default", names.keywordByDefault.text()},
                   {"Always", names.keywordAlways.text()}};

    QELString section(kTableHead);
    section += "\r\n<td valign=\"top\" align=\"left\" colspan=\"2\"><select name=\"";
    section += names.formUseMailServerName;
    section += "\">";
    for (const auto &option : choices) {
        section += "<option value=\"";
        section += option.value;
        section += "\"";
        if (option.value.equalsIgnoringCase(choice))
            section += " selected";
        section += ">";
        section += option.label;
        section += "</option>";
    }
    section += "</select> use <input name=\"";
    section += names.formMailServerName;
    section += "\" value=\"";
    section += HTMLEscape(server);
    section += "\" size=\"30\"> as the mail server.</td>\r\n</tr>";
    AppendHelpRow(section, "\r\n<td width=\"16\"></td>\r\n<td align=\"left\">", kServerHelp);
    return section;
}

QELString QELMailPreferences::BuildGMTSection(const QELHostServices &host) {
    const QELModuleNames &names = ModuleNames();
    const QELDecimal stored(host.GetPreference(names.preferenceGMTOffset, names.defaultZero));
    const bool byDefault = IsTrueText(host.GetPreference(names.preferenceReturnGMTOffsetByDefault, names.defaultNo));

    QELString section(kTableHead);
    section += "\r\n<td width=\"16\" valign=\"top\" align=\"right\"><input type=\"checkbox\" name=\"";
    section += names.formUseGMT;
    section += "\"";
    if (byDefault)
        section += " CHECKED";
    section += "></td>";
    section += "\r\n<td valign=\"top\" align=\"left\" colspan=\"2\">Return the date and time information <select name=\"";
    section += names.formGMTOffset;
    section += "\">";
    // Every half hour from the lowest offset to the highest, both included.
    const QELDecimal step("0.5");
    for (QELDecimal offset(names.gmtOffsetMinimum); offset.notGreater(names.gmtOffsetMaximum); offset += step) {
        section += "<option";
        if (offset.equals(stored))
            section += " selected";
        section += ">";
        section += offset.toText();
        section += "</option>";
    }
    section += "</select> hours relative to GMT by default.</td>\r\n</tr>";
    AppendHelpRow(section, "\r\n<td width=\"16\" valign=\"top\" align=\"right\"></td>\r\n<td valign=\"top\" align=\"left\">",
                  kGMTHelp);
    return section;
}

void QELMailPreferences::Store(const QELHostServices &host) {
    const QELModuleNames &names = ModuleNames();
    QELString choice, server, useGMT, offset;
    host.GetFormArgument(names.formUseMailServerName, 0, choice, names.keywordNever.text());
    host.GetFormArgument(names.formMailServerName, 0, server);
    if (!host.GetFormArgument(names.formUseGMT, 0, useGMT, names.defaultNo))
        useGMT = names.defaultNo;
    else if (useGMT.isEmpty())
        useGMT = kChecked;
    host.GetFormArgument(names.formGMTOffset, 0, offset, names.defaultZero);
    host.SetPreference(names.preferenceUseMailServerName, choice);
    host.SetPreference(names.preferenceMailServerName, server);
    host.SetPreference(names.preferenceReturnGMTOffsetByDefault, useGMT);
    host.SetPreference(names.preferenceGMTOffset, offset);
}
