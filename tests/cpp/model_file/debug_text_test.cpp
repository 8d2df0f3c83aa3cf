#include "model_file/debug_text.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "model_file/io_error.hpp"

namespace quillmarsh {
namespace {

struct QuoteCase {
  std::string raw;
  std::string quoted;
};
void PrintTo(const QuoteCase& c, std::ostream* os) { *os << c.raw.size() << "_bytes"; }
class DebugQuoted : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(DebugQuoted, EscapesWhatWouldNotPrint) {
  EXPECT_EQ(debug_quoted(GetParam().raw), GetParam().quoted);
}
INSTANTIATE_TEST_SUITE_P(Texts, DebugQuoted,
                         ::testing::Values(QuoteCase{"plain 'text'", R"("plain 'text'")"},
                                           QuoteCase{R"(a"b\c)", R"("a\"b\\c")"},
                                           QuoteCase{std::string("\t\r\n\0", 4), R"("\t\r\n\0")"},
                                           QuoteCase{"\x01\x1b\x7f", R"("\u{1}\u{1b}\u{7f}")"},
                                           QuoteCase{"caf\xC3\xA9", "\"caf\xC3\xA9\""},
                                           QuoteCase{"\xC2\x85\xE2\x80\x8B", R"("\u{85}\u{200b}")"},
                                           QuoteCase{"a\xFF"
                                                     "b",
                                                     R"("a\u{fffd}b")"}));

struct KindCase {
  int code;
  const char* kind;
};
void PrintTo(const KindCase& c, std::ostream* os) { *os << c.kind; }
class IoErrorKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(IoErrorKind, NamesTheErrnoKind) {
  EXPECT_EQ(io_error_kind(GetParam().code), GetParam().kind);
}
INSTANTIATE_TEST_SUITE_P(
    Errnos, IoErrorKind,
    ::testing::Values(KindCase{ENOENT, "NotFound"}, KindCase{EACCES, "PermissionDenied"},
                      KindCase{EPERM, "PermissionDenied"}, KindCase{EEXIST, "AlreadyExists"},
                      KindCase{EISDIR, "IsADirectory"}, KindCase{ENOTDIR, "NotADirectory"},
                      KindCase{ENOSPC, "StorageFull"}, KindCase{EROFS, "ReadOnlyFilesystem"},
                      KindCase{EFBIG, "FileTooLarge"}, KindCase{EINTR, "Interrupted"},
                      KindCase{EINVAL, "InvalidInput"}, KindCase{EDQUOT, "FilesystemQuotaExceeded"},
                      KindCase{ENAMETOOLONG, "InvalidFilename"}, KindCase{ELOOP, "FilesystemLoop"},
                      KindCase{EIO, "Uncategorized"}, KindCase{9999, "Uncategorized"}));

TEST(IoError, RendersOsAndSimpleErrors) {
  EXPECT_EQ(render_os_error(ENOENT),
            R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");
  EXPECT_EQ(render_simple_error("WriteZero", "failed to write whole buffer"),
            R"(Error { kind: WriteZero, message: "failed to write whole buffer" })");
}

}  // namespace
}  // namespace quillmarsh
