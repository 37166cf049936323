#include "testsupport/slowdisc.h"

#include "testsupport/spawn.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

namespace {

template <typename Result>
Result ShimCall(const char* name, Result otherwise)
{
    using Function = Result (*)();
    auto* function = reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
    return function != nullptr ? function() : otherwise;
}

std::string ShellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The value of a "NAME=value" entry of this process's environment with more appended.
std::string Appended(const char* name, const std::string& more)
{
    const char* old = std::getenv(name);
    return std::string(name) + "=" + (old != nullptr && *old != '\0' ? std::string(old) + ":" : std::string()) + more;
}

}   // namespace

bool MakeSlowDisc(const std::string& out, const std::string& kind, const std::vector<int>& numbers)
{
    std::string command = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
                          "/../app/testsupport/python /usr/bin/python3 -W ignore " KV_SLOWDISC_MAKER " " +
                          ShellQuoted(out) + " " + kind;
    for (int number : numbers) {
        command += " " + std::to_string(number);
    }
    return std::system(command.c_str()) == 0;
}

std::vector<std::string> SlowDiscEnvironment(const SlowDiscSettings& settings, const std::string& report)
{
    std::vector<std::string> entries = {
        Appended("LD_PRELOAD", KV_SLOWDISC_LIB),
        "KV_SLOWDISC_ROOT=" + settings.root,
        "KV_SLOWDISC_RATE=" + std::to_string(settings.bytesPerSecond),
        "KV_SLOWDISC_SEEK_MS=" + std::to_string(settings.seekMs),
        "KV_SLOWDISC_SPINUP_MS=" + std::to_string(settings.spinUpMs),
        "KV_SLOWDISC_READAHEAD_KB=" + std::to_string(settings.readAheadKb),
        "KV_SLOWDISC_CACHE_MB=" + std::to_string(settings.cacheMb),
        "KV_SLOWDISC_FAIL=" + settings.fail,
        "KV_SLOWDISC_FAIL_MS=" + std::to_string(settings.failMs),
        "KV_SLOWDISC_MARK=" + settings.mark,
        "KV_SLOWDISC_MARK_READ=" + settings.markRead,
        // AddressSanitizer wants its library first; the medium only passes calls on to it.
        Appended("ASAN_OPTIONS", "verify_asan_link_order=0"),
    };
    if (!report.empty()) {
        entries.push_back("KV_SLOWDISC_REPORT=" + report);
    }
    return entries;
}

bool OnSlowDisc()
{
    return dlsym(RTLD_DEFAULT, "kv_slowdisc_gui_reads") != nullptr;
}

std::string SlowDiscRoot()
{
    const char* root = std::getenv("KV_SLOWDISC_ROOT");
    return root != nullptr ? root : "";
}

long SlowDiscGuiReads()
{
    return ShimCall<long>("kv_slowdisc_gui_reads", 0);
}
std::string SlowDiscFirstGuiRead()
{
    return ShimCall<const char*>("kv_slowdisc_first_gui_read", "");
}
long SlowDiscReads()
{
    return ShimCall<long>("kv_slowdisc_reads", 0);
}
long SlowDiscSeeks()
{
    return ShimCall<long>("kv_slowdisc_seeks", 0);
}
long long SlowDiscHeadBusyUntil()
{
    return ShimCall<long long>("kv_slowdisc_busy_until", 0);
}
long SlowDiscLockedBytes()
{
    return ShimCall<long>("kv_slowdisc_locked_bytes", 0);
}
long SlowDiscStoppedReads()
{
    return ShimCall<long>("kv_slowdisc_stopped_reads", 0);
}
long SlowDiscStoppedBytes()
{
    return ShimCall<long>("kv_slowdisc_stopped_bytes", 0);
}
SlowDiscLockHook SlowDiscImageLockHook()
{
    return reinterpret_cast<SlowDiscLockHook>(dlsym(RTLD_DEFAULT, "kv_slowdisc_image_lock"));
}
SlowDiscStopHook SlowDiscReaderStopHook()
{
    return reinterpret_cast<SlowDiscStopHook>(dlsym(RTLD_DEFAULT, "kv_slowdisc_reader_stop"));
}
SlowDiscPriorityHook SlowDiscReaderPriorityHook()
{
    return reinterpret_cast<SlowDiscPriorityHook>(dlsym(RTLD_DEFAULT, "kv_slowdisc_reader_priority"));
}

