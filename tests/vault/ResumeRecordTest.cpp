#include "VaultTestSupport.h"

#include "vault/LessonWriter.h"

#include <filesystem>
#include <functional>

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1'048'576;
constexpr std::uint64_t kStride = kMiB + 32;

ResumeRecord sampleRecord() {
    ResumeRecord record = ResumeRecord::of(test::lessonRequest("movie"), "\"v1\"", 5'000'000);
    record.records = 2;
    return record;
}

// The sample's JSON with one member replaced (or, with a null value, removed).
std::string edited(const char* key, const Json& value) {
    Json json = Json::parse(sampleRecord().encodedJSON());
    if (value.is_null()) {
        json.erase(key);
    } else {
        json[key] = value;
    }
    return json.dump();
}

TEST(ResumeRecordTest, RoundTripsWithoutTheToken) {
    const ResumeRecord record = sampleRecord();
    EXPECT_TRUE(record.request.token.empty());
    EXPECT_EQ(Json::parse(record.encodedJSON())["request"].count("token"), 0u);
    EXPECT_EQ(ResumeRecord::decodeJSON(record.encodedJSON()), record);

    // A server's ETag need not be UTF-8: it is kept as a validator that will never match again.
    const ResumeRecord foreign = ResumeRecord::of(test::lessonRequest("movie"), "\"\xff\xfe\"", 5'000'000);
    std::optional<ResumeRecord> decoded = ResumeRecord::decodeJSON(foreign.encodedJSON());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->validator, "\"\uFFFD\uFFFD\"");
}

TEST(ResumeRecordTest, RefusesEveryDamagedOrTamperedRecord) {
    Json request = Json::parse(sampleRecord().encodedJSON())["request"];
    auto withRequest = [&](const char* key, const Json& value) {
        Json changed = request;
        changed[key] = value;
        return edited("request", changed);
    };
    const std::pair<const char*, std::string> cases[] = {
        {"Empty", ""},
        {"NotJson", "{\"version\":1,"},
        {"Array", "[1]"},
        {"InvalidUtf8", "{\"version\":1,\"validator\":\"\xff\"}"},
        {"OtherVersion", edited("version", 2)},
        {"VersionAsText", edited("version", "1")},
        {"NoValidator", edited("validator", nullptr)},
        {"NoRequest", edited("request", nullptr)},
        {"RequestNotObject", edited("request", "movie")},
        {"NegativeLength", edited("length", -1)},
        {"FractionalRecords", edited("records", 1.5)},
        {"HugeNumber", edited("length", 1e300)},
        {"MoreRecordsThanTheLength", edited("records", 5)},
        {"PausedAsNumber", edited("paused", 1)},
        {"TokenKept", withRequest("token", "secret")},
        {"UnsafeAssetId", withRequest("assetId", "../movie")},
        {"NoClass", withRequest("classId", 0)},
    };
    for (const auto& [name, json] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ResumeRecord::decodeJSON(json), std::nullopt);
    }
    EXPECT_TRUE(ResumeRecord::decodeJSON(edited("length", 0)).has_value());  // unknown length: any count
}

class ResumablePartialTest : public testing::Test, public test::VaultFixture {
protected:
    // A ".part" holding `records` whole records, with a resume record that counts `counted` of them.
    void keep(std::uint64_t records, std::uint64_t counted) {
        const DownloadRequest request = test::lessonRequest("movie");
        LessonWriter writer(vault, request);
        writer.append(test::numberedBytes(records * kMiB));
        writer.keepWholeRecords();
        ResumeRecord record = ResumeRecord::of(request, "\"v1\"", 8 * kMiB);
        record.records = counted;
        vault.saveResumeRecord(record);
    }
    // The first `bytes` of a sealed record after the kept ones, as a kill in mid-write leaves them.
    void appendTornRecord(std::size_t bytes) {
        Bytes torn =
            VaultManager::encryptChunk(test::numberedBytes(kMiB, 9), vault.key(test::lessonRequest("movie").lesson()).span());
        torn.resize(bytes);
        appendTo(vault.partialURL("movie"), torn);
    }
    static void appendTo(const fs::path& path, ByteView bytes) {
        Bytes content = readWholeFile(path);
        content.insert(content.end(), bytes.begin(), bytes.end());
        test::writeFile(path, ByteView(content));
    }
    void flipByte(std::uint64_t offset) {
        Bytes content = readWholeFile(vault.partialURL("movie"));
        content[offset] ^= 1;
        test::writeFile(vault.partialURL("movie"), ByteView(content));
    }
};

