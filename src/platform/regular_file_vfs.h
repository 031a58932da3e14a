#pragma once
// The engine's file layer for every database the server opens: SQLite's default one, except that
// each file it opens for a database (the database, its journal, its WAL and its shared-memory
// file) is checked on the descriptor just opened, so that a FIFO, a device or a folder is refused
// at once rather than waited on, also when the path changes between any earlier look and the open.
// Thread-safe: registered once, on the first call, and usable from any thread after that.

namespace platform {

// The name to hand sqlite3_open_v2 as its VFS; nullptr when the default file layer cannot be
// watched this way (the connection then uses the default one, with only the caller's own checks).
const char* regularFileVfsName();

}  // namespace platform
