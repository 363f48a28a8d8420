// Reading and writing the files a test looks at, and the content a frame file must have. Needs
// neither GoogleTest nor anything of the platform beyond <filesystem>.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace test_files {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

inline fs::path output_dir() {
    return fs::path(USB_SERIES_OUTPUT_DIR);
}

// The lines of a text, without their line ends.
inline std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

inline std::string frame_name(int index) {
    char name[24]; // room for any int, which GCC checks when it inlines this
    snprintf(name, sizeof(name), "f%02d.bin", index);
    return name;
}

// The whole file in one read (runs check every frame file they wrote); empty when unreadable.
inline Bytes read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    if (size <= 0)
        return {};
    Bytes bytes(static_cast<size_t>(size));
    in.seekg(0);
    in.read(reinterpret_cast<char *>(bytes.data()), size);
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

inline void write_file(const fs::path &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Names of everything in `dir`.
inline std::set<std::string> entries(const fs::path &dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec))
        names.insert(entry.path().filename().string());
    return names;
}

// The expected content of a frame file: the kept bytes of the read, then zeros to 38,456.
inline Bytes frame_file(const uint8_t *received, size_t length) {
    const size_t file_size = 38456;
    size_t kept = length < file_size ? length : file_size;
    Bytes bytes(received, received + kept);
    bytes.resize(file_size, 0);
    return bytes;
}

} // namespace test_files
