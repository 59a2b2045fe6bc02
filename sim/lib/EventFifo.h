// The HSM event FIFO: JSON events of copytool registrations, copy actions
// and logged messages, one object per line, for a monitor reading the FIFO.
#pragma once
#include <lustre/lustreapi.h>

#include <string>
#include <utility>
#include <vector>

namespace sim::lib {

// One event under construction; items come out in the order added.
class JsonEvent {
public:
    explicit JsonEvent(const std::string& type);
    JsonEvent& Str(const char* key, const std::string& value);
    JsonEvent& Num(const char* key, long long value);
    JsonEvent& Fid(const char* key, const lu_fid& fid);
    std::string Line() const;

private:
    std::vector<std::pair<std::string, std::string>> items_;  // key, JSON value
};

// An event to write later, perhaps from a signal handler: all but its time
// is formatted now, and Write() allocates and locks nothing.
class PreparedEvent {
public:
    explicit PreparedEvent(const JsonEvent& event);
    void Write() const;

private:
    std::string rest_;  // the line after the event_time item
    long gmtoff_;       // the local time zone's offset when prepared
};

// Whether a FIFO is registered (events cost nothing otherwise).
bool EventsWanted();

// Writes the event when a FIFO is registered; nothing otherwise. Events
// nobody reads are lost.
void WriteEvent(const JsonEvent& event);

// Lustre's string escaping, defects included: control characters become
// two backslashes and a letter, '"' becomes \\" and '\' four backslashes.
std::string JsonEscape(const std::string& text);

}  // namespace sim::lib
