#include "platform/regular_file_vfs.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <type_traits>

namespace platform {

namespace {

constexpr char kVfsName[] = "quorvantel-regular-files";

// SQLite's default file layer opens every file by path itself, so the check cannot come before
// its open without leaving a gap. Its open call is replaced instead (a process-wide setting of
// that layer): outside this file layer's own calls the replacement only passes the call on. So
// are its calls that hand a file to another user or change its mode. The default calls are kept
// atomically, since a thread of the engine may reach a replacement as soon as it is in place.
using OpenCall = int (*)(const char*, int, int);
using ChownCall = int (*)(int, uid_t, gid_t);
using ChmodCall = int (*)(int, mode_t);
std::atomic<OpenCall> defaultOpen {nullptr};
std::atomic<ChownCall> defaultFchown {nullptr};
std::atomic<ChmodCall> defaultFchmod {nullptr};

// What an open within this layer's own calls is for.
enum class Opening {
    None,          // not within this layer: passed on
    File,          // a database, its journal or its WAL: a regular file
    SharedMemory,  // mapped, so also ours alone: whoever may truncate it can kill the server
    Folder,        // the folder of a file just synced or deleted, opened to sync the folder too
};
thread_local Opening opening = Opening::None;

class OpeningScope {
 public:
    explicit OpeningScope(Opening kind) : previous_(opening) { opening = kind; }
    ~OpeningScope() { opening = previous_; }
    OpeningScope(const OpeningScope&) = delete;
    OpeningScope& operator=(const OpeningScope&) = delete;

 private:
    const Opening previous_;
};

// The error for a descriptor that is not what the opening is for; 0 when it is.
int refusalOf(const struct stat& info) {
    if (opening == Opening::Folder) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (!S_ISREG(info.st_mode)) return S_ISDIR(info.st_mode) ? EISDIR : ENXIO;
    if (opening == Opening::SharedMemory && (info.st_uid != ::geteuid() || (info.st_mode & 022) != 0)) return EACCES;
    return 0;
}

// Opening a FIFO waits for its other end and a device may never answer: with O_NONBLOCK neither
// waits, and the descriptor says what was opened.
int openChecked(const char* path, int flags, int mode) {
    const OpenCall open = defaultOpen.load(std::memory_order_acquire);
    // The engine parks /dev/null on a descriptor below 3 so that no database lands there: only that
    // open asks for nothing but reading; each open of a file of a database also asks for O_CLOEXEC.
    if (opening == Opening::None || (flags == O_RDONLY && std::strcmp(path, "/dev/null") == 0))
        return open(path, flags, mode);
    if (opening == Opening::Folder) flags |= O_DIRECTORY;
    if (opening == Opening::SharedMemory) mode &= ~022;
    const int fd = open(path, flags | O_NONBLOCK, mode);
    if (fd < 0) return fd;
    struct stat info {};
    const int refusal = ::fstat(fd, &info) != 0 ? errno : refusalOf(info);
    if (refusal != 0) {
        ::close(fd);
        errno = refusal;
        return -1;
    }
    if ((flags & O_NONBLOCK) == 0) {
        const int status = ::fcntl(fd, F_GETFL);
        if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
            const int failure = errno;
            ::close(fd);
            errno = failure;
            return -1;
        }
    }
    return fd;
}

// Run as root, the engine hands a file it creates to the database's owner; within this layer a
// file the server creates stays the server's.
int fchownChecked(int fd, uid_t owner, gid_t group) {
    if (opening != Opening::None) return 0;
    return defaultFchown.load(std::memory_order_acquire)(fd, owner, group);
}

// The engine gives a file it creates the database's mode; within this layer never write access
// for group or others.
int fchmodChecked(int fd, mode_t mode) {
    if (opening != Opening::None) mode &= ~mode_t{022};
    return defaultFchmod.load(std::memory_order_acquire)(fd, mode);
}

sqlite3_vfs* baseOf(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

// A file of the default layer, behind methods that pass every call on; the default layer's own
// file follows this one in the engine's allocation.
struct CheckedFile {
    sqlite3_file file;  // first, as the engine requires
    sqlite3_io_methods methods;
    sqlite3_file* real;
};

sqlite3_file* realOf(sqlite3_file* file) { return reinterpret_cast<CheckedFile*>(file)->real; }
const sqlite3_io_methods& realMethods(sqlite3_file* file) { return *realOf(file)->pMethods; }

int fileClose(sqlite3_file* f) { return realMethods(f).xClose(realOf(f)); }
int fileRead(sqlite3_file* f, void* out, int amount, sqlite3_int64 offset) {
    return realMethods(f).xRead(realOf(f), out, amount, offset);
}
int fileWrite(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
    return realMethods(f).xWrite(realOf(f), data, amount, offset);
}
int fileTruncate(sqlite3_file* f, sqlite3_int64 size) { return realMethods(f).xTruncate(realOf(f), size); }
// A file created with a journal's or WAL's flags is synced with its folder the first time.
int fileSync(sqlite3_file* f, int flags) {
    const OpeningScope folder(Opening::Folder);
    return realMethods(f).xSync(realOf(f), flags);
}
int fileSize(sqlite3_file* f, sqlite3_int64* size) { return realMethods(f).xFileSize(realOf(f), size); }
int fileLock(sqlite3_file* f, int level) { return realMethods(f).xLock(realOf(f), level); }
int fileUnlock(sqlite3_file* f, int level) { return realMethods(f).xUnlock(realOf(f), level); }
int fileCheckReservedLock(sqlite3_file* f, int* out) { return realMethods(f).xCheckReservedLock(realOf(f), out); }
int fileControl(sqlite3_file* f, int op, void* arg) { return realMethods(f).xFileControl(realOf(f), op, arg); }
int fileSectorSize(sqlite3_file* f) { return realMethods(f).xSectorSize(realOf(f)); }
int fileDeviceCharacteristics(sqlite3_file* f) { return realMethods(f).xDeviceCharacteristics(realOf(f)); }
// The shared-memory file is opened on the first mapping, not with the database.
int fileShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    const OpeningScope sharedMemory(Opening::SharedMemory);
    return realMethods(f).xShmMap(realOf(f), region, size, extend, out);
}
int fileShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return realMethods(f).xShmLock(realOf(f), offset, n, flags);
}
void fileShmBarrier(sqlite3_file* f) { realMethods(f).xShmBarrier(realOf(f)); }
int fileShmUnmap(sqlite3_file* f, int deleteFlag) { return realMethods(f).xShmUnmap(realOf(f), deleteFlag); }
int fileFetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    return realMethods(f).xFetch(realOf(f), offset, amount, out);
}
int fileUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
    return realMethods(f).xUnfetch(realOf(f), offset, page);
}

