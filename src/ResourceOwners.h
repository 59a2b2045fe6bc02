// Owners for the two short-lived resources of an HSM request: the file
// descriptor it reads the FID through and the request block that
// liblustreapi allocates with malloc.
#pragma once
#include <unistd.h>

#include <cstdlib>

namespace LustreAPI {

// Releases a block that came from malloc inside liblustreapi.
struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};

// A move-only file descriptor, closed when the owner goes or is reset.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_fd = other.Release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }
    int Release() noexcept
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes now. close() is not retried: on Linux the descriptor is gone
    // even when close reports EINTR.
    void Reset() noexcept
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

}  // namespace LustreAPI
