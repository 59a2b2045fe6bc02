// Readers of the text that lctl prints for the changelog operations.
#include "ChangelogListing.h"

#include <charconv>
#include <cstdint>
#include <vector>

#include "HBString.h"

namespace LustreAPI {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Skips one or more digits from pos; false when there is none.
bool SkipDigits(const std::string& text, std::size_t& pos)
{
    const std::size_t start = pos;
    while (pos < text.size() && IsDigit(text[pos])) ++pos;
    return pos > start;
}

// "12 (37)" or "12 (37) mask=...": the reader columns of Lustre 2.11 and
// later. Gives the length of the leading record number, 0 for other shapes.
std::size_t RecordNumberLengthOfIdleShape(const std::string& value)
{
    std::size_t pos = 0;
    if (!SkipDigits(value, pos)) return 0;
    const std::size_t numberLength = pos;
    if (pos >= value.size() || value[pos] != ' ') return 0;
    ++pos;
    if (pos >= value.size() || value[pos] != '(') return 0;
    ++pos;
    if (!SkipDigits(value, pos)) return 0;
    if (pos >= value.size() || value[pos] != ')') return 0;
    ++pos;
    if (pos == value.size()) return numberLength;
    if (value.compare(pos, 6, " mask=") == 0) return numberLength;
    return 0;
}

// Whether word stands in line as a whole field between blanks or tabs.
bool HoldsWord(const std::string& line, const std::string& word)
{
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        const std::size_t start = pos;
        while (pos < line.size() && !IsBlank(line[pos])) ++pos;
        if (pos > start && line.compare(start, pos - start, word) == 0) return true;
    }
    return false;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The pieces of line between blanks, tabs and carriage returns.
std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && IsSpace(line[pos])) ++pos;
        const std::size_t start = pos;
        while (pos < line.size() && !IsSpace(line[pos])) ++pos;
        if (pos > start) fields.push_back(line.substr(start, pos - start));
    }
    return fields;
}

// A whole field of decimal digits as a number.
template <typename T>
bool WholeNumber(const std::string& text, T& number)
{
    if (text.empty() || !IsDigit(text[0])) return false;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, number);
    return ec == std::errc() && end == last;
}

}  // namespace

ListingLine ReadListedReader(const std::string& line, ListedReader& reader)
{
    const std::vector<std::string> fields = Fields(line);
    if (fields.empty()) return ListingLine::None;
    if (fields[0] == "ID" && fields.size() >= 2 && fields[1] == "index") return ListingLine::None;
    const std::string& first = fields[0];
    static const std::string kNameEnd = ".changelog_users=";
    if (fields.size() == 1 && first.compare(0, 4, "mdd.") == 0 && first.size() > kNameEnd.size() &&
        first.compare(first.size() - kNameEnd.size(), kNameEnd.size(), kNameEnd) == 0)
        return ListingLine::None;

    ListedReader read;
    read.id = first;
    if (fields.size() < 2 || !WholeNumber(fields[1], read.index)) return ListingLine::ParseError;
    std::size_t next = 2;
    if (next < fields.size() && fields[next].size() > 2 && fields[next].front() == '(' && fields[next].back() == ')') {
        const std::string idle = fields[next].substr(1, fields[next].size() - 2);
        if (!WholeNumber(idle, read.idleSeconds)) return ListingLine::ParseError;
        ++next;
    }
    if (next < fields.size() && fields[next].compare(0, 5, "mask=") == 0) {
        read.mask = fields[next].substr(5);
        ++next;
    }
    if (next != fields.size()) return ListingLine::ParseError;
    reader = std::move(read);
    return ListingLine::Value;
}

bool ReadIndexNumber(const std::string& value, unsigned long long& number)
{
    std::string text = value;
    while (!text.empty() && IsSpace(text.back())) text.pop_back();
    return WholeNumber(text, number);
}

ListingLine ReadCurrentIndexLine(const std::string& line, std::string& value)
{
    const char* prefix = nullptr;
    if (HBString::FindString(line.c_str(), "current index:", true))
        prefix = "current index: ";
    else if (HBString::FindString(line.c_str(), "current_index:", true))
        prefix = "current_index: ";
    else
        return ListingLine::None;

    // Each way on its own copy: what a failed RemoveLeft leaves is not relied on.
    std::string copy = line;
    if (HBString::RemoveLeft(copy, prefix)) {
        value = copy;
        return ListingLine::Value;
    }
    std::vector<std::string> pieces;
    HBString::Split(line, "=", pieces, 0);
    if (pieces.size() < 2 || !HBString::RemoveLeft(pieces[1], prefix)) return ListingLine::ParseError;
    value = pieces[1];
    return ListingLine::Value;
}

