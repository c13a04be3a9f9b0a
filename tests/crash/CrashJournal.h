#pragma once

#include "core/Files.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velmora::crash {

// The worker's account of what it began and what it finished, one line per step, each written and
// fsync'd before the worker goes on: after a SIGKILL every line in the file is a step that was
// reached. Lines: "<kind> <subject> [<value>]".
class CrashJournal {
public:
    explicit CrashJournal(const std::filesystem::path& path);
    void record(const std::string& kind, const std::string& subject, const std::string& value = {});

    struct Line {
        std::string kind;
        std::string subject;
        std::string value;
    };
    // The whole lines of a journal (a line cut by the kill is dropped).
    static std::vector<Line> read(const std::filesystem::path& path);

private:
    std::filesystem::path path_;
    FileDescriptor file_;
};

// What a fresh process may find after a kill: the state the previous check found (the baseline),
// moved on by the journal of the killed worker.
struct CrashExpectation {
    struct Lesson {
        std::optional<std::uint64_t> committed;  // the version committed last
        std::optional<std::uint64_t> pending;    // a version whose commit may or may not have happened
        bool deleting = false;                   // a deletion began and did not report back
    };
    struct Entry {
        std::optional<std::string> saved;    // nullopt: absent
        std::optional<std::string> pending;  // a save that began and did not report back
    };
    std::map<std::string, Lesson> lessons;
    Entry session;
    Entry store;

    // Baseline file lines: "lesson <asset> <version>", "session <token>", "store <hex>".
    static CrashExpectation fromBaseline(const std::filesystem::path& path);
    void apply(const std::vector<CrashJournal::Line>& journal);

    // Versions the asset may hold when listed (empty: it must not be listed).
    std::set<std::uint64_t> allowedVersions(const std::string& assetId) const;
    // Whether the asset must be listed.
    bool mustBeListed(const std::string& assetId) const;
    static bool allows(const Entry& entry, const std::optional<std::string>& found);
};

}  // namespace velmora::crash