// The same methods as the default layer's file, version and all, so that the engine sees the same
// abilities (shared memory, mapping) as without this layer.
sqlite3_io_methods passingMethods(const sqlite3_io_methods& real) {
    sqlite3_io_methods m {};
    m.iVersion = real.iVersion;
    m.xClose = fileClose;
    m.xRead = fileRead;
    m.xWrite = fileWrite;
    m.xTruncate = fileTruncate;
    m.xSync = fileSync;
    m.xFileSize = fileSize;
    m.xLock = fileLock;
    m.xUnlock = fileUnlock;
    m.xCheckReservedLock = fileCheckReservedLock;
    m.xFileControl = fileControl;
    m.xSectorSize = fileSectorSize;
    m.xDeviceCharacteristics = fileDeviceCharacteristics;
    if (real.iVersion >= 2) {
        m.xShmMap = real.xShmMap ? fileShmMap : nullptr;
        m.xShmLock = real.xShmLock ? fileShmLock : nullptr;
        m.xShmBarrier = real.xShmBarrier ? fileShmBarrier : nullptr;
        m.xShmUnmap = real.xShmUnmap ? fileShmUnmap : nullptr;
    }
    if (real.iVersion >= 3) {
        m.xFetch = real.xFetch ? fileFetch : nullptr;
        m.xUnfetch = real.xUnfetch ? fileUnfetch : nullptr;
    }
    return m;
}

int vfsOpen(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    auto* checked = reinterpret_cast<CheckedFile*>(file);
    checked->real = reinterpret_cast<sqlite3_file*>(checked + 1);
    checked->real->pMethods = nullptr;
    int rc;
    {
        // A temporary file (no name) is the engine's own, and choosing its name may read the
        // system's random device, which must not be refused.
        std::optional<OpeningScope> scope;
        if (name) scope.emplace(Opening::File);
        rc = baseOf(vfs)->xOpen(baseOf(vfs), name, checked->real, flags, outFlags);
    }
    // The engine closes a file whose methods are set, also after a failed open.
    if (!checked->real->pMethods) {
        file->pMethods = nullptr;
        return rc;
    }
    checked->methods = passingMethods(*checked->real->pMethods);
    file->pMethods = &checked->methods;
    return rc;
}

