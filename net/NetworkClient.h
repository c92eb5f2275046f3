// NetworkClient.h: QELNetworkClient, the base of the protocol clients: a server address
// and port, and the text of the last failure.
#pragma once

#include <cstdint>

#include "foundation/IPAddress.h"
#include "foundation/String.h"

class QELNetworkClient : public QELObject {
public:
    // The server address starts as 127.0.0.1 and the port as 0.
    QELNetworkClient();
    ~QELNetworkClient() override;

    const QELIPAddress &serverAddress() const { return serverAddress_; }
    uint16_t serverPort() const { return serverPort_; }

    // Why the last operation failed or fell short; empty when it did not.
    QELString LastError() const { return lastError_; }

protected:
    void setLastError(const QELString &text) { lastError_ = text; }
    void clearLastError() { lastError_.clear(); }

    QELIPAddress serverAddress_;
    uint16_t serverPort_;

private:
    QELString lastError_;
};
