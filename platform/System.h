// System.h: facts about the operating system the module runs on.
#pragma once

namespace platform {

// The kernel's own name ("Linux", "Darwin", ...); "" when the system does not say.
const char *OperatingSystemName();

}  // namespace platform
