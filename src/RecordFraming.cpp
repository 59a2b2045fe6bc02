// Where each record ends in the output of lfs changelog: see RecordFraming.h.
#include "RecordFraming.h"

#include <cstring>

#include "ArgumentChecks.h"
#include "ChangelogRecord.h"
#include "KxUtils.h"

namespace LustreAPI {
namespace {

// The output taken is dropped once it is this long and more than half of
// what is held.
constexpr std::size_t kCompactAt = 64 * 1024;

}  // namespace

void RecordFraming::Scan(std::size_t limit)
{
    while (m_scanned <= limit && m_scanned < m_buffer.size()) {
        const char* begin = m_buffer.data() + m_scanned;
        const void* end = std::memchr(begin, '\n', m_buffer.size() - m_scanned);
        if (!end) return;
        Line line{m_scanned, static_cast<std::size_t>(static_cast<const char*>(end) - begin), true, false, 0};
        line.head = ReadChangelogRecordHead(begin, line.length, line.index);
        m_lines.push_back(line);
        m_scanned += line.length + 1;
    }
}

RecordFraming::Verdict RecordFraming::Fail(std::string problem)
{
    m_problem = std::move(problem);
    return Verdict::Unreadable;
}

RecordFraming::Verdict RecordFraming::Found(std::size_t length)
{
    m_length = length;
    return Verdict::Record;
}

RecordFraming::Verdict RecordFraming::LookAtProof(const Proof& proof)
{
    const std::size_t need = proof.text.size();
    const std::size_t have = m_buffer.size() - m_position;
    // The record and its line end, or the record at the output's end.
    if (have < need + 1 && !(m_ended && have >= need)) {
        if (!m_ended) return Verdict::More;
    } else if (std::memcmp(m_buffer.data() + m_position, proof.text.data(), need) == 0 &&
               (have == need || m_buffer[m_position + need] == '\n')) {
        return Found(need);
    }
    return Fail(HBString::Format("The changelog record %llu printed by %s differs from what %s printed for it",
                                 m_front, m_command.c_str(), m_asked.c_str()));
}

RecordFraming::Verdict RecordFraming::Look()
{
    m_length = 0;
    if (m_position == m_buffer.size()) return m_ended ? Verdict::End : Verdict::More;
    // The next record's first line begins at most this far on.
    const std::size_t reach = m_position + kLongestRecordText + 1;
    Scan(reach);
    Line front{};
    if (!m_lines.empty()) {
        front = m_lines.front();
    } else {
        const std::size_t rest = m_buffer.size() - m_position;
        if (!m_ended)
            return rest > kLongestLine ? Fail(HBString::Format("The output of %s holds a line longer than %zu bytes",
                                                               m_command.c_str(), kLongestLine))
                                       : Verdict::More;
        // The output's last line, without its line end: nothing follows it.
        front = Line{m_position, rest, false, false, 0};
        front.head = ReadChangelogRecordHead(m_buffer.data() + m_position, rest, front.index);
    }
    const auto line = [&] { return QuoteForMessage(m_buffer.substr(front.start, front.length)); };
    if (!front.head)
        return Fail(HBString::Format("Cannot read the changelog record \"%s\" printed by %s", line().c_str(),
                                     m_command.c_str()));
    m_front = front.index;
    // lfs prints records in rising order; a line that breaks it is not the
    // record it looks like.
    if (m_any && m_front <= m_last)
        return Fail(HBString::Format("The changelog record \"%s\" printed by %s does not follow record %llu",
                                     line().c_str(), m_command.c_str(), m_last));
    while (!m_proofs.empty() && m_proofs.front().index < m_front) m_proofs.pop_front();
    const Proof* proof = !m_proofs.empty() && m_proofs.front().index == m_front ? &m_proofs.front() : nullptr;
    if (proof && proof->printed) return LookAtProof(*proof);
    if (!front.complete) return Found(front.length);

    // The lines within reach that begin as the next record.
    std::size_t next = 0;
    int successors = 0;
    bool others = false;
    for (std::size_t i = 1; i < m_lines.size() && m_lines[i].start <= reach; ++i) {
        if (!m_lines[i].head) continue;
        if (m_lines[i].index != m_front + 1) {
            others = true;
        } else if (successors++ == 0) {
            next = m_lines[i].start;
        }
    }
    // At the output's end a last line without its line end counts too.
    if (m_ended && m_scanned < m_buffer.size() && m_scanned <= reach) {
        unsigned long long index = 0;
        if (ReadChangelogRecordHead(m_buffer.data() + m_scanned, m_buffer.size() - m_scanned, index)) {
            if (index != m_front + 1) {
                others = true;
            } else if (successors++ == 0) {
                next = m_scanned;
            }
        }
    }
    const bool reachSeen = m_ended || m_scanned > reach;
    Verdict verdict = Verdict::More;
    if (successors == 1 && reachSeen) return Found(next - 1 - m_position);
    if (successors >= 2) {
        verdict = Verdict::Ask;
    } else if (successors == 0 && m_ended && !others && m_buffer.size() <= reach) {
        // The last record: it runs to the output's end.
        const std::size_t rest = m_buffer.size() - m_position;
        return Found(m_buffer.back() == '\n' ? rest - 1 : rest);
    } else if (successors == 0 && reachSeen) {
        verdict = Verdict::Ask;
    }
    if (verdict == Verdict::Ask && proof)
        return Fail(HBString::Format("Cannot tell where the changelog record %llu printed by %s ends: a line break in "
                                     "a name, job id or xattr name is followed by text that reads as a record, and "
                                     "%s printed nothing for it",
                                     m_front, m_command.c_str(), m_asked.c_str()));
    return verdict;
}

void RecordFraming::Take()
{
    m_last = m_front;
    m_any = true;
    m_position += m_length;
    if (m_position < m_buffer.size()) ++m_position;  // its line end
    m_length = 0;
    while (!m_lines.empty() && m_lines.front().start < m_position) m_lines.pop_front();
    if (m_scanned < m_position) m_scanned = m_position;
    while (!m_proofs.empty() && m_proofs.front().index <= m_last) m_proofs.pop_front();
    if (m_position >= kCompactAt && m_position * 2 > m_buffer.size()) {
        m_buffer.erase(0, m_position);
        for (Line& l : m_lines) l.start -= m_position;
        m_scanned -= m_position;
        m_position = 0;
    }
}

void RecordFraming::ProveRecord(unsigned long long index, std::string text, bool printed, const std::string& asked)
{
    m_asked = asked;
    auto at = m_proofs.begin();
    while (at != m_proofs.end() && at->index < index) ++at;
    if (at != m_proofs.end() && at->index == index) at = m_proofs.erase(at);
    m_proofs.insert(at, Proof{index, std::move(text), printed});
}

void RecordFraming::ProveRecords(RecordFraming& from)
{
    m_asked = from.m_command;
    while (from.Look() == Verdict::Record) {
        const std::string_view text = from.Text();
        const unsigned long long index = from.FrontIndex();
        if (!Proven(index) && (m_proofs.empty() || m_proofs.back().index < index))
            m_proofs.push_back(Proof{index, std::string(text), true});
        from.Take();
    }
}

bool RecordFraming::Proven(unsigned long long index) const
{
    for (const Proof& proof : m_proofs)
        if (proof.index == index) return true;
    return false;
}

}  // namespace LustreAPI
