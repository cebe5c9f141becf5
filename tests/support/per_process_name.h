// File names private to one test process: ctest may run the cases of one
// binary as parallel processes in the same working folder.
#pragma once

#include <unistd.h>

#include <string>

inline std::string per_process_name(const std::string &base, const std::string &ext) {
    return base + "_" + std::to_string(static_cast<long>(getpid())) + ext;
}
