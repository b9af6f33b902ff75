// The POSIX layer against real descriptors: the contract the filter relies on
// (platform/platform.h), kept over what POSIX calls really do.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "platform/posix/posix_platform.h"

namespace {

HANDLE HandleOf(int fd)
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

// Fills a non-blocking pipe until it takes no more.
void FillPipe(int writer)
{
    std::string fill(4096, 'f');
    while (write(writer, fill.data(), fill.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
}

// What one call did, in a form a test compares whole: "ok 78" (the count),
// or "failed 44 223" (the count, then GetLastError's code).
std::string Outcome(BOOL ok, DWORD count)
{
    std::string text = (ok ? "ok " : "failed ") + std::to_string(count);
    return ok ? text : text + " " + std::to_string(GetLastError());
}

std::string WriteOutcome(int fd, const std::string &data)
{
    DWORD count = 99;
    BOOL ok = WriteFile(HandleOf(fd), data.data(), (DWORD)data.size(), &count, nullptr);
    return Outcome(ok, count);
}

std::string ReadOutcome(int fd, std::string *data = nullptr)
{
    char buffer[60];
    DWORD count = 99;
    BOOL ok = ReadFile(HandleOf(fd), buffer, 57, &count, nullptr);
    if (data)
        data->assign(buffer, ok ? count : 0);
    return Outcome(ok, count);
}

// Runs body in a child process, so that what it changes (limits, signal
// dispositions, a system call filter) ends with it, and returns what body
// returned, followed by how the child ended when that was not a clean exit.
// The child ends with ExitProcess, as the filter does.
std::string InChild(const std::function<std::string()> &body)
{
    int report[2];
    if (pipe(report) != 0)
        return "no pipe";
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0)
        return "no fork";
    if (child == 0) {
        close(report[0]);
        alarm(10);  // a call that hangs fails the test instead
        std::string text = body();
        ssize_t put = write(report[1], text.data(), text.size());
        ExitProcess(put == (ssize_t)text.size() ? 0 : 1);
    }
    close(report[1]);
    std::string text;
    char buffer[256];
    for (ssize_t got; (got = read(report[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, (size_t)got);
    close(report[0]);
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return text + " [lost the child]";
    if (WIFSIGNALED(status))
        return text + " [killed by signal " + std::to_string(WTERMSIG(status)) + "]";
    if (WEXITSTATUS(status) != 0)
        return text + " [exit " + std::to_string(WEXITSTATUS(status)) + "]";
    return text;
}

// A regular file of the test's own, gone from the directory at once.
int TemporaryFile()
{
    char name[] = "/tmp/b64filter-posix-test-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
        unlink(name);
    return fd;
}

// A lower soft limit while it lives. Children put it back before they end,
// so that the profile a coverage build writes at the end is not cut off.
struct Limit {
    int resource;
    struct rlimit previous;
    Limit(int which, rlim_t value) : resource(which)
    {
        getrlimit(resource, &previous);
        struct rlimit lower = previous;
        lower.rlim_cur = value;
        EXPECT_EQ(setrlimit(resource, &lower), 0);
    }
    ~Limit() { setrlimit(resource, &previous); }
};

std::string Line(size_t length, char fill)
{
    return std::string(length - 2, fill) + "\r\n";
}

TEST(PosixPlatform, ErrnoMapping)
{
    const struct {
        int error;
        DWORD code;
    } table[] = {
        {EBADF, 6},   {EACCES, 5}, {EPERM, 5},  {ENOSPC, 112}, {EDQUOT, 112},
        {EPIPE, 232}, {EISDIR, 1}, {EIO, 1117}, {EFBIG, 223},  {EINVAL, 87},
    };
    for (const auto &t : table)
        EXPECT_EQ(ErrorCodeFromErrno(t.error), t.code) << t.error;
    // Any other errno keeps its value under a bit of its own.
    for (int error : {0, ENOENT, ECONNRESET})
        EXPECT_EQ(ErrorCodeFromErrno(error), 0x20000000u | (DWORD)error) << error;
}

TEST(PosixPlatform, StandardHandlesAreTheDescriptors)
{
    EXPECT_EQ(GetStdHandle(STD_INPUT_HANDLE), HandleOf(0));
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), HandleOf(1));
    EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), HandleOf(2));
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
    std::string data;
    EXPECT_EQ(ReadOutcome(p.reader(), &data), "ok 10");
    EXPECT_EQ(data, "0123456789");
    p.CloseWriter();
    EXPECT_EQ(ReadOutcome(p.reader()), "ok 0");
}

TEST(PosixPlatform, FailuresClearTheCountAndGiveTheCode)
{
    int closedFd = dup(0);
    close(closedFd);
    EXPECT_EQ(ReadOutcome(closedFd), "failed 0 6");
    EXPECT_EQ(WriteOutcome(closedFd, "0123456789"), "failed 0 6");
    // A write of nothing still reaches the descriptor.
    EXPECT_EQ(WriteOutcome(closedFd, ""), "failed 0 6");

    int dir = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    EXPECT_EQ(ReadOutcome(dir), "failed 0 1");
    EXPECT_TRUE(CloseHandle(HandleOf(dir)));

    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    EXPECT_EQ(WriteOutcome(full, "0123456789"), "failed 0 112");
    EXPECT_EQ(WriteOutcome(full, ""), "failed 0 112");
    // A failed close gives its own code, not the last failure's.
    EXPECT_TRUE(CloseHandle(HandleOf(full)));
    EXPECT_FALSE(CloseHandle(HandleOf(full)));
    EXPECT_EQ(GetLastError(), 6u);
    // A refusal that no retry changes is reported at once, whatever its errno
    // (EPERM here, from a memfd sealed against writes, sits below EINTR). In a
    // child, whose alarm turns a retry for ever into a failure.
    EXPECT_EQ(InChild([] {
                  int sealed = memfd_create("b64filter-sealed", MFD_ALLOW_SEALING);
                  if (sealed < 0 || fcntl(sealed, F_ADD_SEALS, F_SEAL_WRITE) != 0)
                      return std::string("no sealed memfd");
                  return WriteOutcome(sealed, "0123456789");
              }),
              "failed 0 5");
    Pipe p;
    EXPECT_EQ(WriteOutcome(p.writer(), ""), "ok 0");
}

// A write to a pipe without a reader, or one at the file-size limit, raises a
// signal whose default action kills the process before it can report. Once
// main's set-up has run, each fails with its code instead: ERROR_NO_DATA, as
// a Windows pipe does, and ERROR_FILE_TOO_LARGE. A synchronous write takes
// the whole buffer or fails: when the limit falls inside a line, write()
// takes the part below it, the rest is offered again and fails, and the call
// reports that failure with the part it took, which stays in the file (even
// when the rest is a single byte).
TEST(PosixPlatform, WritesThatRaiseSignalsFailWithTheirCodes)
{
    const struct {
        size_t limit;
        const char *report;
    } cases[] = {
        {78, "failed 0 232; ok 78; failed 0 223; kept"},
        {122, "failed 0 232; ok 78; failed 44 223; kept"},
        {77, "failed 0 232; failed 77 223; failed 0 223; kept"},
    };
    for (const auto &c : cases) {
        const size_t limit = c.limit;
        std::string report = InChild([limit] {
            IgnoreWriteSignals();
            Pipe p;
            p.CloseReader();
            std::string seen = WriteOutcome(p.writer(), "abc");
            int file = TemporaryFile();
            Limit lower(RLIMIT_FSIZE, limit);
            std::string lines = Line(78, 'a') + Line(78, 'b');
            seen += "; " + WriteOutcome(file, lines.substr(0, 78));
            seen += "; " + WriteOutcome(file, lines.substr(78));
            char stored[200];
            ssize_t size = pread(file, stored, sizeof stored, 0);
            bool kept = size == (ssize_t)limit && std::string(stored, limit) == lines.substr(0, limit);
            return seen + (kept ? "; kept" : "; the file holds something else");
        });
        EXPECT_EQ(report, c.report) << limit;
    }
}

// Whether thread `tid` of this process sleeps, as in a blocked call.
bool Asleep(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t name = text.rfind(')');  // the state follows the command name
    return name != std::string::npos && name + 2 < text.size() && text[name + 2] == 'S';
}

// A non-blocking descriptor that is not ready is waited for, not reported.
TEST(PosixPlatform, NonBlockingDescriptorsAreWaitedFor)
{
    Pipe in;
    SetNonBlocking(in.reader());
    // Written only once the reading thread sleeps in its wait, so the read
    // finds the pipe empty however the threads are scheduled.
    pid_t tid = (pid_t)syscall(SYS_gettid);
    std::thread writer([&] {
        while (!Asleep(tid))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a poll, not a wait
        EXPECT_EQ(write(in.writer(), "late", 4), 4);
    });
    std::string late;
    EXPECT_EQ(ReadOutcome(in.reader(), &late), "ok 4");
    EXPECT_EQ(late, "late");
    writer.join();

    // A write takes what the pipe has room for, waits, and goes on as a
    // reader drains it, until the whole buffer is taken, in order.
    Pipe out;
    SetNonBlocking(out.writer());
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)(i * 7 + (i >> 12));
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t got; (got = read(out.reader(), buffer, sizeof buffer)) > 0;) {
            received.append(buffer, (size_t)got);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    EXPECT_EQ(WriteOutcome(out.writer(), data), "ok " + std::to_string(data.size()));
    out.CloseWriter();
    reader.join();
    EXPECT_TRUE(received == data);
}

