// A move-only owner of one file descriptor, shared by every part of the tree:
// the library, the host's utility libraries, the Lustre stand-in and the
// examples. Header-only, so that none of them links anything for it.
#pragma once
#include <unistd.h>

namespace common {

// Holds one descriptor (-1: none) and closes it when the owner goes, is
// reset or is moved onto.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const noexcept { return m_fd; }
    bool Valid() const noexcept { return m_fd >= 0; }
    // Gives the descriptor up without closing it.
    int Release() noexcept
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the descriptor held, if any, and holds fd instead. close() is
    // not retried: on Linux the descriptor is gone even when close reports
    // EINTR.
    void Reset(int fd = -1) noexcept
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

}  // namespace common
