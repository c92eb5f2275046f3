// ModuleLoaderTest.cpp: loading a module library and finding its entry point.
// The built module is taken from VELQUOR_MODULE when the test runs under ctest.
#include "host/lib/HostRequest.h"
#include "host/lib/ModuleLoader.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace velquor::host {
namespace {

TEST(ModuleLoader, ReportsAMissingLibrary) {
    ModuleLoader loader;
    EXPECT_FALSE(loader.load("/nonexistent/libvelquor.so"));
    EXPECT_FALSE(loader.loaded());
    EXPECT_NE(loader.error().find("cannot load the module /nonexistent/libvelquor.so"), std::string::npos)
        << loader.error();
    EXPECT_FALSE(loader.load(""));
    EXPECT_EQ(loader.error(), "no module path given");
}

TEST(ModuleLoader, ReportsALibraryWithoutTheEntryPoint) {
    ModuleLoader loader;
    EXPECT_FALSE(loader.load("libsqlite3.so.0"));
    EXPECT_NE(loader.error().find("does not export ProcessQELRequest"), std::string::npos) << loader.error();
    EXPECT_EQ(loader.entry(), nullptr);
}

TEST(ModuleLoader, LoadsTheBuiltModule) {
    std::string path = ModuleLoader::pathFromEnvironment();
    if (path.empty() || !std::filesystem::exists(path)) {
        GTEST_SKIP() << "VELQUOR_MODULE names no built module";
    }
    ModuleLoader loader;
    ASSERT_TRUE(loader.load(path)) << loader.error();
    ASSERT_NE(loader.entry(), nullptr);
    // Terminate is answered at once and calls no service.
    HostRequest request(QEL_REQUEST_TERMINATE);
    request.setRecording(true);
    EXPECT_EQ(request.run(loader.entry()), 0);
    EXPECT_TRUE(request.calls().empty());
    loader.unload();
    EXPECT_FALSE(loader.loaded());
}

} // namespace
} // namespace velquor::host
