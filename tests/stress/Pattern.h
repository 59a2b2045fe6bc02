// Deterministic text for the stress commands: the emitter writes it, the
// tests compute it again and compare byte for byte. Printable letters,
// digits and blanks with a line end now and then, never a NUL.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace stress {

class Rng {
public:
    explicit Rng(uint64_t start) : m_state(start * 0x9E3779B97F4A7C15ULL + 1) {}
    uint64_t Next() {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1DULL;
    }

private:
    uint64_t m_state;
};

inline std::string Pattern(uint64_t start, size_t bytes) {
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789 ";
    Rng rng(start);
    std::string text(bytes, ' ');
    for (char& c : text) {
        const uint64_t r = rng.Next() >> 33;
        c = r % 61 == 0 ? '\n' : kAlphabet[r % (sizeof kAlphabet - 1)];
    }
    return text;
}

}  // namespace stress
