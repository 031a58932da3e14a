#include "search/jeden_tcp_socket.h"

void jedenTCPsocket::Event_DataAvailable() {
    // Requests are not served yet: what arrives is read and dropped, so that nothing piles up.
    ReadAll();
}
