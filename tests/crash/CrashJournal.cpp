#include "CrashJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace velmora::crash {

CrashJournal::CrashJournal(const std::filesystem::path& path)
    : path_(path), file_(openFile(path, O_WRONLY | O_CREAT | O_APPEND, 0600)) {}

void CrashJournal::record(const std::string& kind, const std::string& subject, const std::string& value) {
    std::string line = kind + " " + subject + (value.empty() ? "" : " " + value) + "\n";
    writeAll(file_.get(), bytesOf(line), path_);
    if (::fsync(file_.get()) != 0) throwSystemError(errno, path_);
}

std::vector<CrashJournal::Line> CrashJournal::read(const std::filesystem::path& path) {
    std::vector<Line> lines;
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
        std::istringstream fields(text.substr(start, end - start));
        Line line;
        fields >> line.kind >> line.subject >> line.value;
        lines.push_back(std::move(line));
    }
    return lines;
}

CrashExpectation CrashExpectation::fromBaseline(const std::filesystem::path& path) {
    CrashExpectation expectation;
    for (const CrashJournal::Line& line : CrashJournal::read(path)) {
        if (line.kind == "lesson") expectation.lessons[line.subject].committed = std::stoull(line.value);
        if (line.kind == "session") expectation.session.saved = line.subject;
        if (line.kind == "store") expectation.store.saved = line.subject;
    }
    return expectation;
}

void CrashExpectation::apply(const std::vector<CrashJournal::Line>& journal) {
    for (const CrashJournal::Line& line : journal) {
        if (line.kind == "session") session.pending = line.subject;
        if (line.kind == "session-saved") session = {line.subject, std::nullopt};
        if (line.kind == "store") store.pending = line.subject;
        if (line.kind == "stored") store = {line.subject, std::nullopt};
        if (line.kind.starts_with("session") || line.kind.starts_with("store")) continue;
        Lesson& lesson = lessons[line.subject];
        if (line.kind == "download") lesson.pending = std::stoull(line.value);
        if (line.kind == "committed") lesson = {std::stoull(line.value), std::nullopt, false};
        if (line.kind == "failed") lesson.pending.reset();
        if (line.kind == "delete") lesson.deleting = true;
        if (line.kind == "deleted") lesson = {};
    }
}

std::set<std::uint64_t> CrashExpectation::allowedVersions(const std::string& assetId) const {
    auto found = lessons.find(assetId);
    if (found == lessons.end()) return {};
    std::set<std::uint64_t> versions;
    if (found->second.committed) versions.insert(*found->second.committed);
    if (found->second.pending) versions.insert(*found->second.pending);
    return versions;
}

bool CrashExpectation::mustBeListed(const std::string& assetId) const {
    auto found = lessons.find(assetId);
    return found != lessons.end() && found->second.committed && !found->second.deleting;
}

bool CrashExpectation::allows(const Entry& entry, const std::optional<std::string>& found) {
    return found == entry.saved || (entry.pending && found == entry.pending);
}

}  // namespace velmora::crash
