#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

// Test helpers of the platform tests.

// A fresh folder under the temporary folder, removed with everything in it.
class PlatTempFolder {
public:
    PlatTempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "plattest.XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~PlatTempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    PlatTempFolder(const PlatTempFolder&) = delete;
    PlatTempFolder& operator=(const PlatTempFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

    // Writes the bytes to a file below the folder, making the folders on the way.
    std::string Write(std::string_view name, std::string_view bytes) const
    {
        const std::string file = *this / name;
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return file;
    }

private:
    std::string path_;
};

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv()
    {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A named pipe that no writer opens, so that an open for reading would wait for good. After
// the grace time a watchdog opens the other end now and then: a blocked reader gets its
// end of file, and the test fails on Freed() instead of hanging.
class PlatStuckPipe {
public:
    explicit PlatStuckPipe(std::string path, std::chrono::milliseconds grace = std::chrono::seconds(8))
        : path_(std::move(path))
    {
        made_ = ::mkfifo(path_.c_str(), 0600) == 0;
        watchdog_ = std::thread([this, grace] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (wake_.wait_for(lock, grace, [this] { return stop_; })) {
                return;
            }
            while (!wake_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stop_; })) {
                const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    freed_ = true;
                    ::close(fd);
                }
            }
        });
    }
    ~PlatStuckPipe()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        watchdog_.join();
    }
    PlatStuckPipe(const PlatStuckPipe&) = delete;
    PlatStuckPipe& operator=(const PlatStuckPipe&) = delete;

    bool Made() const { return made_; }
    const std::string& Path() const { return path_; }
    bool Freed() const { return freed_.load(); }

private:
    std::string path_;
    bool made_ = false;
    std::atomic<bool> freed_{false};
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread watchdog_;
};
