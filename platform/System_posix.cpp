// System_posix.cpp: the operating system's name from uname.
#include "platform/System.h"

#include <sys/utsname.h>

#include <cstddef>

namespace platform {

const char *OperatingSystemName() {
    // The name never changes while the process runs; read it once.
    static const struct Name {
        char text[sizeof(utsname::sysname)] = {};
        Name() {
            utsname info{};
            if (uname(&info) == 0) {
                for (size_t i = 0; i + 1 < sizeof(text) && info.sysname[i] != 0; ++i)
                    text[i] = info.sysname[i];
            }
        }
    } name;
    return name.text;
}

}  // namespace platform
