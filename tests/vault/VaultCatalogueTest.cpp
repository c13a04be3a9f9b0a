#include "VaultTestSupport.h"

#include "core/Files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>
#include <unordered_set>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::lessonRequest;
using test::VaultFixture;

constexpr const char* kOwner = "owner-K";
constexpr const char* kOtherOwner = "owner-Q";

// A catalogue entry with media present, without sealing real media (listing never reads it).
VaultItem addEntry(const VaultManager& vault, const std::string& assetId, const std::string& ownerKey = kOwner) {
    VaultItem item = VaultItem::fromRequest(lessonRequest(assetId, ownerKey), VaultManager::ownerHash(ownerKey), 4096);
    vault.saveMetadata(item);
    test::writeFile(vault.mediaURL(assetId), std::string("sealed"));
    return item;
}

std::vector<std::string> listedIds(const VaultManager& vault, const std::string& ownerKey = kOwner) {
    std::vector<std::string> ids;
    for (const VaultItem& item : vault.list(ownerKey)) ids.push_back(item.assetId);
    return ids;
}

std::set<std::string> folderNames(const VaultManager& vault) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(vault.rootURL())) names.insert(entry.path().filename().string());
    return names;
}

struct OrderCase {
    const char* name;
    std::vector<VaultItem> entries;  // only titles and positions matter
    std::vector<std::string> expected;
};

VaultItem ordered(const std::string& id, const std::string& classTitle, std::int64_t course, std::int64_t chapter,
                  std::int64_t lesson, const std::string& lessonTitle = "L") {
    VaultItem item;
    item.assetId = id;
    item.classTitle = classTitle;
    item.courseIndex = course;
    item.chapterIndex = chapter;
    item.lessonIndex = lesson;
    item.lessonTitle = lessonTitle;
    return item;
}

std::vector<OrderCase> orderCases() {
    return {
        {"positions", {ordered("a", "C", 1, 2, 3), ordered("b", "C", 1, 1, 9)}, {"b", "a"}},
        {"lesson title by code point", {ordered("a", "C", 1, 1, 1, "b"), ordered("b", "C", 1, 1, 1, "B")}, {"b", "a"}},
        {"empty class first", {ordered("a", "A", 0, 0, 0), ordered("b", "", 9, 9, 9)}, {"b", "a"}},
        {"negative positions", {ordered("a", "C", 0, 0, 0), ordered("b", "C", -1, 5, 5)}, {"b", "a"}},
        {"class before positions", {ordered("a", "B", 0, 0, 0), ordered("b", "A", 5, 5, 5)}, {"b", "a"}},
        {"shorter prefix first", {ordered("a", "AB", 0, 0, 0), ordered("b", "A", 5, 5, 5)}, {"b", "a"}},
        // Pinyin would put 啊 (a) first; code points put 中 (U+4E2D) before 啊 (U+554A).
        {"chinese by code point", {ordered("a", "\xE5\x95\x8A", 0, 0, 0), ordered("b", "\xE4\xB8\xAD", 0, 0, 0)}, {"b", "a"}},
        // UTF-16 order would put the surrogate pair of U+20000 before U+FF21.
        {"beyond the BMP", {ordered("a", "\xF0\xA0\x80\x80", 0, 0, 0), ordered("b", "\xEF\xBC\xA1", 0, 0, 0)}, {"b", "a"}},
        // e + combining acute equals é after NFC, so the positions decide.
        {"canonically equal", {ordered("a", "e\xCC\x81", 2, 0, 0), ordered("b", "\xC3\xA9", 1, 0, 0)}, {"b", "a"}},
    };
}

TEST(VaultListTest, OrdersByClassThenPositionsThenLessonTitle) {
    for (const OrderCase& c : orderCases()) {
        SCOPED_TRACE(c.name);
        VaultFixture fixture;
        for (VaultItem item : c.entries) {
            item.ownerHash = VaultManager::ownerHash(kOwner);
            item.state = "completed";
            fixture.vault.saveMetadata(item);
            test::writeFile(fixture.vault.mediaURL(item.assetId), std::string("m"));
        }
        EXPECT_EQ(listedIds(fixture.vault), c.expected);
    }
}

TEST(VaultListTest, TiesKeepDirectoryOrder) {
    VaultFixture fixture;
    for (const char* id : {"t1", "t2", "t3", "t4", "t5", "t6", "t7", "t8"}) {
        VaultItem item = ordered(id, "Same", 1, 1, 1, "Same");
        item.ownerHash = VaultManager::ownerHash(kOwner);
        item.state = "completed";
        fixture.vault.saveMetadata(item);
        test::writeFile(fixture.vault.mediaURL(id), std::string("m"));
    }
    std::vector<std::string> directoryOrder;
    for (const auto& entry : fs::directory_iterator(fixture.vault.rootURL())) {
        if (entry.path().extension() == ".json") directoryOrder.push_back(entry.path().stem().string());
    }
    EXPECT_EQ(listedIds(fixture.vault), directoryOrder);
}