// When poll itself fails (here: a limit of no descriptors at all makes it
// refuse with EINVAL), the call fails with poll's code instead of waiting
// forever or spinning.
TEST(PosixPlatform, AFailedWaitEndsTheCall)
{
    std::string report = InChild([] {
        Pipe in, out;
        SetNonBlocking(in.reader());
        SetNonBlocking(out.writer());
        FillPipe(out.writer());
        Limit limit(RLIMIT_NOFILE, 0);
        std::string seen = ReadOutcome(in.reader());
        return seen + "; " + WriteOutcome(out.writer(), "line\r\n");
    });
    EXPECT_EQ(report, "failed 0 87; failed 0 87");
}

void Interrupted(int) {}

// SIGUSR1 with a handler that does not restart calls, so each one a signal
// lands in returns EINTR; the previous handler comes back at the end.
struct InterruptingSignal {
    struct sigaction previous;
    InterruptingSignal()
    {
        struct sigaction action = {};
        action.sa_handler = Interrupted;
        EXPECT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    }
    ~InterruptingSignal() { sigaction(SIGUSR1, &previous, nullptr); }
};

// Interrupts the calling thread with SIGUSR1 five times, each time once it
// has blocked (again) in its call, then runs `then` to let the call finish.
std::thread InterruptThen(const std::function<void()> &then)
{
    pthread_t target = pthread_self();
    pid_t tid = (pid_t)syscall(SYS_gettid);
    return std::thread([target, tid, then] {
        for (int sent = 0; sent < 5;) {
            if (Asleep(tid)) {
                pthread_kill(target, SIGUSR1);
                sent++;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        then();
    });
}

// A signal that interrupts a blocked call, or its wait for a non-blocking
// descriptor, does not surface as a failure, nor does a write cut short by
// one lose the rest of its buffer.
TEST(PosixPlatform, InterruptedCallsAreRetried)
{
    // Under qemu-i386 (Debian 12's 7.2), once a signal has interrupted this
    // thread's read, joining the thread that sent it fails with EDEADLK
    // ("Resource deadlock avoided"): the same program, built for i386, joins
    // when run natively, and under qemu-aarch64 built for aarch64.
    const char *qemu = getenv("B64_QEMU");
    if (qemu && std::string(qemu) == "i386")
        GTEST_SKIP() << "qemu-i386 cannot join a thread after a signal interrupted the joining one";
    InterruptingSignal interrupting;
    for (bool nonBlocking : {false, true}) {
        Pipe p;
        if (nonBlocking)
            SetNonBlocking(p.reader());
        std::thread helper = InterruptThen([&] { EXPECT_EQ(write(p.writer(), "x", 1), 1); });
        EXPECT_EQ(ReadOutcome(p.reader()), "ok 1") << (nonBlocking ? "waiting" : "reading");
        helper.join();
    }

    Pipe out;
    std::string data(1 << 18, 'w');
    std::atomic<size_t> drained{0};
    std::thread helper = InterruptThen([&] {
        char sink[65536];
        for (ssize_t got; (got = read(out.reader(), sink, sizeof sink)) > 0;)
            drained += (size_t)got;
    });
    EXPECT_EQ(WriteOutcome(out.writer(), data), "ok " + std::to_string(data.size()));
    out.CloseWriter();
    helper.join();
    EXPECT_EQ(drained, data.size());
}

// A system call filter for this process that makes write() on one
// descriptor return 0 when offered exactly `count` bytes, and close() on
// another fail with closeError (EINTR unless given) without closing it:
// answers a real device or file system can give, and no ordinary one gives
// at will.
bool FilterCalls(int writeFd, DWORD count, int closeFd, int closeError = EINTR)
{
    const unsigned low = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0 : 4;
    struct sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0]) + low),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)writeFd, 0, 7),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2]) + low),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, count, 0, 5),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO),  // an errno of 0: write() returns 0
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0]) + low),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)closeFd, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (unsigned)closeError),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog filter = {(unsigned short)(sizeof program / sizeof program[0]), program};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

