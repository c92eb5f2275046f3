// ServiceTable.h: the services of one host callback as a table from selector to handler,
// and the one way every call goes through it: decode, refuse, act, record.
#ifndef VELQUOR_HOST_SERVICE_TABLE_H
#define VELQUOR_HOST_SERVICE_TABLE_H

#include "host/lib/CallDecoder.h"
#include "host/lib/ServiceCall.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <unordered_map>
#include <utility>

namespace velquor::host {

class HostRequest;

class ServiceTable {
public:
    // A call's raw arguments as the callback received them (a6: database services only).
    struct Arguments {
        void *a1 = nullptr;
        void *a2 = nullptr;
        void *a3 = nullptr;
        void *a4 = nullptr;
        void *a5 = nullptr;
        void *a6 = nullptr;
    };
    // Decodes the arguments with the call, asks it whether the call is refused, acts and
    // answers the code; a broken convention answers call.violation(...) or 'MIPV'.
    using Handler = std::function<int32_t(CallDecoder &call, HostRequest &request, const Arguments &raw)>;

    ServiceTable(ServiceCall::Channel channel, std::initializer_list<std::pair<const uint32_t, Handler>> handlers);

    // Serves one call with the handler of its selector and records it; a selector not in
    // the table answers 'MUnF'.
    int32_t serve(HostRequest &request, uint32_t selector, const Arguments &raw) const;

private:
    ServiceCall::Channel channel_;
    std::unordered_map<uint32_t, Handler> handlers_;
};

} // namespace velquor::host

#endif