TEST(VaultListTest, ListsOnlyTheCallersCompletedLessonsWithMedia) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    VaultItem mine = addEntry(vault, "mine");
    addEntry(vault, "theirs", kOtherOwner);
    addEntry(vault, "no-media");
    fs::remove(vault.mediaURL("no-media"));
    VaultItem pending = addEntry(vault, "pending");
    pending.state = "downloading";
    vault.saveMetadata(pending);
    test::writeFile(vault.metadataURL("broken"), std::string("{\"assetId\":"));
    test::writeFile(vault.mediaURL("broken"), std::string("m"));
    test::writeFile(vault.partialURL("partial-only"), std::string("m"));

    std::vector<VaultItem> listed = vault.list(kOwner);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0], mine);
    EXPECT_EQ(listedIds(vault, kOtherOwner), std::vector<std::string>{"theirs"});
    EXPECT_TRUE(vault.list("nobody").empty());
    EXPECT_EQ(vault.plainSize("pending", kOwner), 4096u);  // the state is not looked at here
}

TEST(VaultListTest, ReadsOnlyVisibleFilesEndingInLowerCaseJson) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    for (const char* name : {".hidden.json", "upper.JSON", "backup.json.bak", "plain"}) {
        SCOPED_TRACE(name);
        std::string id = std::string(name).substr(name[0] == '.' ? 1 : 0);
        id = id.substr(0, id.find('.'));
        VaultItem item = VaultItem::fromRequest(lessonRequest(id), VaultManager::ownerHash(kOwner), 4096);
        test::writeFile(vault.rootURL() / name, item.encodedJSON());
        test::writeFile(vault.mediaURL(id), std::string("m"));
    }
    EXPECT_TRUE(vault.list(kOwner).empty());
}

TEST(VaultListTest, FindsMediaByTheIdentifierRecordedInside) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    VaultItem item = VaultItem::fromRequest(lessonRequest("B"), VaultManager::ownerHash(kOwner), 4096);
    test::writeFile(vault.metadataURL("A"), item.encodedJSON());
    test::writeFile(vault.mediaURL("A"), std::string("m"));
    EXPECT_TRUE(vault.list(kOwner).empty());
    test::writeFile(vault.mediaURL("B"), std::string("m"));
    fs::remove(vault.mediaURL("A"));
    EXPECT_EQ(listedIds(vault), std::vector<std::string>{"B"});
}

TEST(VaultListTest, APlantedFifoNeitherHangsNorLists) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    addEntry(vault, "real");
    ASSERT_EQ(::mkfifo(vault.metadataURL("pipe").c_str(), 0600), 0);
    test::writeFile(vault.mediaURL("pipe"), std::string("m"));
    EXPECT_EQ(listedIds(vault), std::vector<std::string>{"real"});
    EXPECT_VELMORA_ERROR(vault.plainSize("pipe", kOwner), "当前账号无权读取这份离线课程");
}

TEST(VaultListTest, AnUnlistableFolderGivesAnEmptyList) {
    VaultFixture fixture;
    fs::remove_all(fixture.vault.rootURL());
    EXPECT_TRUE(fixture.vault.list(kOwner).empty());
}

TEST(VaultDeleteTest, RemovesAllFilesOfTheOwnersLesson) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    addEntry(vault, "gone");
    test::writeFile(vault.partialURL("gone"), std::string("p"));
    addEntry(vault, "stays");
    vault.deleteItem(kOwner, "gone");
    EXPECT_EQ(folderNames(vault), (std::set<std::string>{"stays.json", "stays.vlmedia"}));
}

TEST(VaultDeleteTest, SucceedsWhenTheMediaIsAlreadyGone) {
    VaultFixture fixture;
    addEntry(fixture.vault, "orphan");
    fs::remove(fixture.vault.mediaURL("orphan"));
    fixture.vault.deleteItem(kOwner, "orphan");
    EXPECT_FALSE(fs::exists(fixture.vault.metadataURL("orphan")));
}

TEST(VaultDeleteTest, RefusesUnsafeMissingBrokenAndForeignLessonsTouchingNothing) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    // Files that an unchecked identifier would name.
    VaultItem underscored = VaultItem::fromRequest(lessonRequest("x"), VaultManager::ownerHash(kOwner), 4096);
    test::writeFile(vault.rootURL() / "lesson_01.json", underscored.encodedJSON());
    test::writeFile(vault.rootURL() / "lesson_01.vlmedia", std::string("m"));
    fs::create_directory(vault.rootURL() / "sub");
    test::writeFile(vault.rootURL() / "sub" / "x.json", underscored.encodedJSON());
    addEntry(vault, "foreign", kOtherOwner);
    test::writeFile(vault.metadataURL("broken"), std::string("not json"));
    const std::set<std::string> before = folderNames(vault);

    for (const char* id : {"lesson_01", "sub/x", "../VaultDeviceV2/foreign", "foreign", "broken", "missing", ""}) {
        SCOPED_TRACE(id);
        EXPECT_VELMORA_ERROR(vault.deleteItem(kOwner, id), "不能删除其他账号的离线课程");
    }
    EXPECT_EQ(folderNames(vault), before);
    EXPECT_TRUE(fs::exists(vault.rootURL() / "sub" / "x.json"));
}

