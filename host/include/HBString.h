// String utilities of the host.
#pragma once
#include <list>
#include <string>
#include <vector>

#include "KxExport.h"

class KX_API HBString {
public:
    // printf-style formatting into a new string.
    static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // Appends the pieces of text between separators. Empty pieces are kept and
    // the split is lossless: "a::b" at ":" gives "a", "", "b"; "" gives "".
    // An empty separator yields the whole text as one piece. flags: unused.
    static void Split(const std::string& text, const std::string& separator, std::vector<std::string>& pieces,
                      unsigned flags);
    static void Split(const std::string& text, const std::string& separator, std::list<std::string>& pieces,
                      unsigned flags);
    // Removes, in place, leading and trailing characters found in characters.
    static void Trim(std::string& text, const std::string& characters);
    // Removes, in place, leading characters found in characters.
    static void TrimLeft(std::string& text, const std::string& characters);
    // True when text began with prefix (case-sensitive); text then holds the rest.
    // On false, text is unchanged.
    static bool RemoveLeft(std::string& text, const std::string& prefix);
    // First occurrence of pattern in text, or null. flag true: match case
    // exactly; false: ignore ASCII case. Null text or pattern gives null.
    static const char* FindString(const char* text, const char* pattern, bool flag);
};
