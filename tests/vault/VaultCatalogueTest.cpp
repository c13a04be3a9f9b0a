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

constexpr const char* kOwner = "owner-K";

// A committed entry with placeholder media (listing never reads media content).
VaultItem addEntry(const VaultManager& vault, VaultItem item, const std::string& ownerKey = kOwner) {
    item.ownerHash = VaultManager::ownerHash(ownerKey);
    item.state = "completed";
    vault.saveMetadata(item);
    test::writeFile(vault.mediaURL(item.assetId), std::string("m"));
    return item;
}

VaultItem entry(const std::string& id, const std::string& classTitle = "C", std::int64_t course = 0,
                std::int64_t chapter = 0, std::int64_t lesson = 0, const std::string& lessonTitle = "L") {
    VaultItem item = VaultItem::fromRequest(lessonRequest(id), "", 4096);
    item.classTitle = classTitle;
    item.courseIndex = course;
    item.chapterIndex = chapter;
    item.lessonIndex = lesson;
    item.lessonTitle = lessonTitle;
    return item;
}

std::vector<std::string> listedIds(const VaultManager& vault, const std::string& ownerKey = kOwner) {
    std::vector<std::string> ids;
    for (const VaultItem& item : vault.list(ownerKey)) ids.push_back(item.assetId);
    return ids;
}

std::set<std::string> folderNames(const VaultManager& vault) {
    std::set<std::string> names;
    for (const auto& file : fs::directory_iterator(vault.rootURL())) names.insert(file.path().filename().string());
    return names;
}