TEST(VaultUpdateTest, CleansTitlesClampsPositionsAndKeepsTheRest) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    VaultItem stored = addEntry(vault, "u1");
    std::string longTitle;
    for (int i = 0; i < 1500; ++i) longTitle += "e\xCC\x81";  // 1,500 characters of two scalars each
    vault.updateMetadata(kOwner, "u1", "Two\r\nWords", longTitle, -5, 4, INT64_MAX);

    VaultItem expected = stored;
    expected.courseTitle = "TwoWords";
    expected.chapterTitle = longTitle.substr(0, 3000);
    expected.courseIndex = 0;
    expected.chapterIndex = 4;
    expected.lessonIndex = INT64_MAX;
    EXPECT_EQ(VaultItem::decodeJSON(test::readText(vault.metadataURL("u1"))), expected);
    EXPECT_EQ(test::modeOf(vault.metadataURL("u1")), 0600u);

    vault.updateMetadata(kOwner, "u1", std::string(" \tA\0B\r", 6), "\n", INT64_MIN, -1, 0);
    std::optional<VaultItem> again = VaultItem::decodeJSON(test::readText(vault.metadataURL("u1")));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->courseTitle, " \tAB");
    EXPECT_EQ(again->chapterTitle, "");
    EXPECT_EQ(again->courseIndex, 0);
    EXPECT_EQ(again->chapterIndex, 0);
    EXPECT_EQ(folderNames(vault), (std::set<std::string>{"u1.json", "u1.vlmedia"}));  // no temporary left behind
}

TEST(VaultUpdateTest, RefusesLessonsThatAreNotTheCallersWithoutChangingThem) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    addEntry(vault, "foreign", kOtherOwner);
    const std::string foreignBefore = test::readText(vault.metadataURL("foreign"));
    test::writeFile(vault.metadataURL("broken"), std::string("{}"));
    for (const char* id : {"foreign", "broken", "missing", "a.b", "lesson_01", ""}) {
        SCOPED_TRACE(id);
        EXPECT_VELMORA_ERROR(vault.updateMetadata(kOwner, id, "T", "T", 1, 1, 1), "当前账号无权更新这份离线课程目录");
    }
    EXPECT_EQ(test::readText(vault.metadataURL("foreign")), foreignBefore);
    EXPECT_EQ(test::readText(vault.metadataURL("broken")), "{}");
}

TEST(VaultUpdateTest, NeverWritesOutsideTheFolderForATamperedIdentifier) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    VaultItem tampered = VaultItem::fromRequest(lessonRequest("x"), VaultManager::ownerHash(kOwner), 4096);
    tampered.assetId = "../escape";
    test::writeFile(vault.metadataURL("t"), tampered.encodedJSON());
    EXPECT_THROW(vault.updateMetadata(kOwner, "t", "T", "T", 1, 1, 1), std::invalid_argument);
    EXPECT_FALSE(fs::exists(vault.rootURL().parent_path() / "escape.json"));
}

TEST(VaultFinalizeTest, RefusesPlainSizesBelow1024AndLeavesThePartialFile) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    DownloadRequest request = lessonRequest("small");
    test::sealPartial(vault, request, test::numberedBytes(1023));
    const std::string before = test::readText(vault.partialURL("small"));
    for (std::uint64_t size : {0ull, 1ull, 1023ull}) {
        SCOPED_TRACE(size);
        EXPECT_VELMORA_ERROR(vault.finalize(request, size), "课程媒体内容为空或格式异常");
    }
    EXPECT_EQ(test::readText(vault.partialURL("small")), before);
    EXPECT_EQ(folderNames(vault), std::set<std::string>{"small.part"});
}

