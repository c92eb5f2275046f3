// Entry.cpp: the module's only export, the C entry point the host calls for every
// request; it puts the module together: the dispatcher with the tags' table.
#include "module/HostInterface.h"
#include "module/RequestDispatcher.h"
#include "tags/ModuleTags.h"

extern "C" __attribute__((visibility("default"))) int32_t ProcessQELRequest(HostContext *context) {
    if (context == nullptr)
        return static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
    return QELRequestDispatcher::Process(*context, ModuleTags());
}
