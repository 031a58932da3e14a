#include "search/jeden_tcp_socket.h"

#include "search/request_dispatch.h"
#include "search/searchmaster.h"

void jedenTCPsocket::Event_DataAvailable() { dispatchRequest(ReadAll(), *this); }

void jedenTCPsocket::Event_InputHeld() { searchmaster::releaseHeldConnections(); }