// A write() that takes nothing ends the call, successfully, with what the
// earlier ones took: asking again would take nothing again. And close()
// failing with EINTR has closed the descriptor on Linux, so it is no failure.
TEST(PosixPlatform, DeviceTakingNothingAndInterruptedClose)
{
    std::string report = InChild([] {
        IgnoreWriteSignals();
        int file = TemporaryFile();
        int other = dup(file);
        Limit limit(RLIMIT_FSIZE, 44);  // the first write() takes 44 of 78
        if (!FilterCalls(file, 78 - 44, other))
            return std::string("no system call filter");
        std::string seen = WriteOutcome(file, Line(78, 'a'));
        return seen + "; close " + (CloseHandle(HandleOf(other)) ? "ok" : "failed");
    });
    if (report == "no system call filter")
        GTEST_SKIP() << "seccomp filters are not available here (qemu-user, for one, refuses them "
                        "to the program it runs, as it would filter qemu's own calls)";
    EXPECT_EQ(report, "ok 44; close ok");
    // Only EINTR counts as closed: a refusal whose errno sits below it
    // (EPERM, as a file system's flush may give) is a failure with its code.
    report = InChild([] {
        int file = TemporaryFile();
        if (!FilterCalls(-1, 0, file, EPERM))
            return std::string("no system call filter");
        return CloseHandle(HandleOf(file)) ? std::string("close ok")
                                           : "failed " + std::to_string(GetLastError());
    });
    EXPECT_EQ(report, "failed 5");
}

// The exit status is the code below 256; any larger code is 255, never a
// wrapped value that could read as success.
TEST(PosixPlatform, ExitStatus)
{
    const struct {
        DWORD code;
        int status;
    } table[] = {
        {0, 0}, {29, 29}, {255, 255}, {256, 255}, {512, 255}, {0x20000005u, 255}, {0xFFFFFFFFu, 255},
    };
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
