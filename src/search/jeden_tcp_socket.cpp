#include "search/jeden_tcp_socket.h"

#include "search/request_dispatch.h"

void jedenTCPsocket::Event_DataAvailable() { dispatchRequest(ReadAll(), *this); }
