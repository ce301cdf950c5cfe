// The indexed-mzML envelope: offsets that point at each element's "<", the
// index list's offset at "<indexList", the checksum over everything before
// it, and errors as values for a full disk and calls out of order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "engine/mzml_document.hpp"
#include "engine/output_file.hpp"
#include "engine/sha1.hpp"
#include "scratch_dir.hpp"

namespace {

using corvex::engine::OutputFile;
using corvex::engine::mzml::DocumentFrame;
using corvex::engine::mzml::DocumentWriter;

std::string element(const char* tag, const std::string& id) {
    return "\n        <" + std::string(tag) + " id=\"" + id + "\">" + std::string(5000, 'x') + "</" + tag + ">";
}

struct Shape {
    const char* name;
    int spectra;
    int chromatograms;
    const char* index_list;  // the start tag the document must hold
};

class Envelope : public testing::TestWithParam<Shape> {};

TEST_P(Envelope, OffsetsAndChecksumVerify) {
    const Shape& shape = GetParam();
    ScratchDir scratch(std::string("envelope_") + shape.name);
    const auto path = scratch / "out.mzML";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    {
        // A small buffer makes the elements and the index go out in many writes.
        DocumentWriter writer(fd, DocumentFrame{"<head>", "\n<between>", "\n</mzML>"});
        for (int i = 0; i < shape.spectra; ++i) {
            ASSERT_EQ(writer.append_spectrum("scan=" + std::to_string(i) + "&", element("spectrum", "s")), 0);
        }
        for (int i = 0; i < shape.chromatograms; ++i) {
            ASSERT_EQ(writer.append_chromatogram("TIC" + std::to_string(i), element("chromatogram", "c")), 0);
        }
        ASSERT_EQ(writer.finish(), 0);
        EXPECT_EQ(writer.finish(), EINVAL);
        EXPECT_EQ(writer.append_spectrum("late", element("spectrum", "late")), EINVAL);
    }
    ::close(fd);
    std::ifstream in(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    EXPECT_EQ(data.rfind("<head>", 0), 0u);
    EXPECT_NE(data.find(shape.index_list), std::string::npos);
    // What follows `tag` up to the next `end`.
    auto after = [&](std::size_t& at, std::string_view tag, char end) {
        at = data.find(tag, at);
        if (at == std::string::npos) return std::string();
        at += tag.size();
        return data.substr(at, data.find(end, at) - at);
    };
    std::size_t at = 0;
    const std::string list_offset = after(at, "<indexListOffset>", '<');
    ASSERT_FALSE(list_offset.empty());
    EXPECT_EQ(data.compare(std::stoull(list_offset), 11, "<indexList "), 0);
    int offsets = 0;
    for (at = 0;;) {
        const std::string id = after(at, "<offset idRef=\"", '"');
        if (at == std::string::npos) break;
        const std::string offset = after(at, "\">", '<');
        const std::string tag = id.rfind("scan=", 0) == 0 ? "<spectrum " : "<chromatogram ";
        EXPECT_EQ(data.compare(std::stoull(offset), tag.size(), tag), 0) << id;
        EXPECT_EQ(tag == "<spectrum ", id.ends_with("&amp;")) << id;  // ids escaped
        ++offsets;
    }
    EXPECT_EQ(offsets, shape.spectra + shape.chromatograms);
    const std::size_t checksum_at = data.find("<fileChecksum>") + 14;
    corvex::engine::Sha1 sha1;
    sha1.update(data.data(), checksum_at);
    EXPECT_EQ(data.substr(checksum_at), *sha1.hex_digest() + "</fileChecksum>\n</indexedmzML>");
}

INSTANTIATE_TEST_SUITE_P(Shapes, Envelope,
                         testing::Values(Shape{"both", 2000, 2, "<indexList count=\"2\">"},
                                         Shape{"spectra_only", 3, 0, "<indexList count=\"1\">\n    <index name=\"spectrum\">"},
                                         Shape{"chromatograms_only", 0, 1,
                                               "<indexList count=\"1\">\n    <index name=\"chromatogram\">"},
                                         Shape{"empty", 0, 0, "<indexList count=\"0\">\n  </indexList>"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EnvelopeFailure, AFullDiskFailsEveryCallAfterward) {
    const int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    DocumentWriter writer(fd, DocumentFrame{"<head>", "", ""});
    int error = 0;
    // The first writes are buffered; one of them or finish() meets the full disk.
    for (int i = 0; i < 2000 && error == 0; ++i) error = writer.append_spectrum("s", element("spectrum", "s"));
    if (error == 0) error = writer.finish();
    EXPECT_EQ(error, ENOSPC);
    EXPECT_EQ(writer.append_chromatogram("TIC", element("chromatogram", "c")), ENOSPC);
    EXPECT_EQ(writer.finish(), ENOSPC);
    ::close(fd);
}

// Texts smaller than, as large as and several times larger than the buffer,
// each handed to the writing thread while the next fills the other buffer,
// reach the file whole and in order.
struct Writes {
    const char* name;
    std::size_t buffer_bytes;
    std::vector<std::size_t> sizes;
};

class BufferedOutput : public testing::TestWithParam<Writes> {};

TEST_P(BufferedOutput, BytesArriveInOrder) {
    const Writes& writes = GetParam();
    ScratchDir scratch(std::string("output_") + writes.name);
    const auto path = scratch / "out.bin";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::string expected;
    {
        OutputFile file(fd, writes.buffer_bytes);
        for (std::size_t k = 0; k < writes.sizes.size(); ++k) {
            std::string text(writes.sizes[k], '\0');
            for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + (k * 7 + i) % 26);
            ASSERT_EQ(file.write(text), 0);
            expected += text;
            if (k % 3 == 2) {
                ASSERT_EQ(file.wait(), 0);  // waiting leaves the buffered bytes alone
            }
        }
        ASSERT_EQ(file.flush(), 0);
    }
    ::close(fd);
    std::ifstream in(path, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BufferedOutput,
                         testing::Values(Writes{"small", 64, {1, 10, 63, 64, 65, 0, 3}},
                                         Writes{"large", 64, {200, 1000, 64, 128, 7, 4096}},
                                         Writes{"one_byte_buffer", 1, {5, 1, 0, 9}},
                                         Writes{"default", OutputFile::default_buffer_bytes,
                                                {3 << 20, 5 << 20, 100, 9 << 20, 1}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BufferedOutputFailure, AFullDiskIsReportedByALaterCallAtTheLatestByFlush) {
    const int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    OutputFile file(fd, 16);
    int error = 0;
    for (int i = 0; i < 10 && error == 0; ++i) error = file.write("0123456789");
    if (error == 0) error = file.flush();
    EXPECT_EQ(error, ENOSPC);
    EXPECT_EQ(file.write("x"), ENOSPC);
    EXPECT_EQ(file.wait(), ENOSPC);
    EXPECT_EQ(file.flush(), ENOSPC);
    ::close(fd);
}

}  // namespace
