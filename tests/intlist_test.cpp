#include "intlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// The program's entry point, renamed in the test build.
int intlistMain();

namespace {

// What a run prints: the first ten digits of pi, last inserted first.
const std::string kOutput = "3562951413";

// What a failed write to standard output puts before the system's reason.
const std::string kWriteError = "intlist: write error: ";

// Reads stream to its end.
std::string readAll(std::FILE *stream)
{
    std::string text;
    char buffer[256];
    for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) {
        text.append(buffer, count);
    }
    return text;
}

// Runs body with standard output sent to a temporary file and returns what
// it wrote, flushed or not. Without a temporary file the test fails and body
// does not run.
std::string captureStdout(const std::function<void()> &body)
{
    std::FILE *sink = std::tmpfile();
    if (sink == nullptr) {
        ADD_FAILURE() << "tmpfile: " << std::strerror(errno);
        return {};
    }
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(::fileno(sink), STDOUT_FILENO);
    body();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    std::string text;
    if (std::fseek(sink, 0, SEEK_SET) != 0) {
        ADD_FAILURE() << "fseek: " << std::strerror(errno);
    } else {
        text = readAll(sink);
    }
    std::fclose(sink);
    return text;
}

// Each test starts from the empty list and frees what it built.
class List : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(START, nullptr); }
    void TearDown() override { clear(); }

    static void clear()
    {
        while (START != nullptr) {
            ListNode *next = START->nextNode;
            std::free(START);
            START = next;
        }
    }
};

TEST_F(List, PrintsValuesFromLastInsertedToFirstAsOftenAsAsked)
{
    const std::pair<std::vector<std::int32_t>, std::string> cases[] = {
        {{}, ""},
        {{5}, "5"},
        {{1, 2, 3}, "321"},
        {{12, 3}, "312"},
        {{-1, 2}, "2-1"},
        {{0, 10}, "100"},
        {{8, 8}, "88"},
        {{INT32_MAX, INT32_MIN}, "-21474836482147483647"},
    };
    for (const auto &[inserted, printed] : cases) {
        for (const std::int32_t value : inserted) {
            addNewNodeAtStart(creatNode(value));
        }
        const std::string twice = captureStdout([] {
            printLinkedList();
            printLinkedList();
        });
        EXPECT_EQ(twice, printed + printed) << testing::PrintToString(inserted);
        clear();
    }
}

TEST_F(List, NewNodeIsUnlinkedUntilInsertedAtTheFront)
{
    ListNode *first = creatNode(1);
    EXPECT_EQ(first->value, 1);
    EXPECT_EQ(first->nextNode, nullptr);
    EXPECT_EQ(START, nullptr);

    addNewNodeAtStart(first);
    EXPECT_EQ(START, first);
    EXPECT_EQ(first->nextNode, nullptr);

    ListNode *second = creatNode(2);
    addNewNodeAtStart(second);
    EXPECT_EQ(START, second);
    EXPECT_EQ(second->nextNode, first);
}

// GoogleTest passes a death test's standard error through a file, which it
// makes in its temporary directory (TMPDIR's, say) from version 1.13 on and in
// /tmp before, and aborts the whole run if it cannot.
class DeathTest : public testing::Test {
protected:
    void SetUp() override
    {
        for (const std::string &folder : {testing::TempDir(), std::string("/tmp/")}) {
            ASSERT_EQ(::access(folder.c_str(), W_OK), 0)
                << "no death test can capture its output in " << folder << ": "
                << std::strerror(errno);
        }
    }
};
using ListDeathTest = DeathTest;
using ProgramDeathTest = DeathTest;

// Runs the program with standard output on a temporary file. The program
// closes standard output, so it runs in a death test's child, where that
// cannot silence the test runner; the child writes to standard error what the
// program printed and the list it left, a line each, and exits with the
// program's status, or with status 2 where no temporary file can be had.
[[noreturn]] void runAndReport()
{
    std::fflush(stdout);
    std::FILE *sink = std::tmpfile();
    if (sink == nullptr || ::dup2(::fileno(sink), STDOUT_FILENO) == -1) {
        std::perror("temporary standard output");
        std::_Exit(2);
    }
    const int status = intlistMain();
    std::string walked;
    for (const ListNode *node = START; node != nullptr; node = node->nextNode) {
        walked += std::to_string(node->value);
    }
    std::fseek(sink, 0, SEEK_SET);
    std::fprintf(stderr, "%s\n%s\n", readAll(sink).c_str(), walked.c_str());
    std::_Exit(status);
}

TEST_F(ProgramDeathTest, RunBuildsTenDigitListAndPrintsItFrontToBack)
{
    EXPECT_EXIT(runAndReport(), testing::ExitedWithCode(0), "^" + kOutput + "\n" + kOutput + "\n$");
}

