// Main.cpp: velquor-host, the reference page server: loads the module, registers it
// ('MIni'), serves the site over HTTP until SIGINT or SIGTERM, then terminates the module
// ('MTrm') while still answering its action posts, and stops.
#include "host/lib/DataFolder.h"
#include "host/lib/DatabaseStore.h"
#include "host/lib/DownloadFolders.h"
#include "host/lib/Host.h"
#include "host/lib/HostIdentity.h"
#include "host/lib/HostOptions.h"
#include "host/lib/HostText.h"
#include "host/lib/HttpServer.h"
#include "host/lib/LogFile.h"
#include "host/lib/ModuleLoader.h"
#include "host/lib/PageRequest.h"
#include "host/lib/PageServer.h"
#include "host/lib/PreferenceStore.h"

#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace velquor::host;

namespace {

// After SIGINT or SIGTERM, pages in progress get this long to finish before the module is
// sent its termination request; actions in progress get as long again after it.
constexpr std::chrono::seconds kGracePeriod(10);

// Every connection takes a descriptor: the soft limit goes up to the hard one.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int fail(const std::string &text, int code = 1) {
    std::fprintf(stderr, "velquor-host: %s\n", text.c_str());
    return code;
}

std::string kindText(uint32_t kind) {
    if (kind == QEL_TAG_KIND_WITH_BODY) {
        return "kind 0x10, with a body";
    }
    if (kind == QEL_TAG_KIND_EMPTY) {
        return "kind 0x20, without a body";
    }
    return "kind " + std::to_string(kind);
}

