// Shared by the fuzz targets: the readers under test open files by name, so each
// input is written to a scratch file of this process first.  The file lives in
// the temporary directory and is reused by every input of the process.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tessaline::fuzz {

inline const std::string& scratch_file() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/tessaline-fuzz-" +
           std::to_string(::getpid()) + ".txt";
  }();
  return path;
}

// Writes the bytes to the scratch file and returns its name.
inline const std::string& as_file(const std::uint8_t* data, std::size_t size) {
  const std::string& path = scratch_file();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  return path;
}

}  // namespace tessaline::fuzz