// GCC says it builds with AddressSanitizer in a macro, Clang only through
// __has_feature.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

// Grows the list under a small address-space limit until the heap runs out.
// It lowers only the soft limit, which needs no privilege whatever the hard
// limit is; where even that fails, it says why and exits with status 2.
[[noreturn]] void exhaustHeap()
{
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const auto mapped = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0) {
        limit.rlim_cur = std::min(mapped + (rlim_t{64} << 20), limit.rlim_max);
        if (::setrlimit(RLIMIT_AS, &limit) == 0) {
            for (;;) {
                addNewNodeAtStart(creatNode(0));
            }
        }
    }
    std::perror("address-space limit");
    std::_Exit(2);
}

TEST_F(ListDeathTest, ExhaustedHeapIsReportedWithStatusOne)
{
    if (kAddressSanitizer) {
        GTEST_SKIP() << "an address-space limit breaks AddressSanitizer's shadow memory";
    }
    EXPECT_EXIT(exhaustHeap(), testing::ExitedWithCode(1), "^intlist: out of memory\n$");
}

// Runs a shell command line in which @ stands for the built program, and
// returns what the line wrote to standard output and its exit status. The
// program's path reaches the shell in the environment, where no character of
// it, a quote or a space, needs quoting.
std::pair<std::string, int> shell(std::string line)
{
    ::setenv("INTLIST", INTLIST_BINARY, 1);
    line.replace(line.find('@'), 1, "\"$INTLIST\"");
    std::FILE *pipe = ::popen(line.c_str(), "r"); // NOLINT(cert-env33-c): the shell is the point
    if (pipe == nullptr) {
        return {std::strerror(errno), -1};
    }
    std::string out = readAll(pipe);
    const int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(Program, WritesItsDigitsWhateverItIsGivenAndReportsFailedWrites)
{
    const std::tuple<const char *, std::string, int> cases[] = {
        {"@ 2>&1", kOutput, 0},
        {"@ -h --version extra 2>&1", kOutput, 0},
        {"env -i @ 2>&1", kOutput, 0},
        {"@ <&- 2>&1", kOutput, 0},
        {R"(f=$(mktemp) && @ >"$f" 2>&1; s=$?; cat "$f"; rm "$f"; exit $s)", kOutput, 0},
        {"@ 2>&1 >/dev/full", kWriteError + std::strerror(ENOSPC) + "\n", 1},
        {"@ 2>&1 >&-", kWriteError + std::strerror(EBADF) + "\n", 1},
    };
    for (const auto &[line, output, status] : cases) {
        EXPECT_EQ(shell(line), std::make_pair(output, status)) << line;
    }
}

// Runs the program with standard output unbuffered on a full device, so that
// each write fails inside printf, leaves nothing for the final flush to report
// and shows only in the stream's error flag. Exits with status 2 if standard
// output cannot be set up so.
[[noreturn]] void runUnbufferedOnFullDevice()
{
    if (std::freopen("/dev/full", "w", stdout) == nullptr ||
        std::setvbuf(stdout, nullptr, _IONBF, 0) != 0) {
        std::perror("unbuffered /dev/full");
        std::_Exit(2);
    }
    std::exit(intlistMain());
}

TEST_F(ProgramDeathTest, WriteErrorSeenOnlyInTheStreamIsReported)
{
    EXPECT_EXIT(runUnbufferedOnFullDevice(),
                testing::ExitedWithCode(1),
                "^" + kWriteError + std::strerror(ENOSPC) + "\n$");
}

// Runs the program with standard output on /dev/null and a seccomp filter
// that fails close(2) of descriptor 1 with EIO, as NFS or a FUSE file system
// does when a write it took earlier fails. Exits with status 2 if standard
// output cannot be set up so. The filter injects a fault, it guards nothing,
// so it matches the call's number without checking the architecture.
[[noreturn]] void runWithFailingClose()
{
    // The descriptor is the low half of the first argument.
    constexpr std::uint32_t descriptorOffset =
        offsetof(seccomp_data, args[0]) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, descriptorOffset),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, STDOUT_FILENO, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{};
    program.len = static_cast<unsigned short>(std::size(filter));
    program.filter = filter;
    if (std::freopen("/dev/null", "w", stdout) == nullptr ||
        ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("failing close of standard output");
        std::_Exit(2);
    }
    std::exit(intlistMain());
}

TEST_F(ProgramDeathTest, WriteErrorSeenOnlyAtCloseIsReported)
{
    EXPECT_EXIT(runWithFailingClose(),
                testing::ExitedWithCode(1),
                "^" + kWriteError + std::strerror(EIO) + "\n$");
}

} // namespace
