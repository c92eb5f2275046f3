// ServiceTable.cpp: dispatch of a service call to its handler; every call, known or not,
// leaves one record with its answer.
#include "host/lib/ServiceTable.h"

#include "module/HostInterface.h"

namespace velquor::host {

ServiceTable::ServiceTable(ServiceCall::Channel channel,
                           std::initializer_list<std::pair<const uint32_t, Handler>> handlers)
    : channel_(channel), handlers_(handlers) {}

int32_t ServiceTable::serve(HostRequest &request, uint32_t selector, const Arguments &raw) const {
    CallDecoder call(request, channel_, selector);
    auto found = handlers_.find(selector);
    if (found == handlers_.end()) {
        call.note("unknown selector");
        return call.finish(static_cast<int32_t>(QEL_RESULT_UNKNOWN_REQUEST));
    }
    return call.finish(found->second(call, request, raw));
}

} // namespace velquor::host
