// RegionPreferencesTest.cpp: the region preference page as built for 'MGPr' and stored
// from 'MSPr', through the module's entry point.
#include <gtest/gtest.h>

#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/PreferenceStore.h"
#include "module/HostInterface.h"

using velquor::host::HostRequest;

namespace {

std::string Page(HostRequest &context) {
    HostRequest request(context.host(), QEL_REQUEST_GET_PREFERENCES);
    request.setRegion("/shop");
    EXPECT_EQ(0, request.run(ProcessQELRequest));
    return request.output();
}

std::string Cell(const std::string &tag, bool checked) {
    return "<input type=\"checkbox\" name=\"" + tag + "\" value=\"yes\"" + (checked ? " CHECKED" : "") + ">" + tag;
}

TEST(RegionPreferencesTest, PageTicksOnlyTheExactValueYes) {
    HostRequest host(QEL_REQUEST_TERMINATE);
    host.host().preferences().set("/shop", "qelPOP", "No");
    host.host().preferences().set("/shop", "qelSendMail", "no");
    std::string page = Page(host);
    const std::string expectedRow = "\r\n<tr><td width=\"33%\">" + Cell("qelIncludeHTTP", true) +
                                    "</td><td width=\"33%\">" + Cell("qelPOP", false) + "</td><td width=\"33%\">" +
                                    Cell("qelSendMail", false) + "</td></tr>";
    EXPECT_NE(std::string::npos, page.find(expectedRow)) << page;
    EXPECT_EQ(0u, page.find("<table width=\"100%\" border=\"2\" cellspacing=\"1\" cellpadding=\"4\" align=\"center\">"
                            "\r\n<tr>\r\n<td>\r\n<table width=\"95%\""));
    EXPECT_NE(std::string::npos,
              page.find("Deselect any QEL tags that should be disabled for this region.<br><br></td></tr>"));
    EXPECT_EQ(page.size() - 10, page.rfind("\r\n</table>"));
}

TEST(RegionPreferencesTest, StoreSwitchesOffUnpostedAndNoAndRemovesTheRest) {
    HostRequest store(QEL_REQUEST_SET_PREFERENCES);
    store.setRecording(true);
    store.setRegion("/shop");
    store.host().preferences().set("/shop", "qelIncludeHTTP", "no");
    store.addFormArgument("qelIncludeHTTP", "yes");  // ticked: enabled again
    store.addFormArgument("qelPOP", "No");           // any value but "no" enables
    // qelSendMail not posted: an unticked box switches the tag off.
    ASSERT_EQ(0, store.run(ProcessQELRequest));
    auto &preferences = store.host().preferences();
    EXPECT_FALSE(preferences.get("/shop", "qelIncludeHTTP").has_value());
    EXPECT_FALSE(preferences.get("/shop", "qelPOP").has_value());
    EXPECT_EQ("no", preferences.get("/shop", "qelSendMail").value_or("(none)"));
    EXPECT_EQ(0u, store.countCalls(QEL_SERVICE_WRITE_TEXT));

    // The stored choice shows on the next page and switches the tag off.
    std::string page = Page(store);
    EXPECT_NE(std::string::npos, page.find(Cell("qelIncludeHTTP", true)));
    EXPECT_NE(std::string::npos, page.find(Cell("qelSendMail", false)));
}

TEST(RegionPreferencesTest, EmptyPostedValueSwitchesTheTagOff) {
    HostRequest store(QEL_REQUEST_SET_PREFERENCES);
    store.setRegion("/");
    store.addFormArgument("qelIncludeHTTP", "");
    store.addFormArgument("qelPOP", "yes");
    store.addFormArgument("qelSendMail", "yes");
    ASSERT_EQ(0, store.run(ProcessQELRequest));
    EXPECT_EQ("no", store.host().preferences().get("/", "qelIncludeHTTP").value_or("(none)"));

    HostRequest tag(store.host(), QEL_REQUEST_TAG);
    tag.setRecording(true);
    tag.setRegion("/");
    tag.setTagName("qelIncludeHTTP");
    EXPECT_EQ(0, tag.run(ProcessQELRequest));
    EXPECT_EQ(0u, tag.countCalls(QEL_SERVICE_GET_TAG_PARAMETER));
}

}  // namespace
