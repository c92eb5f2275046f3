// OperatingSystem.cpp: the operating system's name, from the platform layer.
#include "foundation/OperatingSystem.h"

#include "platform/System.h"

const char *QELOperatingSystemName() { return platform::OperatingSystemName(); }
