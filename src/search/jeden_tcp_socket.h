#pragma once
// jedenTCPsocket: one client connection. It keeps nothing from one data arrival to the next.
// Main thread only.

#include "platform/tcp_socket.h"

class jedenTCPsocket final : public platform::TCPSocket {
 protected:
    void Event_DataAvailable() override;
    void Event_Error() override {}
    void Event_InputHeld() override;  // held for the queue: read again once it has room
};