TEST(VaultFinalizeTest, CommitsPatchingThePlainSizeAndWritingTheEntry) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    DownloadRequest request = lessonRequest("ok");
    Bytes plain = test::numberedBytes(1024);
    test::sealPartial(vault, request, plain);
    vault.finalize(request, plain.size());

    EXPECT_EQ(folderNames(vault), (std::set<std::string>{"ok.json", "ok.vlmedia"}));
    Bytes media = readWholeFile(vault.mediaURL("ok"));
    EXPECT_EQ(Bytes(media.begin(), media.begin() + 32), VaultManager::makeHeader(1024));
    EXPECT_EQ(media.size(), 32u + 32u + 1024u);
    EXPECT_EQ(test::modeOf(vault.mediaURL("ok")), 0600u);
    EXPECT_EQ(test::modeOf(vault.metadataURL("ok")), 0600u);
    EXPECT_EQ(VaultItem::decodeJSON(test::readText(vault.metadataURL("ok"))),
              VaultItem::fromRequest(request, VaultManager::ownerHash(kOwner), 1024));
    EXPECT_EQ(vault.readRange(kOwner, "ok", 0, 1023), plain);
}

TEST(VaultFinalizeTest, AFailedCommitKeepsTheEarlierLesson) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    DownloadRequest request = lessonRequest("again");
    Bytes first = test::numberedBytes(3000, 1);
    test::storeLesson(vault, request, first);
    EXPECT_THROW(vault.finalize(request, 4000), std::system_error);  // no ".part" to commit
    EXPECT_EQ(vault.readRange(kOwner, "again", 0, 2999), first);
    EXPECT_EQ(listedIds(vault), std::vector<std::string>{"again"});

    Bytes second = test::numberedBytes(5000, 2);
    test::storeLesson(vault, request, second);
    EXPECT_EQ(vault.readRange(kOwner, "again", 0, 9999), second);
}

TEST(VaultFinalizeTest, ReplacingALessonNeverLeavesItsMediaMissing) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    DownloadRequest request = lessonRequest("busy");
    const Bytes plain = test::numberedBytes(2048);
    test::storeLesson(vault, request, plain);

    // A remove-then-move commit opens a window in which the media is absent; watch for it.
    std::atomic<bool> done{false};
    std::atomic<int> absences{0};
    std::thread watcher([&] {
        const fs::path media = vault.mediaURL("busy");
        while (!done.load()) {
            if (::access(media.c_str(), F_OK) != 0) ++absences;
        }
    });
    for (int round = 0; round < 300; ++round) {
        test::sealPartial(vault, request, plain);
        vault.finalize(request, plain.size());
    }
    done = true;
    watcher.join();
    EXPECT_EQ(absences.load(), 0);
}

TEST(VaultCleanPartialTest, RemovesOnlyTheLessonsPartialFile) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    vault.cleanPartial("none");  // nothing there: no effect, no failure
    test::writeFile(vault.partialURL("p"), std::string("x"));
    test::writeFile(vault.rootURL().parent_path() / "outside.part", std::string("x"));
    vault.cleanPartial("../outside");
    vault.cleanPartial("p");
    EXPECT_TRUE(folderNames(vault).empty());
    EXPECT_TRUE(fs::exists(vault.rootURL().parent_path() / "outside.part"));
}

TEST(VaultPlainSizeTest, AnswersOnlyTheOwner) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    addEntry(vault, "sized");
    fs::remove(vault.mediaURL("sized"));  // the media is not looked at
    EXPECT_EQ(vault.plainSize("sized", kOwner), 4096u);
    for (const char* owner : {kOtherOwner, "", "OWNER-K"}) {
        SCOPED_TRACE(owner);
        EXPECT_VELMORA_ERROR(vault.plainSize("sized", owner), "当前账号无权读取这份离线课程");
    }
    EXPECT_VELMORA_ERROR(vault.plainSize("missing", kOwner), "当前账号无权读取这份离线课程");
}

TEST(VaultConfidentialityTest, NoFileUnderTheVaultHoldsAnyPlaintextWindow) {
    VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    const std::string motif = "VELMORA-PLAINTEXT-MARKER:0123456789abcdefghijklmnopqrstuvwxyz!?#";
    std::string pattern;
    while (pattern.size() < 2'500'000) pattern += motif;
    pattern.resize(2'500'000);
    DownloadRequest request = lessonRequest("secret");
    test::storeLesson(vault, request, bytesOf(pattern));
    test::sealPartial(vault, lessonRequest("secret-part"), bytesOf(pattern));  // a download left half-way

    std::unordered_set<std::string_view> windows;
    for (std::size_t at = 0; at < motif.size(); ++at) windows.insert(std::string_view(pattern).substr(at, 16));
    std::size_t scanned = 0;
    for (const auto& entry : fs::recursive_directory_iterator(vault.rootURL())) {
        std::string content = test::readText(entry.path());
        for (std::size_t at = 0; at + 16 <= content.size(); ++at) {
            ASSERT_FALSE(windows.contains(std::string_view(content).substr(at, 16))) << entry.path() << " at " << at;
        }
        ++scanned;
    }
    EXPECT_EQ(scanned, 3u);
    EXPECT_EQ(fs::file_size(vault.mediaURL("secret")), 2'500'128u);
}

}  // namespace
}  // namespace velmora
