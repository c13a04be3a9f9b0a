#include "VaultTestSupport.h"

#include "vault/LessonWriter.h"

#include <algorithm>
#include <filesystem>
#include <functional>

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1'048'576;

class LessonWriterTest : public testing::Test, public test::VaultFixture {};

// However the plaintext arrives, the committed lesson reads back whole, one record per MiB.
TEST_F(LessonWriterTest, CommitsTheSameLessonWhateverThePiecesAndResumes) {
    const Bytes plain = test::numberedBytes(2 * kMiB + 5000);
    const ByteView all(plain);
    struct Case {
        const char* name;
        std::function<void(LessonWriter&)> write;
    };
    const Case cases[] = {
        {"OnePiece", [&](LessonWriter& w) { w.append(all); }},
        {"OddPieces",
         [&](LessonWriter& w) {
             for (std::size_t at = 0, step = 1; at < plain.size(); at += step, step = step * 7 + 3) {
                 w.append(all.subspan(at, std::min(step, plain.size() - at)));
             }
         }},
        {"TornRecordRewound",
         [&](LessonWriter& w) {
             w.append(all.first(kMiB + 700));
             w.rewindToLastRecord();
             w.append(all.subspan(w.sealedBytes()));
         }},
        {"StartedOver",
         [&](LessonWriter& w) {
             w.append(test::numberedBytes(kMiB + 9, 5));
             w.restart();
             w.append(all);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LessonWriter writer(vault, test::lessonRequest("movie"));
        c.write(writer);
        EXPECT_EQ(writer.commit(), plain.size());
        EXPECT_EQ(fs::file_size(vault.mediaURL("movie")), 32 + 3 * 32 + plain.size());
        EXPECT_EQ(vault.readRange({"owner-K", "movie"}, 0, plain.size() - 1), plain);
        EXPECT_FALSE(fs::exists(vault.partialURL("movie")));
    }
}

// A writer that ends any other way than a commit leaves no ".part" and no lesson.
TEST_F(LessonWriterTest, EndingUncommittedRemovesThePartialFile) {
    const Bytes plain = test::numberedBytes(kMiB + 1);
    struct Case {
        const char* name;
        LessonWriter::Hooks hooks;
        std::function<void(LessonWriter&)> write;
    };
    const Case cases[] = {
        {"Abandoned", {}, [&](LessonWriter& w) { w.append(plain); }},
        {"RecordRefused",
         {[](std::size_t) { throw VelmoraError("no room"); }, {}},
         [&](LessonWriter& w) { EXPECT_THROW(w.append(plain), VelmoraError); }},
        {"CommitRefused", {},
         [&](LessonWriter& w) {
             w.append(ByteView(plain).first(1000));
             EXPECT_THROW(w.commit(), VelmoraError);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            LessonWriter writer(vault, test::lessonRequest("half"), c.hooks);
            c.write(writer);
            EXPECT_TRUE(fs::exists(vault.partialURL("half")));
        }
        EXPECT_FALSE(fs::exists(vault.partialURL("half")));
        EXPECT_FALSE(fs::exists(vault.mediaURL("half")));
    }
}

}  // namespace
}  // namespace velmora
