#pragma once

#include <stdexcept>
#include <string>

namespace z39 {

// The one exception type of the program: a failure the user must be told about
// (a file we write could not be written, the external client could not be run).
// what() holds the user's text in GBK; the application shows it in a message box.
class Z39Error : public std::runtime_error {
  public:
    explicit Z39Error(const std::string& gbkText) : std::runtime_error(gbkText) {}
};

}  // namespace z39
