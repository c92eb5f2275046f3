// MailPreferencesTest.cpp: the mail sections of the region preference page, built for
// 'MGPr' and stored from 'MSPr' through the module's entry point, and their round trip.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/PreferenceStore.h"
#include "module/HostInterface.h"

using velquor::host::Host;
using velquor::host::HostRequest;

namespace {

const char kRegion[] = "/mail";

std::string Page(Host &host) {
    HostRequest request(host, QEL_REQUEST_GET_PREFERENCES);
    request.setRegion(kRegion);
    EXPECT_EQ(0, request.run(ProcessQELRequest));
    return request.output();
}

void Save(Host &host, const std::vector<std::pair<std::string, std::string>> &form) {
    HostRequest request(host, QEL_REQUEST_SET_PREFERENCES);
    request.setRegion(kRegion);
    for (const auto &[name, value] : form)
        request.addFormArgument(name, value);
    ASSERT_EQ(0, request.run(ProcessQELRequest));
}

size_t Count(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string Stored(Host &host, const std::string &name) {
    return host.preferences().get(kRegion, name).value_or("(none)");
}

TEST(MailPreferencesTest, WithoutPreferencesNeverAndZeroAreChosen) {
    Host host;
    const std::string page = Page(host);
    const std::string table =
        "\r\n<table width=\"95%\" border=\"0\" cellspacing=\"0\" cellpadding=\"1\" align=\"center\">\r\n<tr>";
    const std::string server =
        table +
        "\r\n<td valign=\"top\" align=\"left\" colspan=\"2\"><select name=\"qelSendMailPreference_UseMailServerName\">"
        "<option value=\"never\" selected>Never</option><option value=\"byDefault\">By default</option>"
        "<option value=\"always\">Always</option></select> use <input name=\"qelSendMailPreference_mailServerName\" "
        "value=\"\" size=\"30\"> as the mail server.</td>\r\n</tr>\r\n<tr>\r\n<td width=\"16\"></td>\r\n<td "
        "align=\"left\">The <i>Never</i> option will require a value to always be passed in the mailServer parameter "
        "of the &lt;qelSendMail&gt; tag.<br><br>The <i>By default</i> option will use the above value for the "
        "mailServer parameter if it is not defined in the &lt;qelSendMail&gt; tag.<br><br>The <i>Always</i> option "
        "will use the above value for the mailServer parameter of the &lt;qelSendMail&gt; tag, even if it is defined "
        "in the tag's parameter list.</td>\r\n</tr>\r\n</table>";
    EXPECT_NE(std::string::npos, page.find("\r\n<tr>\r\n<td>" + server + "\r\n</td>\r\n</tr>")) << page;

    std::string options;
    for (int half = -24; half <= 24; ++half) {
        std::string text = std::to_string(half / 2) + (half % 2 != 0 ? ".5" : "");
        if (half == -1)
            text = "-0.5";
        options += std::string("<option") + (half == 0 ? " selected" : "") + ">" + text + "</option>";
    }
    const std::string gmt =
        table +
        "\r\n<td width=\"16\" valign=\"top\" align=\"right\"><input type=\"checkbox\" "
        "name=\"qelSendMailPreference_UseGMT\"></td>\r\n<td valign=\"top\" align=\"left\" colspan=\"2\">Return the "
        "date and time information <select name=\"qelSendMailPreference_GMTOffset\">" +
        options +
        "</select> hours relative to GMT by default.</td>\r\n</tr>\r\n<tr>\r\n<td width=\"16\" valign=\"top\" "
        "align=\"right\"></td>\r\n<td valign=\"top\" align=\"left\"><font size=\"-1\" color=\"#333333\">With this "
        "option enabled, the &lt;qelSendMail&gt; tag will date the email relative to GMT unless specifically "
        "overriden with the use of the gmtOffset parameter.<br><br>With this option disabled, the "
        "&lt;qelSendMail&gt; tag will generate information based on the server's local time unless specifically "
        "overriden with the use of the gmtOffset parameter.</font></td>\r\n</tr>\r\n</table>";
    EXPECT_NE(std::string::npos, page.find("\r\n<tr>\r\n<td>" + gmt + "\r\n</td>\r\n</tr>")) << page;
    EXPECT_LT(page.find(server), page.find(gmt));
}

// What is saved is stored as posted and chosen again on the next page.
TEST(MailPreferencesTest, SavedChoicesComeBackOnThePage) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> form;
        std::string useServer, server, useGMT, offset;  // as stored
        std::string selectedServer, serverField, box, selectedOffset;  // as shown
    } cases[] = {
        {{{"qelSendMailPreference_UseMailServerName", "byDefault"},
          {"qelSendMailPreference_mailServerName", "smtp.example.org:2525"},
          {"qelSendMailPreference_UseGMT", "on"},
          {"qelSendMailPreference_GMTOffset", "5.5"}},
         "byDefault", "smtp.example.org:2525", "on", "5.5",
         "<option value=\"byDefault\" selected>", "value=\"smtp.example.org:2525\"", "UseGMT\" CHECKED>",
         "<option selected>5.5</option>"},
        {{}, "never", "", "no", "0", "<option value=\"never\" selected>", "value=\"\" size", "UseGMT\">",
         "<option selected>0</option>"},
        {{{"qelSendMailPreference_UseMailServerName", "ALWAYS"},
          {"qelSendMailPreference_mailServerName", "a\"<b>&amp;"},
          {"qelSendMailPreference_UseGMT", ""},
          {"qelSendMailPreference_GMTOffset", "-12"}},
         "ALWAYS", "a\"<b>&amp;", "yes", "-12", "<option value=\"always\" selected>",
         "value=\"a&quot;&lt;b&gt;&amp;amp;\"", "UseGMT\" CHECKED>", "<option selected>-12</option>"},
        {{{"qelSendMailPreference_GMTOffset", "5.25"}, {"qelSendMailPreference_UseGMT", "no"}},
         "never", "", "no", "5.25", "<option value=\"never\" selected>", "value=\"\" size", "UseGMT\">", ""},
    };
    for (const Case &c : cases) {
        Host host;
        host.preferences().set(kRegion, "gmtOffset", "3");  // replaced by every save
        Save(host, c.form);
        EXPECT_EQ(c.useServer, Stored(host, "useMailServerName"));
        EXPECT_EQ(c.server, Stored(host, "mailServerName"));
        EXPECT_EQ(c.useGMT, Stored(host, "returnGMTOffsetByDefault"));
        EXPECT_EQ(c.offset, Stored(host, "gmtOffset"));
        const std::string page = Page(host);
        EXPECT_EQ(c.selectedOffset.empty() ? 1u : 2u, Count(page, " selected>")) << c.offset;
        EXPECT_NE(std::string::npos, page.find(c.selectedServer)) << c.useServer;
        EXPECT_NE(std::string::npos, page.find(c.serverField)) << c.server;
        EXPECT_NE(std::string::npos, page.find(c.box)) << c.useGMT;
        if (!c.selectedOffset.empty())
            EXPECT_NE(std::string::npos, page.find(c.selectedOffset)) << c.offset;
        else
            EXPECT_EQ(std::string::npos, page.find("<option selected>")) << c.offset;
    }
}

}  // namespace
