// NetworkClient.cpp: construction of the protocol-client base.
#include "net/NetworkClient.h"

QELNetworkClient::QELNetworkClient() : serverAddress_(0x7F000001u), serverPort_(0) {}

QELNetworkClient::~QELNetworkClient() = default;