void printRegistration(const std::string &module, const Registration &registration) {
    std::printf("velquor-host: module %s\n", module.c_str());
    std::printf("  name: %s\n", registration.moduleName.c_str());
    std::printf("  version: %s\n", registration.moduleVersion.c_str());
    std::printf("  vendor: %s\n", registration.moduleVendor.c_str());
    std::printf("  version tracking: %s\n", registration.trackingURL.c_str());
    for (const RegisteredTag &tag : registration.tags) {
        std::printf("  tag <%s> (%s)\n", tag.name.c_str(), kindText(tag.kind).c_str());
    }
    std::printf("  action: %s\n", registration.actionName.empty() ? "(none)" : registration.actionName.c_str());
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);

    HostOptions defaults;
    defaults.site = VELQUOR_DEFAULT_SITE;
    defaults.data = VELQUOR_DEFAULT_DATA;
    defaults.module = VELQUOR_DEFAULT_MODULE;
    std::string error;
    std::optional<HostOptions> parsed = HostOptions::parse(std::vector<std::string>(argv + 1, argv + argc), defaults, &error);
    if (!parsed) {
        return fail(error, 2);
    }
    const HostOptions &options = *parsed;
    if (options.help) {
        std::fputs(HostOptions::usage(defaults).c_str(), stdout);
        return 0;
    }

    // Folders: the site must exist; the data folder is made private to this user, never
    // lies in the site (its database and log would be served), and serves one host at a
    // time (each would keep its own stale copy of the preferences).
    std::error_code fsError;
    if (!fs::is_directory(options.site, fsError)) {
        return fail("the site folder " + options.site + " does not exist");
    }
    fs::path site = fs::canonical(options.site, fsError);
    fs::path wanted = fs::weakly_canonical(fs::absolute(options.data, fsError), fsError);
    if (SiteFolders::isWithin(site.string(), wanted.string())) {
        return fail("the data folder " + wanted.string() + " lies inside the site folder; choose one outside it");
    }
    std::unique_ptr<DataFolder> dataFolder = DataFolder::open(wanted.string(), &error);
    if (dataFolder == nullptr) {
        return fail(error);
    }
    fs::path data = dataFolder->path();
    std::string storeFile;
    std::string logPath;
    if (!dataFolder->privateFile("velquor.sqlite", &storeFile, &error) ||
        !dataFolder->privateFile("velquor.log", &logPath, &error)) {
        return fail(error);
    }

    std::string adminPassword;
    if (!options.adminPasswordFile.empty()) {
        if (!HostOptions::readPasswordFile(options.adminPasswordFile, &adminPassword, &error)) {
            return fail(error);
        }
    } else if (const char *fromEnvironment = std::getenv("VELQUOR_ADMIN_PASSWORD")) {
        adminPassword = fromEnvironment;
    }

    Host host;
    host.folders().setSiteRoot(site.string());
    host.folders().setDataRoot(data.string());
    std::shared_ptr<PreferenceStore> preferences = PreferenceStore::openFile(storeFile, &error);
    if (preferences == nullptr) {
        return fail("cannot open the preferences in " + storeFile + ": " + error);
    }
    host.usePreferences(preferences);
    std::shared_ptr<DatabaseStore> databases = DatabaseStore::open(storeFile, &error);
    if (databases == nullptr) {
        return fail("cannot open the databases in " + storeFile + ": " + error);
    }
    host.useDatabases(databases);
    std::shared_ptr<DownloadFolders> downloads = DownloadFolders::openFile(storeFile, &error);
    if (downloads == nullptr) {
        return fail("cannot open the attachment folders in " + storeFile + ": " + error);
    }
    host.useLogFile(std::make_shared<LogFile>(logPath));
    host.setLogSink([](const std::string &line) { std::fprintf(stderr, "%s\n", line.c_str()); });

    ModuleLoader loader;
    if (!loader.load(options.module)) {
        return fail(loader.error());
    }

    // SIGINT and SIGTERM are taken by sigwait below; every thread started from here on
    // inherits the mask. A client that goes away never raises SIGPIPE.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    raiseDescriptorLimit();
    std::unique_ptr<PageServer> pages;
    HttpServer::Settings httpSettings;
    httpSettings.log = [&host](const std::string &line) { host.writeLog(PageRequest::timeStamp() + " " + line); };
    HttpServer http([&pages](const WebRequest &request) { return pages->handle(request); },
                    [&pages](const WebRequest &request) { return pages->screen(request); }, httpSettings);
    if (!http.bind(options.listenAddress, options.listenPort, &error)) {
        return fail("cannot listen on " + options.listenAddress + ":" + std::to_string(options.listenPort) + ": " +
                    error);
    }

    PageServer::Settings settings;
    settings.adminPassword = adminPassword;
    settings.remoteActions = options.remoteActions;
    settings.protectedPaths = options.protectedPaths;
    pages = std::make_unique<PageServer>(
        host, loader.entry(), HostIdentity::forThisMachine(options.listenAddress, http.port(), options.serverNames),
        downloads, settings);

    int32_t initialised = pages->initialise();
    printRegistration(loader.path(), pages->registration());
    if (initialised == static_cast<int32_t>(QEL_RESULT_REGISTRATION_REFUSED)) {
        std::fprintf(stderr, "velquor-host: warning: the module answered MUnk: a registration step was refused\n");
    } else if (initialised != 0) {
        pages->terminate();
        return fail("the module's initialisation failed with " +
                    HostText::fourCharCode(static_cast<uint32_t>(initialised)));
    }
    std::printf("velquor-host: site %s, data %s\n", site.string().c_str(), data.string().c_str());

    if (!http.start(&error)) {
        pages->terminate();
        return fail("cannot serve on " + options.listenAddress + ":" + std::to_string(http.port()) + ": " + error);
    }
    std::string authority = pages->identity().listenAuthority();
    std::printf("velquor-host: listening on http://%s/\n", authority.c_str());
    std::printf("velquor-host: open http://%s/ in a browser; administration at http://%s/_velquor/\n",
                authority.c_str(), authority.c_str());

    int received = 0;
    sigwait(&stopSignals, &received);
    std::printf("velquor-host: stopping (%s)\n", received == SIGINT ? "SIGINT" : "SIGTERM");
    // A second signal while the module finishes its work ends the host at once.
    std::thread([stopSignals]() {
        int again = 0;
        sigwait(&stopSignals, &again);
        std::fprintf(stderr, "velquor-host: stopped without waiting for the module\n");
        std::_Exit(1);
    }).detach();

    int32_t terminated = pages->terminate(kGracePeriod);
    if (terminated != 0) {
        std::fprintf(stderr, "velquor-host: warning: the module's termination answered %s\n",
                     HostText::fourCharCode(static_cast<uint32_t>(terminated)).c_str());
    }
    if (size_t left = pages->inProgress()) {
        // Their threads may still be inside the module: neither the server nor the module
        // is taken down under them.
        std::printf("velquor-host: stopped, leaving %zu requests unfinished\n", left);
        std::fflush(nullptr);
        std::_Exit(0);
    }
    http.stop();
    pages.reset();
    loader.unload();
    std::printf("velquor-host: stopped\n");
    return 0;
}
