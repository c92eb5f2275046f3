// HostOptions.h: the command line of velquor-host: site and data folders, listen address,
// module, server names, administrator password, and the usage text.
#ifndef VELQUOR_HOST_HOST_OPTIONS_H
#define VELQUOR_HOST_HOST_OPTIONS_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velquor::host {

struct HostOptions {
    std::string site;
    std::string data;
    std::string listenAddress = "127.0.0.1";
    int listenPort = 8080;
    std::string module;
    std::vector<std::string> serverNames;
    // Site folders whose pages and files follow the administration area's access rules.
    std::vector<std::string> protectedPaths;
    std::string adminPasswordFile;
    bool remoteActions = false;
    size_t threads = 16;
    bool help = false;

    // Reads the arguments after the program name. Options take their value as the next
    // argument or after "=" (--site=DIR). Nothing, with a one-line reason in *error, for an
    // unknown option, a missing value or a malformed address, port or count.
    static std::optional<HostOptions> parse(const std::vector<std::string> &arguments, const HostOptions &defaults,
                                            std::string *error);
    // Splits "ADDRESS:PORT" ("[::1]:8080" for IPv6); port 0 asks for any free port.
    static bool parseListen(const std::string &text, std::string *address, int *port);
    static std::string usage(const HostOptions &defaults);
    // The administrator password: the first line of the file without its line end (LF or
    // CR LF). False with a one-line reason in *error when the file cannot be read or that
    // line is empty.
    static bool readPasswordFile(const std::string &file, std::string *password, std::string *error);
};

} // namespace velquor::host

#endif