TEST(VaultListTest, OrdersByClassPositionsAndLessonTitleByCodePoint) {
    struct Case {
        const char* name;
        VaultItem first;  // stored first, expected to list second
        VaultItem second;
    };
    const std::vector<Case> cases = {
        {"positions", entry("a", "C", 1, 2, 3), entry("b", "C", 1, 1, 9)},
        {"lesson title", entry("a", "C", 1, 1, 1, "b"), entry("b", "C", 1, 1, 1, "B")},
        {"empty class title", entry("a", "A", 0, 0, 0), entry("b", "", 9, 9, 9)},
        {"negative position", entry("a", "C", 0), entry("b", "C", -1, 5, 5)},
        {"shorter prefix", entry("a", "AB"), entry("b", "A", 5)},
        {"chinese (not pinyin)", entry("a", "\xE5\x95\x8A"), entry("b", "\xE4\xB8\xAD")},            // 啊 after 中
        {"beyond the BMP (not UTF-16)", entry("a", "\xF0\xA0\x80\x80"), entry("b", "\xEF\xBC\xA1")},  // U+20000 after U+FF21
        {"NFC equal, positions decide", entry("a", "e\xCC\x81", 2), entry("b", "\xC3\xA9", 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::VaultFixture fixture;
        addEntry(fixture.vault, c.first);
        addEntry(fixture.vault, c.second);
        EXPECT_EQ(listedIds(fixture.vault), (std::vector<std::string>{"b", "a"}));
    }
}

TEST(VaultListTest, TiesKeepDirectoryOrder) {
    test::VaultFixture fixture;
    for (const char* id : {"t1", "t2", "t3", "t4", "t5", "t6"}) addEntry(fixture.vault, entry(id));
    std::vector<std::string> directoryOrder;
    for (const auto& file : fs::directory_iterator(fixture.vault.rootURL())) {
        if (file.path().extension() == ".json") directoryOrder.push_back(file.path().stem().string());
    }
    EXPECT_EQ(listedIds(fixture.vault), directoryOrder);
}

TEST(VaultListTest, ListsOnlyTheCallersCompletedLessonsFromVisibleJsonFiles) {
    test::VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    VaultItem mine = addEntry(vault, entry("mine", "C", 1));
    addEntry(vault, entry("theirs"), "owner-Q");
    fs::remove(vault.mediaURL(addEntry(vault, entry("no-media")).assetId));
    VaultItem pending = addEntry(vault, entry("pending"));
    pending.state = "downloading";
    vault.saveMetadata(pending);
    test::writeFile(vault.metadataURL("broken"), std::string("{\"assetId\":"));
    ASSERT_EQ(::mkfifo(vault.metadataURL("fifo").c_str(), 0600), 0);  // must not hang the listing
    for (const char* name : {".hidden.json", "upper.JSON", "backup.json.bak"}) {
        VaultItem never = entry(name[0] == '.' ? "hidden" : std::string(name).substr(0, std::string(name).find('.')));
        addEntry(vault, never);
        fs::rename(vault.metadataURL(never.assetId), vault.rootURL() / name);
    }
    // A.json recording the identifier B lists when B's media exists, not A's.
    VaultItem recordsB = addEntry(vault, entry("B"));
    fs::rename(vault.metadataURL("B"), vault.metadataURL("A"));

    EXPECT_EQ(vault.list(kOwner), (std::vector<VaultItem>{recordsB, mine}));
    fs::rename(vault.mediaURL("B"), vault.mediaURL("A"));
    EXPECT_EQ(listedIds(vault), std::vector<std::string>{"mine"});
    EXPECT_EQ(listedIds(vault, "owner-Q"), std::vector<std::string>{"theirs"});
    EXPECT_EQ(vault.plainSize("pending", kOwner), 4096u);  // the state is not looked at there
    fs::remove_all(vault.rootURL());
    EXPECT_TRUE(vault.list(kOwner).empty());
}

TEST(VaultDeleteTest, RemovesTheOwnersLessonEvenWithoutMedia) {
    test::VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    addEntry(vault, entry("gone"));
    test::writeFile(vault.partialURL("gone"), std::string("p"));
    fs::remove(vault.mediaURL(addEntry(vault, entry("orphan")).assetId));
    addEntry(vault, entry("stays"));
    vault.deleteItem(kOwner, "gone");
    vault.deleteItem(kOwner, "orphan");
    EXPECT_EQ(folderNames(vault), (std::set<std::string>{"stays.json", "stays.vlmedia"}));
}

TEST(VaultDeleteAndUpdateTest, RefuseUnsafeMissingBrokenAndForeignLessonsTouchingNothing) {
    test::VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    // Files that an unchecked identifier would reach.
    const std::string mineJson = VaultItem::fromRequest(lessonRequest("x"), VaultManager::ownerHash(kOwner), 1).encodedJSON();
    test::writeFile(vault.rootURL() / "lesson_01.json", mineJson);
    fs::create_directory(vault.rootURL() / "sub");
    test::writeFile(vault.rootURL() / "sub" / "x.json", mineJson);
    addEntry(vault, entry("foreign"), "owner-Q");
    test::writeFile(vault.metadataURL("broken"), std::string("{}"));
    const std::set<std::string> before = folderNames(vault);
    const std::string foreignBefore = test::readText(vault.metadataURL("foreign"));

    for (const char* id : {"lesson_01", "sub/x", "foreign", "broken", "missing", ""}) {
        SCOPED_TRACE(id);
        EXPECT_VELMORA_ERROR(vault.deleteItem(kOwner, id), "不能删除其他账号的离线课程");
        EXPECT_VELMORA_ERROR(vault.updateMetadata(kOwner, id, "T", "T", 1, 1, 1), "当前账号无权更新这份离线课程目录");
    }
    EXPECT_EQ(folderNames(vault), before);
    EXPECT_EQ(test::readText(vault.metadataURL("foreign")), foreignBefore);
    EXPECT_TRUE(fs::exists(vault.rootURL() / "sub" / "x.json"));

    // Metadata naming a file outside the vault is never followed when saving.
    VaultItem tampered = VaultItem::fromRequest(lessonRequest("x"), VaultManager::ownerHash(kOwner), 1);
    tampered.assetId = "../escape";
    test::writeFile(vault.metadataURL("t"), tampered.encodedJSON());
    EXPECT_THROW(vault.updateMetadata(kOwner, "t", "T", "T", 1, 1, 1), std::invalid_argument);
    EXPECT_FALSE(fs::exists(vault.rootURL().parent_path() / "escape.json"));
}

TEST(VaultUpdateTest, CleansTitlesClampsPositionsAndKeepsTheRest) {
    test::VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    VaultItem expected = addEntry(vault, entry("u1"));
    std::string longTitle;
    for (int i = 0; i < 1500; ++i) longTitle += "e\xCC\x81";  // 1,500 characters of two scalars each
    vault.updateMetadata(kOwner, "u1", "Two\r\nWords", longTitle, -5, 4, INT64_MAX);
    expected.courseTitle = "TwoWords";
    expected.chapterTitle = longTitle.substr(0, 3000);
    expected.courseIndex = 0;
    expected.chapterIndex = 4;
    expected.lessonIndex = INT64_MAX;
    EXPECT_EQ(VaultItem::decodeJSON(test::readText(vault.metadataURL("u1"))), expected);

    vault.updateMetadata(kOwner, "u1", std::string(" \tA\0B\r", 6), "\n", INT64_MIN, -1, 0);
    VaultItem again = *VaultItem::decodeJSON(test::readText(vault.metadataURL("u1")));
    EXPECT_EQ(again.courseTitle, " \tAB");
    EXPECT_EQ(again.chapterTitle, "");
    EXPECT_EQ(again.courseIndex, 0);
    EXPECT_EQ(test::modeOf(vault.metadataURL("u1")), 0600u);
    EXPECT_EQ(folderNames(vault), (std::set<std::string>{"u1.json", "u1.vlmedia"}));  // no temporary left
}

TEST(VaultFinalizeTest, CommitsFrom1024BytesPatchingThePlainSize) {
    test::VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    const DownloadRequest request = lessonRequest("ok");
    const Bytes plain = test::numberedBytes(1024);
    test::sealPartial(vault, request, ByteView(plain).first(1023));
    const std::string partial = test::readText(vault.partialURL("ok"));
    for (std::uint64_t size : {0ull, 1023ull}) {
        EXPECT_VELMORA_ERROR(vault.finalize(request, size), "课程媒体内容为空或格式异常");
    }
    EXPECT_EQ(test::readText(vault.partialURL("ok")), partial);

    test::sealPartial(vault, request, plain);
    vault.finalize(request, 1024);
    EXPECT_EQ(folderNames(vault), (std::set<std::string>{"ok.json", "ok.vlmedia"}));
    const Bytes media = readWholeFile(vault.mediaURL("ok"));
    EXPECT_EQ(Bytes(media.begin(), media.begin() + 32), VaultManager::makeHeader(1024));
    EXPECT_EQ(test::modeOf(vault.mediaURL("ok")), 0600u);
    EXPECT_EQ(VaultItem::decodeJSON(test::readText(vault.metadataURL("ok"))),
              VaultItem::fromRequest(request, VaultManager::ownerHash(kOwner), 1024));
    EXPECT_EQ(vault.readRange(kOwner, "ok", 0, 1023), plain);
}

TEST(VaultFinalizeTest, ReplacingALessonNeverLeavesItWithoutMedia) {
    test::VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    const DownloadRequest request = lessonRequest("busy");
    const Bytes plain = test::numberedBytes(2048);
    test::storeLesson(vault, request, plain);
    EXPECT_THROW(vault.finalize(request, 4096), std::system_error);  // nothing to commit
    EXPECT_EQ(vault.readRange(kOwner, "busy", 0, 2047), plain);

    // Remove-then-move would open a window in which the media is absent; watch for it.
    std::atomic<bool> done{false};
    std::atomic<int> absences{0};
    std::thread watcher([&] {
        while (!done) absences += ::access(vault.mediaURL("busy").c_str(), F_OK) != 0;
    });
    for (int round = 0; round < 200; ++round) test::storeLesson(vault, request, plain);
    done = true;
    watcher.join();
    EXPECT_EQ(absences.load(), 0);
}

TEST(VaultCleanPartialTest, RemovesOnlyTheLessonsPartialFile) {
    test::VaultFixture fixture;
    VaultManager& vault = fixture.vault;
    vault.cleanPartial("none");
    test::writeFile(vault.partialURL("p"), std::string("x"));
    test::writeFile(vault.rootURL().parent_path() / "outside.part", std::string("x"));
    vault.cleanPartial("../outside");
    vault.cleanPartial("p");
    EXPECT_TRUE(folderNames(vault).empty());
    EXPECT_TRUE(fs::exists(vault.rootURL().parent_path() / "outside.part"));
}

TEST(VaultConfidentialityTest, NoFileUnderTheVaultHoldsAnyPlaintextWindow) {
    test::VaultFixture fixture;
    const std::string motif = "VELMORA-PLAINTEXT-MARKER:0123456789abcdefghijklmnopqrstuvwxyz!?#";
    std::string pattern;
    while (pattern.size() < 2'500'000) pattern += motif;
    pattern.resize(2'500'000);
    test::storeLesson(fixture.vault, lessonRequest("secret"), bytesOf(pattern));
    test::sealPartial(fixture.vault, lessonRequest("half"), bytesOf(pattern));  // an interrupted download
    EXPECT_EQ(fs::file_size(fixture.vault.mediaURL("secret")), 2'500'128u);

    std::unordered_set<std::string_view> windows;
    for (std::size_t at = 0; at < motif.size(); ++at) windows.insert(std::string_view(pattern).substr(at, 16));
    for (const auto& file : fs::recursive_directory_iterator(fixture.vault.rootURL())) {
        const std::string content = test::readText(file.path());
        for (std::size_t at = 0; at + 16 <= content.size(); ++at) {
            ASSERT_FALSE(windows.contains(std::string_view(content).substr(at, 16))) << file.path() << " at " << at;
        }
    }
}

}  // namespace
}  // namespace velmora
