// RegionPreferences.cpp: the region preference page.
#include "module/RegionPreferences.h"

#include "module/ModuleNames.h"

namespace {

void AppendTagCell(const QELHostServices &host, const char *tag, QELString &page) {
    if (tag == nullptr) {
        page.append("&nbsp;");
        return;
    }
    QELString name(tag);
    page.append("<input type=\"checkbox\" name=\"");
    page.append(name);
    page.append("\" value=\"yes\"");
    if (host.GetPreference(name, "yes").equals("yes"))
        page.append(" CHECKED");
    page.append(">");
    page.append(name);
}

void AppendRow(QELString &page, const QELString &content) {
    page.append("\r\n<tr>\r\n<td>");
    page.append(content);
    page.append("\r\n</td>\r\n</tr>");
}

}  // namespace

QELString QELRegionPreferences::BuildPage(const QELHostServices &host, const QELTagTable &tags) {
    const char *const *switches = ModuleNames().regionTags;
    QELString page("<table width=\"100%\" border=\"2\" cellspacing=\"1\" cellpadding=\"4\" align=\"center\">");
    page.append("\r\n<tr>\r\n<td>");
    page.append("\r\n<table width=\"95%\" border=\"0\" cellspacing=\"0\" cellpadding=\"1\" align=\"center\">");
    page.append("\r\n<tr><td colspan=\"3\">Deselect any QEL tags that should be disabled for this region.<br><br>"
                "</td></tr>");
    for (uint32_t next = 0; switches[next] != nullptr;) {
        page.append("\r\n<tr>");
        for (int cell = 0; cell < 3; ++cell) {
            page.append(cell == 0 ? "<td width=\"33%\">" : "</td><td width=\"33%\">");
            AppendTagCell(host, switches[next], page);
            if (switches[next] != nullptr)
                ++next;
        }
        page.append("</td></tr>");
    }
    page.append("\r\n</table>");
    page.append("\r\n</td>\r\n</tr>");
    AppendRow(page, QELString());
    for (uint32_t i = 0; i < tags.preferenceRowCount; ++i)
        AppendRow(page, tags.preferenceRows[i](host));
    page.append("\r\n</table>");
    return page;
}

void QELRegionPreferences::StorePage(const QELHostServices &host, const QELTagTable &tags) {
    const QELString no("no");
    for (const char *const *tag = ModuleNames().regionTags; *tag != nullptr; ++tag) {
        QELString name(*tag);
        QELString value;
        if (!host.GetFormArgument(name, 0, value) || value.isEmpty())
            value = no;
        if (value.equals(no))
            host.SetPreference(name, no);
        else
            host.RemovePreference(name);
    }
    tags.storePreferences(host);
}
