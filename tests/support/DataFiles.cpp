#include "DataFiles.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

std::string Unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] != '\\' || (next != 't' && next != 'n' && next != 'x' && next != '\\')) {
            out += text[i];
        } else if (next == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += next == 't' ? '\t' : next == 'n' ? '\n' : '\\';
            ++i;
        }
    }
    return out;
}

enum class Kind { Title, Comment, Command, In, InErr, InExit, InFor, Out, Err, Exit };

bool Starts(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

Kind KindOf(const std::string& line)
{
    if (Starts(line, "## ")) return Kind::Title;
    if (Starts(line, "#")) return Kind::Comment;
    if (Starts(line, "$ ")) return Kind::Command;
    if (line == "<" || Starts(line, "< ")) return Kind::In;
    if (line == "<2" || Starts(line, "<2 ")) return Kind::InErr;
    if (Starts(line, "<exit ")) return Kind::InExit;
    if (Starts(line, "<$ ")) return Kind::InFor;
    if (Starts(line, "<")) throw std::runtime_error("a line of no kind: " + line);
    if (line == "2>" || Starts(line, "2> ")) return Kind::Err;
    if (Starts(line, "[exit ")) return Kind::Exit;
    return Kind::Out;
}

// A scripted line's text, the line break restored unless it ends in '%'.
std::string Scripted(const std::string& line, size_t prefix)
{
    const std::string text = line.substr(std::min(line.size(), prefix + 1));
    return !text.empty() && text.back() == '%' ? text.substr(0, text.size() - 1) : text + "\n";
}

// Output as expected lines, each behind prefix.
std::string Expected(const std::string& text, const std::string& prefix)
{
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if ((prefix.empty() && KindOf(line) != Kind::Out) || (!line.empty() && line.back() == '%'))
            throw std::runtime_error("output that a transcript cannot hold: " + line);
        out += prefix + line + "\n";
    }
    if (!text.empty() && text.back() != '\n') out.back() = '%', out += '\n';
    return out;
}

}  // namespace

std::vector<DataRow> ReadRows(const std::string& path)
{
    std::vector<DataRow> rows;
    for (const std::string& line : ReadLines(path)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t arrow = line.find(" -> ");
        DataRow row{{}, arrow == std::string::npos ? "" : Unescape(line.substr(arrow + 4)), line};
        const std::string fields = line.substr(0, arrow) + " | ";
        for (size_t at = 0, bar; (bar = fields.find(" | ", at)) != std::string::npos; at = bar + 3)
            row.fields.push_back(Unescape(fields.substr(at, bar - at)));
        rows.push_back(row);
    }
    if (rows.empty()) throw std::runtime_error("no rows in " + path);
    return rows;
}

Replayed ReplayTranscript(const std::string& path, const std::function<Outcome(const TranscriptStep&)>& play)
{
    Replayed result{ReadFile(path), ""};
    TranscriptStep step;
    bool inStep = false, fresh = true;
    const auto finish = [&] {
        if (!inStep) return;
        const Outcome o = play(step);
        result.replayed += Expected(o.out, "") + Expected(o.err, "2> ");
        if (o.status != 0) result.replayed += "[exit " + std::to_string(o.status) + "]\n";
        inStep = false;
    };
    std::istringstream lines(result.recorded);
    for (std::string line; std::getline(lines, line);) {
        const Kind kind = KindOf(line);
        if (kind == Kind::Out || kind == Kind::Err || kind == Kind::Exit) continue;  // written again below
        if (kind == Kind::Title || kind == Kind::Comment || kind == Kind::Command) finish();
        result.replayed += line + "\n";
        if (kind == Kind::Title) fresh = true;
        if (kind == Kind::Command) {
            step = TranscriptStep{line.substr(2), {{}}, fresh};
            fresh = false;
            inStep = true;
        }
        if (kind == Kind::Title || kind == Kind::Comment || kind == Kind::Command) continue;
        if (!inStep) throw std::runtime_error("scripted input outside a step: " + line);
        if (kind == Kind::InFor) step.replies.push_back({line.substr(3), "", "", 0});
        TranscriptStep::Reply& reply = step.replies.back();
        if (kind == Kind::In) reply.out += Scripted(line, 1);
        if (kind == Kind::InErr) reply.err += Scripted(line, 2);
        if (kind == Kind::InExit) reply.status = std::stoi(line.substr(6));
    }
    finish();
    if (std::getenv("LUSTREAPI_UPDATE_DATA")) {
        WriteFile(path, result.replayed);
        result.recorded = result.replayed;
    }
    return result;
}

}  // namespace testsupport
