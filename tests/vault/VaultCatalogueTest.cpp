#include "VaultTestSupport.h"

#include "core/Files.h"

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
using test::throwsVelmora;

constexpr const char* kOwner = "owner-K";

VaultItem entry(const std::string& id, const std::string& classTitle = "C", std::int64_t course = 0,
                std::int64_t chapter = 0, std::int64_t lesson = 0, const std::string& lessonTitle = "L") {
    VaultItem item = VaultItem::fromRequest(lessonRequest(id), "", 4096);
    std::tie(item.classTitle, item.courseIndex, item.chapterIndex, item.lessonIndex, item.lessonTitle) =
        std::tie(classTitle, course, chapter, lesson, lessonTitle);
    return item;
}

struct VaultCatalogueTest : testing::Test, test::VaultFixture {
    // A committed entry with placeholder media (listing never reads media content).
    VaultItem add(VaultItem item, const std::string& ownerKey = kOwner) {
        item.ownerHash = VaultManager::ownerHash(ownerKey);
        item.state = "completed";
        vault.saveMetadata(item);
        test::writeFile(vault.mediaURL(item.assetId), std::string("m"));
        return item;
    }
    std::vector<std::string> ids(const std::string& ownerKey = kOwner) {
        std::vector<std::string> ids;
        for (const VaultItem& item : vault.list(ownerKey)) ids.push_back(item.assetId);
        return ids;
    }
    std::set<std::string> names() {
        std::set<std::string> names;
        for (const auto& file : fs::directory_iterator(vault.rootURL())) names.insert(file.path().filename().string());
        return names;
    }
    void clear() {
        for (const std::string& name : names()) fs::remove(vault.rootURL() / name);
    }
};

TEST_F(VaultCatalogueTest, ListOrdersByClassPositionsAndLessonTitleByCodePointKeepingTies) {
    const std::vector<std::tuple<const char*, VaultItem, VaultItem>> cases = {  // stored first lists second
        {"positions", entry("a", "C", 1, 2, 3), entry("b", "C", 1, 1, 9)},
        {"lesson title", entry("a", "C", 1, 1, 1, "b"), entry("b", "C", 1, 1, 1, "B")},
        {"empty class title", entry("a", "A", 0, 0, 0), entry("b", "", 9, 9, 9)},
        {"negative position", entry("a", "C", 0), entry("b", "C", -1, 5, 5)},
        {"shorter prefix", entry("a", "AB"), entry("b", "A", 5)},
        {"chinese (not pinyin)", entry("a", "\xE5\x95\x8A"), entry("b", "\xE4\xB8\xAD")},            // 啊 after 中
        {"beyond the BMP (not UTF-16)", entry("a", "\xF0\xA0\x80\x80"), entry("b", "\xEF\xBC\xA1")},  // U+20000 after U+FF21
        {"NFC equal, positions decide", entry("a", "e\xCC\x81", 2), entry("b", "\xC3\xA9", 1)},
    };
    for (const auto& [name, first, second] : cases) {
        SCOPED_TRACE(name);
        clear();
        add(first);
        add(second);
        EXPECT_EQ(ids(), (std::vector<std::string>{"b", "a"}));
    }
    clear();
    for (const char* id : {"t1", "t2", "t3", "t4", "t5", "t6"}) add(entry(id));
    std::vector<std::string> directoryOrder;
    for (const auto& file : fs::directory_iterator(vault.rootURL())) {
        if (file.path().extension() == ".json") directoryOrder.push_back(file.path().stem().string());
    }
    EXPECT_EQ(ids(), directoryOrder);
}