// At start-up a ".part" stays when its record and its last whole record say it can be resumed;
// otherwise it goes with its record.
TEST_F(ResumablePartialTest, StartUpKeepsOnlyWhatCanBeResumed) {
    const std::uint64_t lastOfThree = test::recordOffset(2) + 100;
    struct Case {
        const char* name;
        std::uint64_t records, counted;            // whole records in the ".part", and as its resume record counts them
        std::function<void()> damage;              // done to the laid-out pair before the start-up
        std::optional<std::uint64_t> keptRecords;  // nullopt: both files removed
    };
    const Case cases[] = {
        {"Whole", 3, 3, [] {}, 3},
        {"NoRecordsYet", 0, 0, [] {}, 0},
        {"TornTailCut", 3, 3, [&] { appendTornRecord(700'000); }, 3},
        {"MoreThanCounted", 3, 1, [] {}, 3},
        {"UncountedLastRecordDamagedDropped", 3, 2, [&] { flipByte(lastOfThree); }, 2},
        {"CountedRecordDamaged", 3, 3, [&] { flipByte(lastOfThree); }, std::nullopt},
        {"FewerRecordsThanCounted", 2, 3, [] {}, std::nullopt},
        {"HeaderChanged", 1, 1, [&] { flipByte(16); }, std::nullopt},
        {"RecordUnreadable", 1, 1, [&] { test::writeFile(vault.resumeURL("movie"), std::string("{")); }, std::nullopt},
        {"RecordOfAnotherLesson", 1, 1,
         [&] {
             fs::rename(vault.resumeURL("movie"), vault.resumeURL("other"));
             fs::rename(vault.partialURL("movie"), vault.partialURL("other"));
         },
         std::nullopt},
        {"RecordOfAnotherAccount", 1, 1,
         [&] {
             ResumeRecord record = *vault.resumeRecord("movie");
             record.request.ownerKey = "owner-Q";
             vault.saveResumeRecord(record);
         },
         std::nullopt},
        {"RecordWithoutPartial", 1, 1, [&] { fs::remove(vault.partialURL("movie")); }, std::nullopt},
        {"PartialWithoutRecord", 1, 1, [&] { fs::remove(vault.resumeURL("movie")); }, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(vault.rootURL());
        fs::create_directories(vault.rootURL());
        keep(c.records, c.counted);
        c.damage();
        vault.removeLeftoverPartials();
        std::vector<std::string> left;
        for (const auto& file : fs::directory_iterator(vault.rootURL())) left.push_back(file.path().filename().string());
        if (!c.keptRecords) {
            EXPECT_THAT(left, testing::IsEmpty());
            continue;
        }
        EXPECT_THAT(left, testing::UnorderedElementsAre("movie.part", "movie.resume"));
        EXPECT_EQ(fs::file_size(vault.partialURL("movie")), 32 + *c.keptRecords * kStride);
        EXPECT_EQ(vault.resumeRecord("movie")->records, *c.keptRecords);
        EXPECT_EQ(fs::status(vault.resumeURL("movie")).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(vault.keptDownloads().size(), 1u);
    }
}

// A kept ".part" continues after its whole records and commits the same lesson; the commit takes
// the resume record with it.
TEST_F(ResumablePartialTest, AWriterContinuesAKeptPartial) {
    const Bytes plain = test::numberedBytes(2 * kMiB + 5000);
    const DownloadRequest request = test::lessonRequest("movie");
    {
        LessonWriter first(vault, request);
        first.append(ByteView(plain).first(kMiB + 700));
        EXPECT_EQ(first.keepWholeRecords(), 1u);
    }
    vault.saveResumeRecord(ResumeRecord::of(request, "\"v1\"", plain.size()));
    EXPECT_THROW(LessonWriter(vault, request, 2), std::system_error);  // holds only one
    LessonWriter resumed(vault, request, 1);
    EXPECT_EQ(resumed.sealedBytes(), kMiB);
    resumed.append(ByteView(plain).subspan(kMiB));
    EXPECT_EQ(resumed.commit(), plain.size());
    EXPECT_EQ(vault.readRange({"owner-K", "movie"}, 0, plain.size() - 1), plain);
    EXPECT_FALSE(fs::exists(vault.resumeURL("movie")));
}

}  // namespace
}  // namespace velmora
