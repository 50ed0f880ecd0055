#pragma once

// The release these programs belong to, as --version prints it.
#ifndef Z39_VERSION
#define Z39_VERSION "unknown"
#endif

namespace z39 {
inline constexpr const char* kVersion = Z39_VERSION;
}  // namespace z39
