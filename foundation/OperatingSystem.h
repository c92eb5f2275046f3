// OperatingSystem.h: what the module may know of the operating system it runs on, for
// the classes above the platform layer.
#pragma once

// The kernel's own name ("Linux", "Darwin", ...); "" when the system does not say.
const char *QELOperatingSystemName();
