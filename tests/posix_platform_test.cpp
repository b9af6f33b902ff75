// The POSIX layer against real descriptors: the contract the filter relies on.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/posix/posix_platform.h"

namespace {

HANDLE H(int fd)
{
    return (HANDLE)(intptr_t)fd;
}

struct Pipe {
    int fds[2];
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe()
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    int reader() const { return fds[0]; }
    int writer() const { return fds[1]; }
    void CloseWriter() { close(fds[1]), fds[1] = -1; }
    void CloseReader() { close(fds[0]), fds[0] = -1; }
};

void SetNonBlocking(int fd)
{
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
}

TEST(PosixPlatform, ErrnoMapping)
{
    const struct {
        int error;
        DWORD code;
    } table[] = {
        {EBADF, 6},   {EACCES, 5},  {EPERM, 5},  {ENOSPC, 112},        {EDQUOT, 112},
        {EPIPE, 232}, {EISDIR, 1},  {EIO, 1117}, {EFBIG, 223},         {EINVAL, 87},
        {ENOENT, 0x20000000u | ENOENT},          {0, 0x20000000u},     {ECONNRESET, 0x20000000u | ECONNRESET},
    };
    for (const auto &t : table)
        EXPECT_EQ(ErrorCodeFromErrno(t.error), t.code) << t.error;
}

TEST(PosixPlatform, StandardHandlesAreTheDescriptors)
{
    EXPECT_EQ(GetStdHandle(STD_INPUT_HANDLE), H(0));
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), H(1));
    EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), H(2));
    for (DWORD unknown : {0u, 3u, (DWORD)-13, (DWORD)-9}) {
        EXPECT_EQ(GetStdHandle(unknown), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), 87u);
    }
}

// Short reads come as they are, and the end of a pipe is a successful read
// of nothing.
TEST(PosixPlatform, ReadsReportEachShortCountAndTheEnd)
{
    Pipe p;
    ASSERT_EQ(write(p.writer(), "0123456789", 10), 10);
    char buffer[60];
    DWORD got = 99;
    ASSERT_TRUE(ReadFile(H(p.reader()), buffer, 57, &got, nullptr));
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    p.CloseWriter();
    got = 99;
    ASSERT_TRUE(ReadFile(H(p.reader()), buffer, 57, &got, nullptr));
    EXPECT_EQ(got, 0u);
}

TEST(PosixPlatform, FailuresClearTheCountAndGiveTheCode)
{
    char buffer[60] = {};
    DWORD count = 99;
    int closedFd = dup(0);
    close(closedFd);
    EXPECT_FALSE(ReadFile(H(closedFd), buffer, 57, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastError(), 6u);

    count = 99;
    EXPECT_FALSE(WriteFile(H(closedFd), buffer, 10, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastError(), 6u);

    EXPECT_FALSE(CloseHandle(H(closedFd)));
    EXPECT_EQ(GetLastError(), 6u);

    int dir = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    EXPECT_FALSE(ReadFile(H(dir), buffer, 57, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(CloseHandle(H(dir)));

    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    EXPECT_FALSE(WriteFile(H(full), buffer, 10, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    close(full);
}

// Without a reader a write fails with ERROR_NO_DATA, as a Windows pipe does.
// (The program ignores SIGPIPE in main; the test does the same.)
TEST(PosixPlatform, WriteWithoutReaderIsNoData)
{
    signal(SIGPIPE, SIG_IGN);
    Pipe p;
    p.CloseReader();
    DWORD count = 99;
    EXPECT_FALSE(WriteFile(H(p.writer()), "abc", 3, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
}

// A non-blocking descriptor that is not ready is waited for, not reported.
TEST(PosixPlatform, NonBlockingDescriptorsAreWaitedFor)
{
    Pipe in;
    SetNonBlocking(in.reader());
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(write(in.writer(), "late", 4), 4);
    });
    char buffer[60];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(H(in.reader()), buffer, 57, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "late");
    writer.join();

    Pipe out;
    SetNonBlocking(out.writer());
    std::string fill(4096, 'f');
    while (write(out.writer(), fill.data(), fill.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    std::thread drainer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        char sink[65536];
        EXPECT_GT(read(out.reader(), sink, sizeof sink), 0);
    });
    DWORD put = 0;
    EXPECT_TRUE(WriteFile(H(out.writer()), "line\r\n", 6, &put, nullptr));
    EXPECT_EQ(put, 6u);
    drainer.join();
}

void Interrupted(int) {}

// A signal that interrupts a blocked read does not surface as a failure.
TEST(PosixPlatform, InterruptedReadIsRetried)
{
    struct sigaction action = {};
    action.sa_handler = Interrupted;  // no SA_RESTART: read() returns EINTR
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    Pipe p;
    pthread_t reader = pthread_self();
    std::thread helper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pthread_kill(reader, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(write(p.writer(), "x", 1), 1);
    });
    char buffer[60];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(H(p.reader()), buffer, 57, &got, nullptr));
    EXPECT_EQ(got, 1u);
    helper.join();
    sigaction(SIGUSR1, &previous, nullptr);
}

// The exit status is the code below 256; any larger code is 255, never a
// wrapped value that could read as success.
TEST(PosixPlatform, ExitStatus)
{
    const struct {
        DWORD code;
        int status;
    } table[] = {{0, 0}, {29, 29}, {255, 255}, {256, 255}, {512, 255}, {0x20000005u, 255}, {0xFFFFFFFFu, 255}};
    for (const auto &t : table) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            ExitProcess(t.code);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), t.status) << t.code;
    }
}

}  // namespace
