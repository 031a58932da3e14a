#pragma once
// The dispatcher: one data arrival is one request. Pings and database list requests are
// answered at once, searches and browses are logged and queued for the worker, anything else
// gets the no-result answer. Main thread only.

#include "platform/tcp_socket.h"

#include <string_view>

void dispatchRequest(std::string_view request, platform::TCPSocket& connection);
