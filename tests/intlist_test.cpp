#include "intlist.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// The program's entry point, renamed in the test build.
int intlistMain();

namespace {

// What a run prints: the first ten digits of pi, last inserted first.
const std::string kOutput = "3562951413";

// Reads fd from its start to its end and closes it.
std::string drain(int fd)
{
    std::string text;
    char buffer[256];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

// Runs body with standard output sent to a temporary file and returns what
// it wrote, flushed or not.
std::string captureStdout(const std::function<void()> &body)
{
    std::fflush(stdout);
    const int sink = ::fileno(std::tmpfile());
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(sink, STDOUT_FILENO);
    body();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    return drain(sink);
}

// Each test starts from the empty list and frees what it built.
class List : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(START, nullptr); }

    void TearDown() override
    {
        while (START != nullptr) {
            ListNode *next = START->nextNode;
            std::free(START);
            START = next;
        }
    }

    static std::string print() { return captureStdout(printLinkedList); }
};

TEST_F(List, PrintsValuesFromLastInsertedToFirstWithoutSeparators)
{
    const struct {
        std::vector<std::int32_t> inserted;
        std::string printed;
    } cases[] = {
        {{}, ""},
        {{5}, "5"},
        {{1, 2, 3}, "321"},
        {{12, 3}, "312"},
        {{-1, 2}, "2-1"},
        {{0, 10}, "100"},
        {{8, 8}, "88"},
        {{INT32_MAX, INT32_MIN}, "-21474836482147483647"},
    };
    for (const auto &c : cases) {
        for (const std::int32_t value : c.inserted) {
            addNewNodeAtStart(creatNode(value));
        }
        EXPECT_EQ(print(), c.printed) << "after inserting " << testing::PrintToString(c.inserted);
        TearDown();
    }
}

TEST_F(List, PrintingTwiceWritesTheSameTextAndKeepsTheList)
{
    addNewNodeAtStart(creatNode(7));
    addNewNodeAtStart(creatNode(-4));
    const ListNode *first = START;
    EXPECT_EQ(captureStdout([] {
                  printLinkedList();
                  printLinkedList();
              }),
              "-47-47");
    EXPECT_EQ(START, first);
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
    EXPECT_EQ(first->nextNode, nullptr);
}

TEST_F(List, RunBuildsTenDigitListAndPrintsItFrontToBack)
{
    int status = -1;
    EXPECT_EQ(captureStdout([&status] { status = intlistMain(); }), kOutput);
    EXPECT_EQ(status, 0);

    std::string walked;
    for (const ListNode *node = START; node != nullptr; node = node->nextNode) {
        walked += std::to_string(node->value);
    }
    EXPECT_EQ(walked, kOutput);
}

#ifdef __SANITIZE_ADDRESS__
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Grows the list under a small address-space limit until the heap runs out.
[[noreturn]] void exhaustHeap()
{
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const auto room =
        static_cast<rlim_t>(pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
    const rlimit limit{room + (rlim_t{64} << 20), RLIM_INFINITY};
    ::setrlimit(RLIMIT_AS, &limit);
    for (;;) {
        addNewNodeAtStart(creatNode(0));
    }
}

TEST(ListDeathTest, ExhaustedHeapIsReportedWithStatusOne)
{
    if (kAddressSanitizer) {
        GTEST_SKIP() << "an address-space limit breaks AddressSanitizer's shadow memory";
    }
    EXPECT_EXIT(exhaustHeap(), testing::ExitedWithCode(1), "^intlist: out of memory\n$");
}

enum class Stdout { Pipe, File, Full, Closed };

struct Outcome {
    std::string out;
    std::string err;
    int status;
};

// Runs the built program with the given arguments and environment, standard
// input closed or not, and standard output sent where asked.
Outcome runProgram(std::vector<std::string> args, char *const *env, bool closeStdin, Stdout where)
{
    int outPipe[2];
    int errPipe[2];
    if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    const int outFile = ::fileno(std::tmpfile());

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (closeStdin) {
        posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
    }
    switch (where) {
    case Stdout::Pipe: posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO); break;
    case Stdout::File: posix_spawn_file_actions_adddup2(&actions, outFile, STDOUT_FILENO); break;
    case Stdout::Full:
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
        break;
    case Stdout::Closed: posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO); break;
    }
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);

    args.insert(args.begin(), INTLIST_BINARY);
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    Outcome run{};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, INTLIST_BINARY, &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    EXPECT_EQ(spawned, 0) << std::strerror(spawned);
    if (spawned == 0) {
        ::waitpid(pid, &run.status, 0);
    }
    run.out = drain(outPipe[0]) + drain(outFile);
    run.err = drain(errPipe[0]);
    return run;
}

char *emptyEnvironment[] = {nullptr};

TEST(Program, PrintsTenDigitsAndExitsZeroWhateverItIsGiven)
{
    const struct {
        const char *what;
        std::vector<std::string> args;
        char *const *env;
        bool closeStdin;
        Stdout where;
    } cases[] = {
        {"plain run into a pipe", {}, environ, false, Stdout::Pipe},
        {"arguments", {"-h", "--version", "extra"}, environ, false, Stdout::Pipe},
        {"empty environment", {}, emptyEnvironment, false, Stdout::Pipe},
        {"standard input closed", {}, environ, true, Stdout::Pipe},
        {"output into a file", {}, environ, false, Stdout::File},
    };
    for (const auto &c : cases) {
        const Outcome run = runProgram(c.args, c.env, c.closeStdin, c.where);
        EXPECT_EQ(run.out, kOutput) << c.what;
        EXPECT_EQ(run.err, "") << c.what;
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << c.what;
    }
}

TEST(Program, FailedWriteIsReportedWithStatusOne)
{
    const struct {
        Stdout where;
        int error;
    } cases[] = {{Stdout::Full, ENOSPC}, {Stdout::Closed, EBADF}};
    for (const auto &c : cases) {
        const Outcome run = runProgram({}, environ, false, c.where);
        EXPECT_EQ(run.err, std::string("intlist: write error: ") + std::strerror(c.error) + "\n");
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << run.status;
    }
}

} // namespace
