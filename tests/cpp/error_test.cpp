#include <gtest/gtest.h>

#include "corvex/error.hpp"
#include "corvex/python/borrow_flag.hpp"
#include "lumora/error.hpp"

namespace corvex {
namespace {

TEST(ReaderError, DisplayTexts) {
    EXPECT_EQ(Error::parse("Idx stream too short for header").display(),
              "parse error: Idx stream too short for header");
    EXPECT_EQ(Error::io(IoError{IoErrorKind::Other, "No OLE2 signature"}).display(), "I/O error: No OLE2 signature");
    const IoError past_end{IoErrorKind::UnexpectedEof,
                           "scan block payload at offset 456 is past the end of the .wiff.scan file (300 bytes)"};
    EXPECT_EQ(Error::scan_read(3, 400, past_end).display(),
              "cannot read scan block for scan=3 at offset 400: scan block payload at offset 456 is past the end "
              "of the .wiff.scan file (300 bytes)");
}

TEST(ReaderError, CauseAndDebugForm) {
    EXPECT_EQ(Error::parse("x").cause(), nullptr);
    const Error scan = Error::scan_read(7, 18446744073709551615ull, IoError{IoErrorKind::Other, "boom \"quoted\""});
    ASSERT_NE(scan.cause(), nullptr);
    EXPECT_EQ(scan.cause()->message, "boom \"quoted\"");
    EXPECT_EQ(scan.debug(),
              "ScanRead { scan_number: 7, offset: 18446744073709551615, source: \"boom \\\"quoted\\\"\" }");
    EXPECT_EQ(Error::parse("p").debug(), "Parse(\"p\")");
    const Error io = Error::io(IoError::from_errno(ENOENT));
    ASSERT_NE(io.cause(), nullptr);
    EXPECT_EQ(io.cause()->kind, IoErrorKind::NotFound);
    EXPECT_EQ(io.debug(), "Io(\"No such file or directory (os error 2)\")");
}

TEST(RecordError, WrapsAReaderErrorWholeAsVendor) {
    const lumora::Error wrapped =
        to_record_error(Error::scan_read(3, 400, IoError{IoErrorKind::UnexpectedEof, "short"}));
    EXPECT_EQ(wrapped.kind(), lumora::Error::Kind::Vendor);
    EXPECT_EQ(wrapped.display(), "vendor parser error: cannot read scan block for scan=3 at offset 400: short");
    const Error* inner = wrapped.vendor_error<Error>();
    ASSERT_NE(inner, nullptr);
    ASSERT_NE(inner->as<Error::ScanRead>(), nullptr);
    EXPECT_EQ(inner->as<Error::ScanRead>()->scan_number, 3u);
    EXPECT_EQ(wrapped.vendor_error<IoError>(), nullptr);
}

TEST(RecordError, DisplayPrefixes) {
    EXPECT_EQ(lumora::Error::io(IoError{IoErrorKind::Other, "disk"}).display(), "I/O error: disk");
    EXPECT_EQ(lumora::Error::unsupported("x").display(), "unsupported or unrecognized format: x");
    EXPECT_EQ(lumora::Error::conformance("y").display(), "conformance violation: y");
}

TEST(BorrowFlag, SharedAccessesExcludeExclusiveAndBack) {
    python::BorrowFlag flag;
    ASSERT_TRUE(flag.try_shared());
    ASSERT_TRUE(flag.try_shared());
    EXPECT_FALSE(flag.try_exclusive());
    flag.release_shared();
    EXPECT_FALSE(flag.try_exclusive());
    flag.release_shared();
    ASSERT_TRUE(flag.try_exclusive());
    EXPECT_FALSE(flag.try_shared());
    EXPECT_FALSE(flag.try_exclusive());
    flag.release_exclusive();
    EXPECT_TRUE(flag.try_shared());
}

}  // namespace
}  // namespace corvex
