#pragma once
// Text files opened, used and closed within one operation: an output stream that creates,
// truncates or appends, an input stream that reads the whole file, and a whole-file
// replacement that never leaves a half-written file behind.
// A stream belongs to the thread that opened it.

#include "platform/folder_item.h"

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::string_view EndOfLine = "\n";

class TextOutputStream {
 public:
    // None when the file cannot be created (or, for Append, opened or created).
    static std::unique_ptr<TextOutputStream> Create(const FolderItem& file);
    static std::unique_ptr<TextOutputStream> Append(const FolderItem& file);

    ~TextOutputStream();
    TextOutputStream(const TextOutputStream&) = delete;
    TextOutputStream& operator=(const TextOutputStream&) = delete;

    bool Write(std::string_view text);
    // The text and EndOfLine in one write, whole or not at all: when the file takes only part of
    // it (a full disk), the file is cut back to where the line began, so that whatever is written
    // next begins a line of its own. False when the line is not in the file.
    bool WriteLine(std::string_view text);
    // The last WriteLine failed and part of its line stayed in the file, which could not be cut
    // back: what is written next should begin with a line end.
    bool LeftPartOfALine() const { return leftPartOfALine_; }
    // The file, as it is now, ends in the middle of a line: left so by a run that ended while it
    // wrote, say. False where the stream cannot read its file.
    bool EndsInPartOfALine() const;
    void Close();

 private:
    explicit TextOutputStream(int fd) : fd_(fd) {}
    int fd_;
    bool leftPartOfALine_ = false;
};

// For tests: the write and ftruncate calls under the output streams, replaced (nullptr for the
// system's own), so that a full disk or a file that cannot be cut back can be made at will. Set
// while no stream writes.
using WriteCall = ssize_t (*)(int fd, const void* bytes, size_t count);
using TruncateCall = int (*)(int fd, off_t length);
void setFileWriteCallsForTests(WriteCall write, TruncateCall truncate);

class TextInputStream {
 public:
    // None when the file cannot be opened for reading (missing, unreadable, not a regular file).
    static std::unique_ptr<TextInputStream> Open(const FolderItem& file);

    ~TextInputStream();
    TextInputStream(const TextInputStream&) = delete;
    TextInputStream& operator=(const TextInputStream&) = delete;

    std::string ReadAll();
    void Close();

 private:
    explicit TextInputStream(int fd) : fd_(fd) {}
    int fd_;
};

// Writes content to a new file beside target and renames it over target, so that a failure
// at any point leaves the old file whole. False when nothing could be written.
bool replaceFileAtomically(const FolderItem& target, std::string_view content);

}  // namespace platform
