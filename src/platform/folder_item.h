#pragma once
// FolderItem: a reference to a file or folder by its absolute POSIX path, with the properties
// the server reads from the file system each time it asks (nothing is cached).
// A value type; safe to copy and to use on any thread (the file system is the only shared state).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class FolderItem {
 public:
    explicit FolderItem(std::string absolutePath);

    const std::string& AbsolutePath() const { return path_; }
    std::string Name() const;         // last component; "/" for the root
    std::string DisplayName() const { return Name(); }

    bool Exists() const;              // follows symbolic links; a dangling link does not exist
    bool Directory() const;
    bool IsRegularFile() const;
    bool Alias() const;               // a symbolic link
    bool Visible() const;             // names beginning with "." are invisible
    bool Locked() const;              // the immutable attribute (chattr +i); a read-only folder is not locked

    int64_t Length() const;           // data length; 0 for a folder or a missing file
    int32_t ResourceForkLength() const;
    std::string MacType() const;      // four characters from the FinderInfo attribute, or empty
    std::string MacCreator() const;
    // Seconds since 1904-01-01 00:00 local time. Creation is the birth time where the file
    // system keeps one, else the modification time.
    int64_t CreationTotalSeconds() const;
    int64_t ModificationTotalSeconds() const;

    std::optional<FolderItem> Parent() const;   // none for the root
    FolderItem Child(std::string_view name) const;
    // The items directly in this folder, in name order, from one reading of it: a scan that
    // read the folder again for each item would cost the square of its size. Empty for a file
    // or a missing folder.
    std::vector<FolderItem> Items() const;

    bool CreateAsFolder() const;
    bool Delete() const;

    friend bool operator==(const FolderItem& a, const FolderItem& b) { return a.path_ == b.path_; }

 private:
    std::string path_;
};

// An absolute path is taken as it stands, a relative one is resolved in the application's
// folder, and the empty path names that folder. None when the path holds a NUL byte or its
// parent folder does not exist.
std::optional<FolderItem> GetFolderItem(std::string_view path);

// Seconds since 1904-01-01 00:00 local time for a POSIX time.
int64_t totalSecondsFromUnix(int64_t unixSeconds);

}  // namespace platform
