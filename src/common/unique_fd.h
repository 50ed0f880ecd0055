#pragma once

#include <unistd.h>

#include <utility>

namespace z39 {

// Owns a POSIX file descriptor; closes it when it goes away. Movable, not copyable.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held and takes `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and tells whether the close succeeded (a delayed write error shows here).
    bool Close() {
        int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_;
};

}  // namespace z39
