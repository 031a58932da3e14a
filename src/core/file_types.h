#pragma once
// The file types the server knows: its catalog database file and the general types for any
// file, a disk and a folder. Built once before the application object; read-only afterwards.

#include <optional>
#include <string>

struct FileType {
    std::string Name;
    std::string Extensions;
    std::string MacType;
    std::string MacCreator;
};

namespace FileTypes {

extern std::optional<FileType> pQuorvantelDatabase;
extern std::optional<FileType> pSpecialAny;
extern std::optional<FileType> pSpecialDisk;
extern std::optional<FileType> pSpecialFolder;

void _Initialize();
void release();  // at the end of the program, in the order of declaration

}  // namespace FileTypes
