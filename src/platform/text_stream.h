#pragma once
// Text files opened, used and closed within one operation: an output stream that creates,
// truncates or appends, an input stream that reads the whole file, and a whole-file
// replacement that never leaves a half-written file behind.
// A stream belongs to the thread that opened it.

#include "platform/folder_item.h"

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
    bool WriteLine(std::string_view text);  // the text and EndOfLine in one write
    void Close();

 private:
    explicit TextOutputStream(int fd) : fd_(fd) {}
    int fd_;
};

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
