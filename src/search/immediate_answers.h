#pragma once
// The answers written at once, without the search worker: the pong answer, the database list
// answer and the no-result answer. Builders are pure; connakcie runs on the main thread.

#include "platform/folder_item.h"
#include "platform/tcp_socket.h"

#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kXmlDeclaration = R"(<?xml version="1.0" encoding="UTF-8" standalone="no" ?>)";
inline constexpr std::string_view kSpotlightSuffix = "***::::***+spotlight";

struct ServerIdentity {
    std::string address;  // the server's own address on the connection
    std::string status;   // the status text
    std::string system;   // the system description, with the Spotlight suffix when switched on
};

std::string pongAnswer(const ServerIdentity& identity);
std::string databaseListAnswer(const ServerIdentity& identity, const std::vector<platform::FolderItem>& databases);
std::string noResultAnswer();

namespace gfs {
// Builds the answer for a ping, a database list request or anything else (the empty command),
// and writes it on the socket in one piece.
void connakcie(std::string_view command, platform::TCPSocket& socket);
}  // namespace gfs
