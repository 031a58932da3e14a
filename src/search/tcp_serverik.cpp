#include "search/tcp_serverik.h"

#include "platform/message_box.h"
#include "platform/numbers.h"
#include "search/jeden_tcp_socket.h"

std::unique_ptr<platform::TCPSocket> TCPserverik::Event_AddSocket() { return std::make_unique<jedenTCPsocket>(); }

void TCPserverik::Event_Error(int32_t code) { platform::MsgBox(platform::Str(code)); }
