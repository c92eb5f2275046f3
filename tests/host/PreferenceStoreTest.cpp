// PreferenceStoreTest.cpp: region preferences through GetPreference / SetPreference /
// RemovePreference, and their persistence in an SQLite file.
#include "ServiceCaller.h"
#include "TempFolder.h"

#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/PreferenceStore.h"

#include <gtest/gtest.h>

namespace velquor::host {
namespace {

using test::ServiceCaller;

const int32_t kNotFound = static_cast<int32_t>(QEL_RESULT_NOT_FOUND);

TEST(PreferenceStore, ValuesAreKeptPerRegionAndRemovalRestoresTheDefault) {
    Host host;
    HostRequest east(host, QEL_REQUEST_SET_PREFERENCES);
    east.setRegion("east");
    HostRequest west(host, QEL_REQUEST_TAG);
    west.setRegion("west");
    ServiceCaller eastCaller(east.context());
    ServiceCaller westCaller(west.context());

    EXPECT_EQ(eastCaller.named(QEL_SERVICE_GET_PREFERENCE, "qelPOP").answer, kNotFound)
        << "nothing stored: the module's default applies";
    EXPECT_EQ(eastCaller.twoTexts(QEL_SERVICE_SET_PREFERENCE, "qelPOP", "no"), 0);
    EXPECT_EQ(eastCaller.twoTexts(QEL_SERVICE_SET_PREFERENCE, "gmtOffset", ""), 0);

    ServiceCaller::Output value = eastCaller.named(QEL_SERVICE_GET_PREFERENCE, "QELPOP");
    EXPECT_EQ(value.answer, 0) << "names ignore case, as the page spells the tag";
    EXPECT_EQ(value.text, "no");
    value = eastCaller.named(QEL_SERVICE_GET_PREFERENCE, "gmtOffset");
    EXPECT_EQ(value.answer, 0) << "an empty value is a stored value";
    EXPECT_EQ(value.text, "");
    EXPECT_EQ(westCaller.named(QEL_SERVICE_GET_PREFERENCE, "qelPOP").answer, kNotFound);

    EXPECT_EQ(eastCaller.text(QEL_SERVICE_REMOVE_PREFERENCE, "qelPOP"), 0);
    EXPECT_EQ(eastCaller.named(QEL_SERVICE_GET_PREFERENCE, "qelPOP").answer, kNotFound);
    EXPECT_EQ(eastCaller.text(QEL_SERVICE_REMOVE_PREFERENCE, "qelPOP"), 0) << "removing twice is harmless";

    std::string longServer(80, 'm');
    EXPECT_EQ(eastCaller.twoTexts(QEL_SERVICE_SET_PREFERENCE, "mailServerName", longServer), 0);
    value = eastCaller.named(QEL_SERVICE_GET_PREFERENCE, "mailServerName");
    EXPECT_EQ(value.calls, 2);
    EXPECT_EQ(value.text, longServer);
}

TEST(PreferenceStore, FileStoreKeepsValuesAcrossReopen) {
    test::TempFolder folder;
    std::string path = folder / "host.sqlite";
    std::string error;
    {
        std::shared_ptr<PreferenceStore> store = PreferenceStore::openFile(path, &error);
        ASSERT_NE(store, nullptr) << error;
        Host host;
        host.usePreferences(store);
        HostRequest request(host, QEL_REQUEST_SET_PREFERENCES);
        request.setRegion("main");
        ServiceCaller caller(request.context());
        EXPECT_EQ(caller.twoTexts(QEL_SERVICE_SET_PREFERENCE, "qelSendMail", "no"), 0);
        EXPECT_EQ(caller.twoTexts(QEL_SERVICE_SET_PREFERENCE, "useMailServerName", "always"), 0);
        EXPECT_EQ(caller.twoTexts(QEL_SERVICE_SET_PREFERENCE, "useMailServerName", "byDefault"), 0);
        EXPECT_EQ(caller.twoTexts(QEL_SERVICE_SET_PREFERENCE, "qelPOP", "no"), 0);
        EXPECT_EQ(caller.text(QEL_SERVICE_REMOVE_PREFERENCE, "qelPOP"), 0);
    }
    std::unique_ptr<PreferenceStore> reopened = PreferenceStore::openFile(path, &error);
    ASSERT_NE(reopened, nullptr) << error;
    EXPECT_EQ(reopened->get("main", "qelsendmail").value_or("-"), "no");
    EXPECT_EQ(reopened->get("main", "useMailServerName").value_or("-"), "byDefault");
    EXPECT_FALSE(reopened->get("main", "qelPOP").has_value());
    EXPECT_FALSE(reopened->get("other", "qelSendMail").has_value());
    auto listed = reopened->list("main");
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].first, "qelSendMail");
}

TEST(PreferenceStore, SharesOneFileWithTheDatabases) {
    test::TempFolder folder;
    std::string path = folder / "host.sqlite";
    std::string error;
    std::shared_ptr<DatabaseStore> databases = DatabaseStore::open(path, &error);
    ASSERT_NE(databases, nullptr) << error;
    std::unique_ptr<PreferenceStore> preferences = PreferenceStore::openFile(path, &error);
    ASSERT_NE(preferences, nullptr) << error;
    uint32_t handle = 0;
    ASSERT_EQ(databases->openDatabase(1, "Log", QEL_OPEN_SHARED, &handle), 0);
    ASSERT_EQ(databases->addField(1, handle, "Status", 0x02060001u), 0);
    EXPECT_TRUE(preferences->set("", "gmtOffset", "-5"));
    databases->closeAll(1);
    databases.reset();
    preferences.reset();
    EXPECT_EQ(PreferenceStore::openFile(path, &error)->get("", "gmtoffset").value_or("-"), "-5");
    EXPECT_EQ(DatabaseStore::open(path, &error)->fields("Log").size(), 1u);
}

TEST(PreferenceStore, UnusableFileIsReported) {
    std::string error;
    EXPECT_EQ(PreferenceStore::openFile("/nonexistent-folder/x/prefs.sqlite", &error), nullptr);
    EXPECT_FALSE(error.empty());
}

} // namespace
} // namespace velquor::host
