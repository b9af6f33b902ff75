#include "tests/proof/shards.h"

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace proof {

unsigned ShardCount()
{
    unsigned cores = std::thread::hardware_concurrency();
    return cores ? cores : 1;
}

void ShardRange(uint64_t count, unsigned shard, unsigned shards, uint64_t *from, uint64_t *to)
{
    *from = count * shard / shards;
    *to = count * (shard + 1) / shards;
}

std::string InThreads(const std::function<std::string(unsigned, unsigned)> &part)
{
    const unsigned shards = ShardCount();
    std::vector<std::string> reports(shards);
    std::vector<std::thread> threads;
    for (unsigned shard = 0; shard < shards; shard++)
        threads.emplace_back([&, shard] { reports[shard] = part(shard, shards); });
    std::string all;
    for (unsigned shard = 0; shard < shards; shard++) {
        threads[shard].join();
        all += reports[shard];
    }
    return all;
}

std::string InProcesses(const std::function<std::string(unsigned, unsigned)> &part)
{
    const unsigned shards = ShardCount();
    std::vector<pid_t> children;
    std::vector<int> pipes;
    fflush(nullptr);  // nothing buffered is written twice
    for (unsigned shard = 0; shard < shards; shard++) {
        int ends[2];
        if (pipe(ends) != 0)
            return "pipe() failed\n";
        pid_t child = fork();
        if (child < 0)
            return "fork() failed\n";
        if (child == 0) {
            close(ends[0]);
            const std::string report = part(shard, shards);
            for (size_t at = 0; at < report.size();) {
                ssize_t n = write(ends[1], report.data() + at, report.size() - at);
                if (n <= 0)
                    _exit(2);
                at += (size_t)n;
            }
            _exit(0);
        }
        close(ends[1]);
        children.push_back(child);
        pipes.push_back(ends[0]);
    }
    // A child's report is read to its end before the next one's; a child
    // blocked on a full pipe waits for nothing else, so none can deadlock.
    std::string all;
    for (unsigned shard = 0; shard < shards; shard++) {
        char buffer[4096];
        for (ssize_t n; (n = read(pipes[shard], buffer, sizeof buffer)) > 0;)
            all.append(buffer, (size_t)n);
        close(pipes[shard]);
        int status = 0;
        waitpid(children[shard], &status, 0);
        if (WIFSIGNALED(status))
            all += "shard " + std::to_string(shard) + " died of signal " + std::to_string(WTERMSIG(status)) +
                   "\n";
        else if (WEXITSTATUS(status) != 0)
            all += "shard " + std::to_string(shard) + " exited with " + std::to_string(WEXITSTATUS(status)) +
                   "\n";
    }
    return all;
}

std::string Hex(uint64_t value)
{
    char text[24];
    snprintf(text, sizeof text, "0x%llX", (unsigned long long)value);
    return text;
}

std::string Escaped(const std::string &bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        char one[8];
        if (c >= 0x20 && c < 0x7F && c != '\\')
            snprintf(one, sizeof one, "%c", c);
        else
            snprintf(one, sizeof one, "\\x%02X", c);
        text += one;
    }
    return text;
}

}  // namespace proof
