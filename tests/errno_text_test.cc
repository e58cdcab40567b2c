// The errno texts that the launcher runtime carries in place of glibc's
// newer functions, called directly.
#include <errno.h>
#include <string.h>

#include <gtest/gtest.h>

#include "launcher.h"

namespace {

// The texts a child's exec-failure line carries, against the host's strerror
// (in the C locale: the tests never call setlocale).
TEST(ErrnoText, EveryErrorAUserMeetsReadsAsTheSystemSaysIt)
{
    for (int error : {ENOENT, EACCES, ENOEXEC, ETXTBSY, ENOMEM, E2BIG, ELOOP, ENAMETOOLONG,
                      ENOTDIR, EISDIR, ELIBBAD, EPERM, EIO}) {
        char room[ERRNO_TEXT_ROOM];
        EXPECT_STREQ(errno_text(error, room), strerror(error)) << error;
    }
}

TEST(ErrnoText, EveryNumberReadsAsTheSystemSaysIt)
{
    // Unknown numbers too: beyond the last, between known ones (41, 58) and
    // negative ones come out as "Unknown error N".
    for (int error = -300; error <= 300; error++) {
        char room[ERRNO_TEXT_ROOM];
        EXPECT_STREQ(errno_text(error, room), strerror(error)) << error;
    }
    for (int error : {2147483647, -2147483647 - 1, 100000}) {
        char room[ERRNO_TEXT_ROOM];
        EXPECT_STREQ(errno_text(error, room), strerror(error)) << error;
    }
    char room[ERRNO_TEXT_ROOM];
    EXPECT_STREQ(errno_text(4242, room), "Unknown error 4242");
}

}  // namespace
