// stress_emitter OUT_BYTES ERR_BYTES START
// Writes Pattern(START, OUT_BYTES) to standard output and
// Pattern(START + 1, ERR_BYTES) to standard error, alternating between the two
// in chunks of varying size, so that a reader must drain both streams at
// once. Exits 0, or 2 on bad arguments or a failed write.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "Pattern.h"

namespace {

bool Number(const char* text, unsigned long long& value) {
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && ptr == end;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long outBytes = 0, errBytes = 0, start = 0;
    if (argc != 4 || !Number(argv[1], outBytes) || !Number(argv[2], errBytes) || !Number(argv[3], start)) return 2;
    const std::string out = stress::Pattern(start, outBytes);
    const std::string err = stress::Pattern(start + 1, errBytes);
    stress::Rng rng(start + 2);
    size_t outDone = 0, errDone = 0;
    while (outDone < out.size() || errDone < err.size()) {
        const size_t chunk = 1 + rng.Next() % 65536;
        if (outDone < out.size()) {
            const size_t n = std::min(chunk, out.size() - outDone);
            if (!WriteAll(1, out.data() + outDone, n)) return 2;
            outDone += n;
        }
        if (errDone < err.size()) {
            const size_t n = std::min(chunk, err.size() - errDone);
            if (!WriteAll(2, err.data() + errDone, n)) return 2;
            errDone += n;
        }
    }
    return 0;
}
