#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/file_util.h"

// A private scratch file for targets whose reader takes a path.
inline const std::string& ScratchPath(const char* name) {
    static const std::string path = [name] {
        std::string p = "/tmp/z39fuzz-" + std::to_string(::getpid()) + "-" + name;
        return p;
    }();
    return path;
}

inline std::string AsText(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            abort();                                                                      \
        }                                                                                 \
    } while (0)
