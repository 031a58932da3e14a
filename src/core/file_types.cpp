#include "core/file_types.h"

namespace FileTypes {

std::optional<FileType> pQuorvantelDatabase;
std::optional<FileType> pSpecialAny;
std::optional<FileType> pSpecialDisk;
std::optional<FileType> pSpecialFolder;

void _Initialize() {
    pQuorvantelDatabase = FileType{"Quorvantel database", ".vxo", "BINA", "Vaxo"};
    pSpecialAny = FileType{"special/any", "", "????", "????"};
    pSpecialDisk = FileType{"special/disk", "", "disk", "MACS"};
    pSpecialFolder = FileType{"special/folder", "", "fold", "MACS"};
}

void release() {
    pQuorvantelDatabase.reset();
    pSpecialAny.reset();
    pSpecialDisk.reset();
    pSpecialFolder.reset();
}

}  // namespace FileTypes
