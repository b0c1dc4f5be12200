// The debug dump: its exact text on file descriptor 1, and failures of the write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "internal_failure.hpp"
#include "minimal_parser/util.hpp"

namespace modweave::minimal_parser {
namespace {

// Points file descriptor 1 somewhere else for the lifetime of the object.
class RedirectedStdout {
public:
    explicit RedirectedStdout(int target) : saved_(::dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        if (target >= 0) {
            ::dup2(target, STDOUT_FILENO);
        } else {
            ::close(STDOUT_FILENO);
        }
    }
    ~RedirectedStdout() {
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
    RedirectedStdout(const RedirectedStdout&) = delete;
    RedirectedStdout& operator=(const RedirectedStdout&) = delete;

private:
    int saved_;
};

std::string captured_dump(const std::vector<ImportStmt>& imports) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        ADD_FAILURE() << "no temporary file";
        return {};
    }
    {
        RedirectedStdout redirect(::fileno(file));
        dump_imports(imports);
    }
    std::string text;
    std::rewind(file);
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, count);
    std::fclose(file);
    return text;
}

struct DumpCase {
    std::vector<ImportStmt> imports;
    std::string expected;
};

TEST(ParserDump, WritesTheExactTextToFileDescriptorOne) {
    const std::vector<DumpCase> cases = {
        {{}, ""},
        {{ImportFrom{2, "x", {Alias{"y", "z"}, Alias{"w", std::nullopt}}}},
         "ImportFrom: {\n  level: 2\n  module: x\n  {\n    name: y\n    asname: z\n    name: w\n"
         "  }\n}\n"},
        {{Import{{Alias{"a.b", "c"}, Alias{"d", std::nullopt}}}},
         "Import: {\n  {\n    name: a.b\n    asname: c\n    name: d\n  }\n}\n"},
        {{Import{}}, "Import: {\n  {\n  }\n}\n"},
        {{ImportFrom{1, "", {Alias{"x", std::nullopt}}}},
         "ImportFrom: {\n  level: 1\n  module: \n  {\n    name: x\n  }\n}\n"},
        {{ImportFrom{std::nullopt, std::nullopt, {}}}, "ImportFrom: {\n  {\n  }\n}\n"},
        {{ImportFrom{0, std::nullopt, {}}}, "ImportFrom: {\n  level: 0\n  {\n  }\n}\n"},
        {{Import{{Alias{"a", std::nullopt}}}, ImportFrom{0, "os", {}}},
         "Import: {\n  {\n    name: a\n  }\n}\nImportFrom: {\n  level: 0\n  module: os\n  {\n"
         "  }\n}\n"},
    };
    for (const DumpCase& c : cases) {
        EXPECT_EQ(captured_dump(c.imports), c.expected);
        EXPECT_EQ(format_imports(c.imports), c.expected);
    }
}

TEST(ParserDump, AliasBlockTakesItsIndent) {
    std::string out;
    dump_alias({Alias{"n", "m"}}, 4, out);
    EXPECT_EQ(out, "    {\n      name: n\n      asname: m\n    }\n");
}

void expect_print_failure(int target, std::string_view error_text) {
    const std::vector<ImportStmt> imports = {Import{{Alias{"a", std::nullopt}}}};
    RedirectedStdout redirect(target);
    try {
        dump_imports(imports);
        ADD_FAILURE() << "expected InternalFailure";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(),
                  std::string("failed printing to stdout: ") + std::string(error_text));
    }
}

TEST(ParserDump, FailedWriteIsAnInternalFailureNamingStreamAndError) {
    expect_print_failure(-1, "Bad file descriptor");
    const int full = ::open("/dev/full", O_WRONLY);
    if (full >= 0) {
        expect_print_failure(full, "No space left on device");
        ::close(full);
    }
}

TEST(ParserDump, EmptyDumpWritesNothingEvenToABrokenStream) {
    RedirectedStdout redirect(-1);
    EXPECT_NO_THROW(dump_imports({}));
}

// Interrupts the writer with a signal every 200 microseconds while a slow reader drains a pipe,
// so write() returns early with partial counts and EINTR; every byte must still arrive in order.
TEST(ParserDump, WriteAllSurvivesInterruptsAndPartialWrites) {
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    std::string payload(3 << 20, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 23);

    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: interrupted writes must surface
    struct sigaction previous = {};
    ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);

    std::string received;
    std::thread reader([&] {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        char buffer[1024];
        for (;;) {
            const ssize_t count = ::read(pipe_ends[0], buffer, sizeof buffer);
            if (count <= 0) break;
            received.append(buffer, static_cast<std::size_t>(count));
            if (received.size() % (64 * 1024) < sizeof buffer) std::this_thread::yield();
        }
    });

    itimerval timer = {};
    timer.it_interval.tv_usec = 200;
    timer.it_value.tv_usec = 200;
    ::setitimer(ITIMER_REAL, &timer, nullptr);
    EXPECT_NO_THROW(write_all(pipe_ends[1], payload, "pipe"));
    timer = {};
    ::setitimer(ITIMER_REAL, &timer, nullptr);
    ::sigaction(SIGALRM, &previous, nullptr);
    ::close(pipe_ends[1]);
    reader.join();
    ::close(pipe_ends[0]);
    EXPECT_EQ(received.size(), payload.size());
    EXPECT_TRUE(received == payload);
}

}  // namespace
}  // namespace modweave::minimal_parser
