#pragma once
// The engine's file layer for every database the server opens: SQLite's default one, except that
// each file it opens for a database (the database, its journal, its WAL and its shared-memory
// file) is checked on the descriptor just opened, so that a FIFO, a device or a folder is refused
// at once rather than waited on, also when the path changes between any earlier look and the open.
// The shared-memory file, which the server maps, must also be the server's own and writable by
// no one else, and a file the server creates is never handed to another user or made writable by
// others. The folder the engine opens to sync a file's entry must be a folder.
// Thread-safe once registered; the first call registers, and changes the default layer's calls for
// the whole process: make it before any other thread uses the engine.

namespace platform {

// The name to hand sqlite3_open_v2 as its VFS; nullptr when the default file layer cannot be
// watched this way (the connection then uses the default one, with only the caller's own checks).
const char* regularFileVfsName();

}  // namespace platform
