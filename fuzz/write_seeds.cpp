// Writes the fault matrix's cases as fuzz inputs, one file per case named after it, into the
// directory given: the raw material of the seed corpus (scripts/fuzz --reseed).
#include <cstdio>
#include <filesystem>

#include "fault_matrix.h"
#include "file_bytes.h"

int main(int argc, char *argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    for (const fault_matrix::Case &c : fault_matrix::cases())
        test_files::write_file(std::filesystem::path(argv[1]) / c.name, scenario::encode(c.world));
    printf("%zu seeds written\n", fault_matrix::cases().size());
    return 0;
}
