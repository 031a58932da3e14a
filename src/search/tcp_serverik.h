#pragma once
// TCPserverik: the server's listening socket. It makes a jedenTCPsocket for every client and
// reports a listening error in a message box with the error code. Main thread only.

#include "platform/server_socket.h"

class TCPserverik final : public platform::ServerSocket {
 protected:
    std::unique_ptr<platform::TCPSocket> Event_AddSocket() override;
    void Event_Error(int32_t code) override;
};
