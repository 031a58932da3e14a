#include "platform/text_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {

namespace {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

std::unique_ptr<TextOutputStream> TextOutputStream::Create(const FolderItem& file) {
    const int fd = ::open(file.AbsolutePath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return nullptr;
    return std::unique_ptr<TextOutputStream>(new TextOutputStream(fd));
}

std::unique_ptr<TextOutputStream> TextOutputStream::Append(const FolderItem& file) {
    const int fd = ::open(file.AbsolutePath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return nullptr;
    return std::unique_ptr<TextOutputStream>(new TextOutputStream(fd));
}

TextOutputStream::~TextOutputStream() { Close(); }

bool TextOutputStream::Write(std::string_view text) { return fd_ >= 0 && writeAll(fd_, text); }

bool TextOutputStream::WriteLine(std::string_view text) {
    std::string line;
    line.reserve(text.size() + EndOfLine.size());
    line.append(text).append(EndOfLine);
    return Write(line);
}

void TextOutputStream::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::unique_ptr<TextInputStream> TextInputStream::Open(const FolderItem& file) {
    // Only regular files: reading a FIFO or a device could block or never end.
    if (!file.IsRegularFile()) return nullptr;
    const int fd = ::open(file.AbsolutePath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    return std::unique_ptr<TextInputStream>(new TextInputStream(fd));
}

TextInputStream::~TextInputStream() { Close(); }

std::string TextInputStream::ReadAll() {
    std::string content;
    char buffer[65536];
    while (fd_ >= 0) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    return content;
}

void TextInputStream::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool replaceFileAtomically(const FolderItem& target, std::string_view content) {
    const auto folder = target.Parent();
    if (!folder) return false;
    const FolderItem temporary = folder->Child("." + target.Name() + ".new");
    const int fd = ::open(temporary.AbsolutePath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = writeAll(fd, content) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temporary.AbsolutePath().c_str(), target.AbsolutePath().c_str()) != 0) {
        ::unlink(temporary.AbsolutePath().c_str());
        return false;
    }
    return true;
}

}  // namespace platform
