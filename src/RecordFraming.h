// Where each record ends in the output of "lfs changelog", which prints
// names, job ids and xattr names as they are: one that holds a line break
// continues its record on the next line, and the text after the break may
// read as a record of its own. No text decides alone where a record ends;
// Lustre's numbering does:
//
//   - From 2.12.3 on (LU-11426) an MDT gives each record the index after
//     the last one as it writes it, so records come in rising order, and
//     without gaps but for a record whose write failed (mdd_dir.c,
//     mdd_changelog_write_rec). Up to 2.12.2 two records written at once
//     could be stored out of order.
//   - lfs prints a record in at most kLongestRecordText bytes (its fields,
//     a 31-byte job id, 255-byte names and xattr name).
//
// So the record that begins at a line reading as record N ends right before
// the one line within its reach that begins as record N+1. When its reach
// holds two such lines (a name that prints "<LF>N+1 ..."), or none (a gap),
// the text cannot tell; lfs can, asked for record N alone ("lfs changelog
// <mdt> N N"), and ProveRecord hands its answer in. Where the output stops
// before a record's reach (a following reader at the end of the changelog),
// the records lfs prints up to the end when asked without following ("lfs
// changelog <mdt> N", its end proving theirs) come in with ProveRecords.
// Pure logic: the owner feeds output and runs the commands.
#pragma once
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace LustreAPI {

// The longest text lfs prints for one record, its line end excluded.
constexpr std::size_t kLongestRecordText = 1280;
// A line of lfs changelog longer than this is not output of lfs.
constexpr std::size_t kLongestLine = 64 * 1024;

class RecordFraming {
public:
    enum class Verdict {
        Record,      // Text() is the front record's whole text; Take() it
        More,        // more output tells where the front record ends
        Ask,         // only lfs, asked for record FrontIndex() alone, can tell
        End,         // the output has ended, and every record was taken
        Unreadable,  // the front is not a record lfs prints: Problem() says why
    };

    // command: the command whose output this is, for messages.
    explicit RecordFraming(std::string command = {}) : m_command(std::move(command)) {}

    void Append(const char* data, std::size_t size) { m_buffer.append(data, size); }
    // The output has ended.
    void SetEnded() { m_ended = true; }
    bool Ended() const { return m_ended; }

    // Looks at the front of the output not yet taken.
    Verdict Look();
    // After Record: the record's text, its line breaks included, its final
    // line end excluded. Valid until the next call that changes the framing.
    std::string_view Text() const { return {m_buffer.data() + m_position, m_length}; }
    // After Record, More and Ask: the index of the front record.
    unsigned long long FrontIndex() const { return m_front; }
    // After Unreadable: the failure message.
    const std::string& Problem() const { return m_problem; }
    // Takes the record Look found.
    void Take();
    // The whole text of record index as lfs printed it alone, without its
    // final line end; printed false when lfs printed nothing for it (the
    // record was cleared meanwhile). asked names the command, for messages.
    void ProveRecord(unsigned long long index, std::string text, bool printed, const std::string& asked);
    // The records that the ended framing from (the output of lfs asked for
    // the records from FrontIndex() on, without following) could tell
    // apart, taken from it.
    void ProveRecords(RecordFraming& from);
    // Whether record index was proven: asking again tells nothing new.
    bool Proven(unsigned long long index) const;

private:
    struct Line {
        std::size_t start;   // offset in m_buffer
        std::size_t length;  // without its line end
        bool complete;       // ends with a line end (else the output's last, unterminated line)
        bool head;           // begins as a record does
        unsigned long long index;
    };
    struct Proof {
        unsigned long long index;
        std::string text;
        bool printed;  // lfs printed the record
    };
    // The lines from the front up to those that begin at or before limit.
    void Scan(std::size_t limit);
    Verdict Found(std::size_t length);
    Verdict Fail(std::string problem);
    Verdict LookAtProof(const Proof& proof);

    std::string m_command;
    std::string m_buffer;
    std::size_t m_position = 0;  // the front record's first byte
    std::size_t m_length = 0;    // its text's length, after Record
    std::deque<Line> m_lines;    // the complete lines from the front on, as scanned
    std::size_t m_scanned = 0;   // where the first line not yet scanned begins
    bool m_ended = false;
    unsigned long long m_front = 0;
    bool m_any = false;  // a record was taken: m_last is valid
    unsigned long long m_last = 0;
    std::deque<Proof> m_proofs;  // in rising index order
    std::string m_asked;
    std::string m_problem;
};

}  // namespace LustreAPI