TEST_F(VaultCatalogueTest, ListsOnlyTheCallersCompletedLessonsFromVisibleJsonFiles) {
    VaultItem mine = add(entry("mine", "C", 1));
    add(entry("theirs"), "owner-Q");
    fs::remove(vault.mediaURL(add(entry("no-media")).assetId));
    VaultItem pending = add(entry("pending"));
    pending.state = "downloading";
    vault.saveMetadata(pending);
    test::writeFile(vault.metadataURL("broken"), std::string("{\"assetId\":"));
    ASSERT_EQ(::mkfifo(vault.metadataURL("fifo").c_str(), 0600), 0);  // must not hang the listing
    for (auto [id, name] : {std::pair{"hidden", ".hidden.json"}, {"upper", "upper.JSON"}, {"backup", "backup.json.bak"}}) {
        add(entry(id));
        fs::rename(vault.metadataURL(id), vault.rootURL() / name);
    }
    // A.json recording the identifier B is neither lesson, whichever of the two media exists.
    add(entry("B"));
    fs::rename(vault.metadataURL("B"), vault.metadataURL("A"));

    EXPECT_EQ(vault.list(kOwner), (std::vector<VaultItem>{mine}));
    fs::rename(vault.mediaURL("B"), vault.mediaURL("A"));
    EXPECT_EQ(ids(), std::vector<std::string>{"mine"});
    EXPECT_EQ(ids("owner-Q"), std::vector<std::string>{"theirs"});
    EXPECT_EQ(vault.plainSize({kOwner, "pending"}), 4096u);  // the state is not looked at there
    fs::remove_all(vault.rootURL());
    EXPECT_TRUE(vault.list(kOwner).empty());
}

TEST_F(VaultCatalogueTest, DeleteAndCleanPartialRemoveOnlyTheirLessonsFiles) {
    add(entry("gone"));
    test::writeFile(vault.partialURL("gone"), std::string("p"));
    fs::remove(vault.mediaURL(add(entry("orphan")).assetId));
    add(entry("stays"));
    vault.deleteItem({kOwner, "gone"});
    vault.deleteItem({kOwner, "orphan"});  // even without media
    vault.cleanPartial("none");
    test::writeFile(vault.partialURL("p"), std::string("x"));
    test::writeFile(vault.rootURL().parent_path() / "outside.part", std::string("x"));
    vault.cleanPartial("../outside");
    vault.cleanPartial("p");
    EXPECT_EQ(names(), (std::set<std::string>{"stays.json", "stays.vlmedia"}));
    EXPECT_TRUE(fs::exists(vault.rootURL().parent_path() / "outside.part"));
}

TEST_F(VaultCatalogueTest, OpeningAtStartUpRemovesOnlyLeftoverPartials) {
    add(entry("kept"));
    test::sealPartial(vault, lessonRequest("killed"), test::numberedBytes(3000));
    test::writeFile(vault.partialURL("kept"), std::string("p"));
    test::writeFile(vault.rootURL() / ".hidden.part", std::string("p"));
    fs::create_directory(vault.rootURL() / "folder.part");
    test::writeFile(vault.rootURL().parent_path() / "outside.part", std::string("x"));
    vault.removeLeftoverPartials();
    // Only names a download could have made: "<safe identifier>.part".
    EXPECT_EQ(names(), (std::set<std::string>{"kept.json", "kept.vlmedia", ".hidden.part", "folder.part"}));
    EXPECT_TRUE(fs::exists(vault.rootURL().parent_path() / "outside.part"));
    EXPECT_EQ(ids(), std::vector<std::string>{"kept"});
    fs::remove_all(vault.rootURL());
    vault.removeLeftoverPartials();  // nothing to open: nothing happens
}

TEST_F(VaultCatalogueTest, OpeningAtStartUpRemovesTheTemporariesOfKilledMetadataWrites) {
    add(entry("kept"));
    for (const char* name : {".kept.json.Ab12Cd", ".other.resume.q1w2e3", "..json.Ab12Cd", ".a_b.json.Ab12Cd"}) {
        test::writeFile(vault.rootURL() / name, std::string("{"));
    }
    vault.removeLeftoverTemporaries();
    EXPECT_EQ(names(), (std::set<std::string>{"kept.json", "kept.vlmedia", "..json.Ab12Cd", ".a_b.json.Ab12Cd"}));
    EXPECT_EQ(ids(), std::vector<std::string>{"kept"});
}

