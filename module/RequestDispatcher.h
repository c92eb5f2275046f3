// RequestDispatcher.h: serves one host request: runs the handler of its request code
// and hands the request's output text to the host.
#pragma once

#include <cstdint>
#include <utility>

#include "foundation/String.h"
#include "module/HostInterface.h"
#include "module/HostServices.h"
#include "module/TagTable.h"

class QELRequestDispatcher {
public:
    // 'MIni' installs the host's memory functions and registers the module and the tags
    // of the table (0, or 'MUnk' when the host refused a step); 'MTag' runs the table's
    // handler of the named tag unless its region
    // switched it off; 'MAct' runs the module's action; 'MGPr' / 'MSPr' build and store
    // the region preference page; 'MTrm' runs the table's termination handler; any other
    // code is 'MUnF'.
    // Output is written once with 'MWtS', also when the handler failed. Never throws:
    // an escaping exception is answered with 'MGen'.
    static int32_t Process(const HostContext &context, const QELTagTable &tags) noexcept;

    // Runs a handler that builds the request's output text and writes that text with
    // 'MWtS' whatever the handler's outcome: a failing handler keeps what it wrote, and
    // an exception from it becomes 'MGen'.
    template <typename Handler>
    static int32_t RunWithOutput(const QELHostServices &host, Handler handler) {
        int32_t result = 0;
        QELString output;
        try {
            result = handler(output);
        } catch (...) {
            result = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
        }
        try {
            // The output is not used again: its bytes go to the host without a copy.
            host.WriteText(std::move(output));
        } catch (...) {
            result = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
        }
        return result;
    }
};