int vfsDelete(sqlite3_vfs* vfs, const char* name, int syncDir) {
    const OpeningScope folder(Opening::Folder);
    return baseOf(vfs)->xDelete(baseOf(vfs), name, syncDir);
}
int vfsAccess(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
    return baseOf(vfs)->xAccess(baseOf(vfs), name, flags, out);
}
int vfsFullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
    return baseOf(vfs)->xFullPathname(baseOf(vfs), name, size, out);
}
void* vfsDlOpen(sqlite3_vfs* vfs, const char* name) { return baseOf(vfs)->xDlOpen(baseOf(vfs), name); }
void vfsDlError(sqlite3_vfs* vfs, int size, char* out) { baseOf(vfs)->xDlError(baseOf(vfs), size, out); }
void (*vfsDlSym(sqlite3_vfs* vfs, void* library, const char* symbol))(void) {
    return baseOf(vfs)->xDlSym(baseOf(vfs), library, symbol);
}
void vfsDlClose(sqlite3_vfs* vfs, void* library) { baseOf(vfs)->xDlClose(baseOf(vfs), library); }
int vfsRandomness(sqlite3_vfs* vfs, int size, char* out) { return baseOf(vfs)->xRandomness(baseOf(vfs), size, out); }
int vfsSleep(sqlite3_vfs* vfs, int microseconds) { return baseOf(vfs)->xSleep(baseOf(vfs), microseconds); }
int vfsCurrentTime(sqlite3_vfs* vfs, double* out) { return baseOf(vfs)->xCurrentTime(baseOf(vfs), out); }
int vfsGetLastError(sqlite3_vfs* vfs, int size, char* out) {
    return baseOf(vfs)->xGetLastError ? baseOf(vfs)->xGetLastError(baseOf(vfs), size, out) : 0;
}
int vfsCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
    return baseOf(vfs)->xCurrentTimeInt64(baseOf(vfs), out);
}

const char* registerVfs() {
    if (sqlite3_initialize() != SQLITE_OK) return nullptr;
    sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
    if (!base || base->iVersion < 3 || !base->xGetSystemCall || !base->xSetSystemCall || !base->xCurrentTimeInt64)
        return nullptr;
    const auto replace = [base](const char* call, auto& original, auto replacement) {
        using Call = typename std::remove_reference_t<decltype(original)>::value_type;
        const auto found = reinterpret_cast<Call>(base->xGetSystemCall(base, call));
        if (!found) return false;
        original.store(found, std::memory_order_release);
        return base->xSetSystemCall(base, call, reinterpret_cast<sqlite3_syscall_ptr>(replacement)) == SQLITE_OK;
    };
    // The mode and the owner first: a file opened by the new open call is never handed away.
    if (!replace("fchmod", defaultFchmod, fchmodChecked) || !replace("fchown", defaultFchown, fchownChecked) ||
        !replace("open", defaultOpen, openChecked))
        return nullptr;

    static sqlite3_vfs vfs {};
    // Version 2: the calls that replace the default layer's system calls stay with that layer.
    vfs.iVersion = 2;
    vfs.szOsFile = static_cast<int>(sizeof(CheckedFile)) + base->szOsFile;
    vfs.mxPathname = base->mxPathname;
    vfs.zName = kVfsName;
    vfs.pAppData = base;
    vfs.xOpen = vfsOpen;
    vfs.xDelete = vfsDelete;
    vfs.xAccess = vfsAccess;
    vfs.xFullPathname = vfsFullPathname;
    vfs.xDlOpen = vfsDlOpen;
    vfs.xDlError = vfsDlError;
    vfs.xDlSym = vfsDlSym;
    vfs.xDlClose = vfsDlClose;
    vfs.xRandomness = vfsRandomness;
    vfs.xSleep = vfsSleep;
    vfs.xCurrentTime = vfsCurrentTime;
    vfs.xGetLastError = vfsGetLastError;
    vfs.xCurrentTimeInt64 = vfsCurrentTimeInt64;
    return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? kVfsName : nullptr;
}

}  // namespace

const char* regularFileVfsName() {
    static const char* const name = registerVfs();
    return name;
}

}  // namespace platform