TEST_F(VaultCatalogueTest, OpeningAtStartUpFinishesACommitCutOffBeforeItsMetadata) {
    // Killed after the new media's move, before its metadata: the earlier size beside the new media.
    const DownloadRequest request = lessonRequest("again");
    test::storeLesson(vault, request, test::numberedBytes(3000, 1));
    const std::string earlier = test::readText(vault.metadataURL("again"));
    test::storeLesson(vault, request, test::numberedBytes(2'000'000, 2));
    test::writeFile(vault.metadataURL("again"), earlier);
    const std::string placeholder = test::readText(vault.metadataURL(add(entry("odd")).assetId));  // no commit's header
    vault.repairInterruptedCommits();
    EXPECT_EQ(vault.plainSize({kOwner, "again"}), 2'000'000u);
    EXPECT_TRUE(vault.readRange({kOwner, "again"}, 0, 1'999'999) == test::numberedBytes(2'000'000, 2));
    EXPECT_EQ(test::readText(vault.metadataURL("odd")), placeholder);
}

TEST_F(VaultCatalogueTest, DeleteAndUpdateRefuseUnsafeMissingBrokenAndForeignLessonsTouchingNothing) {
    // Files that an unchecked identifier would reach.
    VaultItem tampered = VaultItem::fromRequest(lessonRequest("x"), VaultManager::ownerHash(kOwner), 1);
    test::writeFile(vault.rootURL() / "lesson_01.json", tampered.encodedJSON());
    fs::create_directory(vault.rootURL() / "sub");
    test::writeFile(vault.rootURL() / "sub" / "x.json", tampered.encodedJSON());
    add(entry("foreign"), "owner-Q");
    test::writeFile(vault.metadataURL("broken"), std::string("{}"));
    const std::set<std::string> before = names();
    const std::string foreignBefore = test::readText(vault.metadataURL("foreign"));
    for (const char* id : {"lesson_01", "sub/x", "foreign", "broken", "missing", ""}) {
        SCOPED_TRACE(id);
        EXPECT_THAT([&] { vault.deleteItem({kOwner, id}); }, throwsVelmora("不能删除其他账号的离线课程"));
        EXPECT_THAT([&] { vault.updateMetadata({kOwner, id}, "T", "T", 1, 1, 1); }, throwsVelmora("当前账号无权更新这份离线课程目录"));
    }
    EXPECT_EQ(names(), before);
    EXPECT_EQ(test::readText(vault.metadataURL("foreign")), foreignBefore);
    EXPECT_TRUE(fs::exists(vault.rootURL() / "sub" / "x.json"));

    // Metadata naming a file outside the vault is never followed when saving.
    tampered.assetId = "../escape";
    test::writeFile(vault.metadataURL("t"), tampered.encodedJSON());
    EXPECT_THROW(vault.updateMetadata({kOwner, "t"}, "T", "T", 1, 1, 1), std::invalid_argument);
    EXPECT_FALSE(fs::exists(vault.rootURL().parent_path() / "escape.json"));
}

TEST_F(VaultCatalogueTest, UpdateCleansTitlesClampsPositionsAndKeepsTheRest) {
    VaultItem expected = add(entry("u1"));
    std::string longTitle;
    for (int i = 0; i < 1500; ++i) longTitle += "e\xCC\x81";  // 1,500 characters of two scalars each
    vault.updateMetadata({kOwner, "u1"}, "Two\r\nWords", longTitle, -5, 4, INT64_MAX);
    std::tie(expected.courseTitle, expected.chapterTitle, expected.courseIndex, expected.chapterIndex, expected.lessonIndex) =
        std::tuple("TwoWords", longTitle.substr(0, 3000), 0, 4, INT64_MAX);
    EXPECT_EQ(VaultItem::decodeJSON(test::readText(vault.metadataURL("u1"))), expected);

    vault.updateMetadata({kOwner, "u1"}, std::string(" \tA\0B\r", 6), "\n", INT64_MIN, -1, 0);
    std::tie(expected.courseTitle, expected.chapterTitle, expected.courseIndex, expected.chapterIndex, expected.lessonIndex) =
        std::tuple(" \tAB", "", 0, 0, 0);
    EXPECT_EQ(VaultItem::decodeJSON(test::readText(vault.metadataURL("u1"))), expected);
    EXPECT_EQ(test::modeOf(vault.metadataURL("u1")), 0600u);
    EXPECT_EQ(names(), (std::set<std::string>{"u1.json", "u1.vlmedia"}));  // no temporary left
}

