// make_catalogs OUTDIR: makes the benchmark's catalog files in OUTDIR, keeping those already there.
#include "catalog_generator.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    std::error_code error;
    std::filesystem::create_directories(argv[1], error);
    if (error) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.message().c_str());
        return 1;
    }
    return bench::makeBenchCatalogs(std::filesystem::absolute(argv[1]).string()) ? 0 : 1;
}