SlowDiscPriorityHook SlowDiscMediumTurnHook()
{
    return reinterpret_cast<SlowDiscPriorityHook>(dlsym(RTLD_DEFAULT, "kv_slowdisc_medium_turn"));
}

void SlowDiscHurry()
{
    if (auto* hurry = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "kv_slowdisc_hurry"))) {
        hurry();
    }
}

void SlowDiscSpinDown(long ms)
{
    if (auto* spinDown = reinterpret_cast<void (*)(long)>(dlsym(RTLD_DEFAULT, "kv_slowdisc_spin_down"))) {
        spinDown(ms);
    }
}

long SlowDiscFailedReads()
{
    return ShimCall<long>("kv_slowdisc_failed_reads", 0);
}
long SlowDiscFailingOpens()
{
    return ShimCall<long>("kv_slowdisc_failing_opens", 0);
}

std::vector<SlowDiscEvent> SlowDiscLog()
{
    // As the medium lays a line out.
    struct Entry {
        long start;
        long end;
        int file;
        int thread;
        int gui;
        int priority;
        int kind;
        long long offset;
        long long length;
        long long driveBytes;
        int ahead;
    };
    using LogCall = long (*)(Entry*, long);
    using PathCall = const char* (*)(int);
    auto* log = reinterpret_cast<LogCall>(dlsym(RTLD_DEFAULT, "kv_slowdisc_log"));
    auto* path = reinterpret_cast<PathCall>(dlsym(RTLD_DEFAULT, "kv_slowdisc_path"));
    if (log == nullptr || path == nullptr) {
        return {};
    }
    std::vector<Entry> entries(size_t(log(nullptr, 0)) + 64);
    entries.resize(size_t(std::min<long>(log(entries.data(), long(entries.size())), long(entries.size()))));
    std::vector<SlowDiscEvent> events;
    for (const Entry& entry : entries) {
        SlowDiscEvent event;
        event.start = entry.start;
        event.end = entry.end;
        event.kind = SlowDiscEvent::Kind(entry.kind);
        event.thread = entry.thread;
        event.gui = entry.gui != 0;
        event.priority = entry.priority;
        event.path = entry.file > 0 ? path(entry.file) : "";
        event.offset = entry.offset;
        event.length = entry.length;
        event.driveBytes = entry.driveBytes;
        event.ahead = entry.ahead != 0;
        events.push_back(std::move(event));
    }
    return events;
}

SlowDiscChild RunOnSlowDisc(const SlowDiscSettings& settings, const std::vector<std::string>& command,
                            const std::vector<std::string>& extra, int timeoutMs)
{
    SlowDiscChild child;
    std::vector<std::string> entries = SlowDiscEnvironment(settings);
    entries.insert(entries.end(), extra.begin(), extra.end());
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return child;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    pid_t pid = 0;
    const int spawned = SpawnProgram(&pid, command, EnvironmentWith(entries), &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        child.output = "cannot start " + command.at(0);
        return child;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool killed = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        pollfd wait = {pipeFds[0], POLLIN, 0};
        if (poll(&wait, 1, killed ? 1000 : int(std::min<long long>(left.count(), 1000))) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        child.output.append(buffer, size_t(got));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    child.status = killed ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return child;
}

bool RunTestOnSlowDisc(const SlowDiscSettings& settings, int timeoutMs)
{
    if (OnSlowDisc()) {
        return true;
    }
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    const SlowDiscChild child = RunOnSlowDisc(settings, {"/proc/self/exe", "--gtest_filter=" + name}, {}, timeoutMs);
    EXPECT_EQ(child.status, 0) << name << " on the slow medium:\n" << child.output;
    return false;
}