ListingLine ReadReaderLine(const std::string& line, const std::string& changelogUser, std::string& value)
{
    if (changelogUser.empty() || !HBString::FindString(line.c_str(), changelogUser.c_str(), true))
        return ListingLine::None;
    std::string copy = line;
    if (HBString::RemoveLeft(copy, changelogUser) && (copy.empty() || IsBlank(copy[0]))) {
        HBString::Trim(copy, " ");
        const std::size_t numberLength = RecordNumberLengthOfIdleShape(copy);
        if (numberLength > 0) copy.resize(numberLength);
        value = copy;
        return ListingLine::Value;
    }
    // Another reader whose identifier merely begins with this one (cl1 in cl10,
    // cl1-name) or contains it is none of ours; the identifier as a word of its
    // own away from the start is a listing we cannot place.
    return HoldsWord(line, changelogUser) ? ListingLine::ParseError : ListingLine::None;
}

ListingLine ReadMdcLine(const std::string& line, const std::string& fsName, std::string& mdtName, std::string& value)
{
    std::vector<std::string> nameAndValue;
    HBString::Split(line, "=", nameAndValue, 0);
    if (nameAndValue.size() < 2) return ListingLine::None;

    std::vector<std::string> nameParts;
    HBString::Split(nameAndValue[0], ".", nameParts, 0);
    if (nameParts.size() < 2) return ListingLine::None;

    // The device is "<fs>-<MDT>-mdc-<instance>"; fsName may hold dashes itself,
    // so the MDT's part is the piece that follows fsName and its dash.
    std::string device = nameParts[1];
    if (fsName.empty() || !HBString::RemoveLeft(device, fsName + "-")) return ListingLine::None;
    std::vector<std::string> deviceParts;
    HBString::Split(device, "-", deviceParts, 0);
    // "<MDT>-mdc-<instance>": with the "mdc" piece in second place, the devices
    // of a file system "<fsName>-x" are not taken for an MDT "x" of fsName.
    if (deviceParts.size() < 2 || deviceParts[0].empty() || deviceParts[1] != "mdc") return ListingLine::None;

    mdtName = HBString::Format("%s-%s", fsName.c_str(), deviceParts[0].c_str());
    value = nameAndValue[1];
    return ListingLine::Value;
}

std::string ServerOfValue(const std::string& value)
{
    std::vector<std::string> pieces;
    HBString::Split(value, "@", pieces, 0);
    return pieces.empty() ? std::string() : pieces[0];
}

std::string ChangelogUserNumber(const std::string& changelogUser)
{
    if (changelogUser.compare(0, 2, "cl") != 0) return std::string();
    const char* first = changelogUser.data() + 2;
    const char* last = changelogUser.data() + changelogUser.size();
    if (first == last || !IsDigit(*first)) return std::string();
    std::uint32_t number = 0;
    const auto [end, ec] = std::from_chars(first, last, number);
    if (ec != std::errc() || (end != last && *end != '-')) return std::string();
    return std::to_string(number);
}

bool ReadLctlVersion(const std::string& line, unsigned& major, unsigned& minor)
{
    std::string rest = line;
    if (!HBString::RemoveLeft(rest, "lctl ")) return false;
    const char* first = rest.data();
    const char* last = rest.data() + rest.size();
    unsigned readMajor = 0;
    unsigned readMinor = 0;
    auto [dot, ec] = std::from_chars(first, last, readMajor);
    if (ec != std::errc() || dot == first || dot == last || *dot != '.') return false;
    const char* minorBegin = dot + 1;
    auto [end, ec2] = std::from_chars(minorBegin, last, readMinor);
    if (ec2 != std::errc() || end == minorBegin) return false;
    major = readMajor;
    minor = readMinor;
    return true;
}

std::string ChangelogReaderName(const std::string& changelogUser)
{
    if (ChangelogUserNumber(changelogUser).empty()) return std::string();
    const std::size_t dash = changelogUser.find('-');
    return dash == std::string::npos ? std::string() : changelogUser.substr(dash + 1);
}

}  // namespace LustreAPI