TEST_F(VaultCatalogueTest, FinalizeCommitsFrom1024BytesPatchingThePlainSize) {
    const DownloadRequest request = lessonRequest("ok");
    const Bytes plain = test::numberedBytes(1024);
    test::sealPartial(vault, request, ByteView(plain).first(1023));
    const std::string partial = test::readText(vault.partialURL("ok"));
    for (std::uint64_t size : {0ull, 1023ull}) {
        EXPECT_THAT([&] { vault.finalize(request, size); }, throwsVelmora("课程媒体内容为空或格式异常"));
    }
    EXPECT_EQ(test::readText(vault.partialURL("ok")), partial);

    test::sealPartial(vault, request, plain);
    vault.finalize(request, 1024);
    EXPECT_EQ(names(), (std::set<std::string>{"ok.json", "ok.vlmedia"}));
    const Bytes media = readWholeFile(vault.mediaURL("ok"));
    EXPECT_EQ(Bytes(media.begin(), media.begin() + 32), VaultManager::makeHeader(1024));
    EXPECT_EQ(test::modeOf(vault.mediaURL("ok")), 0600u);
    EXPECT_EQ(VaultItem::decodeJSON(test::readText(vault.metadataURL("ok"))),
              VaultItem::fromRequest(request, VaultManager::ownerHash(kOwner), 1024));
    EXPECT_EQ(vault.readRange({kOwner, "ok"}, 0, 1023), plain);
}

TEST_F(VaultCatalogueTest, FinalizeNeverReplacesAnotherAccountsLesson) {
    const Bytes theirs = test::numberedBytes(2048, 1);
    test::storeLesson(vault, lessonRequest("shared", "owner-Q"), theirs);
    test::sealPartial(vault, lessonRequest("shared"), test::numberedBytes(4096, 2));
    EXPECT_THAT([&] { vault.finalize(lessonRequest("shared"), 4096); },
                throwsVelmora("本机上的其他账号已保存这节离线课程，无法重复保存"));
    EXPECT_EQ(vault.readRange({"owner-Q", "shared"}, 0, 2047), theirs);
    EXPECT_TRUE(ids().empty());
}

TEST_F(VaultCatalogueTest, ReplacingALessonNeverLeavesItWithoutMedia) {
    const DownloadRequest request = lessonRequest("busy");
    const Bytes plain = test::numberedBytes(2048);
    test::storeLesson(vault, request, plain);
    EXPECT_THROW(vault.finalize(request, 4096), std::system_error);  // nothing to commit
    EXPECT_EQ(vault.readRange({kOwner, "busy"}, 0, 2047), plain);

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

TEST_F(VaultCatalogueTest, NoFileUnderTheVaultHoldsAnyPlaintextWindow) {
    const std::string motif = "VELMORA-PLAINTEXT-MARKER:0123456789abcdefghijklmnopqrstuvwxyz!?#";
    std::string pattern;
    while (pattern.size() < 2'500'000) pattern += motif;
    pattern.resize(2'500'000);
    test::storeLesson(vault, lessonRequest("secret"), bytesOf(pattern));
    test::sealPartial(vault, lessonRequest("half"), bytesOf(pattern));  // an interrupted download

    std::unordered_set<std::string_view> windows;
    for (std::size_t at = 0; at < motif.size(); ++at) windows.insert(std::string_view(pattern).substr(at, 16));
    for (const auto& file : fs::recursive_directory_iterator(vault.rootURL())) {
        const std::string content = test::readText(file.path());
        for (std::size_t at = 0; at + 16 <= content.size(); ++at) {
            ASSERT_FALSE(windows.contains(std::string_view(content).substr(at, 16))) << file.path() << " at " << at;
        }
    }
}

}  // namespace
}  // namespace velmora
