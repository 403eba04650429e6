#include <harbor/harbor.h>
#include <spdlog/async.h>
#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace harbor {
namespace {

std::mutex logMutex;
std::shared_ptr<spdlog::logger> activeLogger;

std::shared_ptr<spdlog::logger> currentLogger() {
    std::lock_guard lock(logMutex);
    return activeLogger;
}

// Formats into a stack buffer and falls back to a heap buffer of the exact size, so no
// value is ever truncated.
void write(spdlog::level::level_enum level, const char* tag, const char* format, va_list args) {
    auto logger = currentLogger();
    if (!logger || !format) return;
    char small[512];
    va_list again;
    va_copy(again, args);
    int needed = std::vsnprintf(small, sizeof small, format, args);
    if (needed < 0) {
        va_end(again);
        return;
    }
    const char* text = small;
    std::vector<char> large;
    if (static_cast<std::size_t>(needed) >= sizeof small) {
        large.resize(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        text = large.data();
    }
    va_end(again);
    logger->log(level, "[{}] {}", tag ? tag : "", text);
}

// "<name>_YYYY-MM-DD.log", as the daily sink names its files.
bool isDailyFileOf(const std::string& fileName, const std::string& name) {
    static constexpr std::string_view kDatePattern = "_0000-00-00.log";
    if (fileName.size() != name.size() + kDatePattern.size() || fileName.compare(0, name.size(), name) != 0) {
        return false;
    }
    for (std::size_t i = 0; i < kDatePattern.size(); ++i) {
        const char expected = kDatePattern[i];
        const char seen = fileName[name.size() + i];
        const bool matches = expected == '0' ? seen >= '0' && seen <= '9' : seen == expected;
        if (!matches) return false;
    }
    return true;
}

// Removes all but the newest kLogDaysKept daily files: the dates sort as their names do.
void pruneDailyFiles(const std::filesystem::path& folder, const std::string& name) {
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::u8string leaf = entry.path().filename().u8string();
        if (entry.is_regular_file(error) && isDailyFileOf(std::string(leaf.begin(), leaf.end()), name)) {
            files.push_back(entry.path());
        }
    }
    if (files.size() <= kLogDaysKept) return;
    std::sort(files.begin(), files.end());
    for (std::size_t i = 0; i + kLogDaysKept < files.size(); ++i) std::filesystem::remove(files[i], error);
}

}  // namespace

bool logInit(const std::string& path, bool synchronous) {
    // The path is UTF-8; the file goes to the system by its native name (UTF-16 on Windows).
    const std::filesystem::path folder(std::u8string(path.begin(), path.end()));
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::filesystem::path leaf = folder.filename();
    if (leaf.empty()) leaf = folder.parent_path().filename();
    if (leaf.empty()) leaf = "harbor";
    const std::u8string leafText = leaf.u8string();
    const std::string name(leafText.begin(), leafText.end());

    try {
        // The sink removes the oldest file itself at each day's turn; a process started
        // each day never turns, so the folder is pruned here as well.
        auto sink = std::make_shared<spdlog::sinks::daily_file_sink_mt>((folder / (leaf += ".log")).native(), 0, 0,
                                                                        false, kLogDaysKept);
        pruneDailyFiles(folder, name);
        std::shared_ptr<spdlog::logger> logger;
        if (synchronous) {
            logger = std::make_shared<spdlog::logger>(name, sink);
            logger->flush_on(spdlog::level::err);
        } else {
            if (!spdlog::thread_pool()) spdlog::init_thread_pool(8192, 1);
            logger = std::make_shared<spdlog::async_logger>(name, sink, spdlog::thread_pool(),
                                                            spdlog::async_overflow_policy::block);
            spdlog::flush_every(std::chrono::seconds(1));
        }
        logger->set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] [%t] %v");
        logger->set_level(spdlog::level::debug);
        std::lock_guard lock(logMutex);
        if (activeLogger) activeLogger->flush();
        activeLogger = std::move(logger);
        return true;
    } catch (const spdlog::spdlog_ex&) {
        return false;
    }
}

void logFlush() {
    if (auto logger = currentLogger()) logger->flush();
}

void logShutdown() {
    std::shared_ptr<spdlog::logger> logger;
    {
        std::lock_guard lock(logMutex);
        logger.swap(activeLogger);
    }
    if (logger) logger->flush();
}

#define HARBOR_LOG_FUNCTION(name, level)                  \
    void name(const char* tag, const char* format, ...) { \
        va_list args;                                     \
        va_start(args, format);                           \
        write(level, tag, format, args);                  \
        va_end(args);                                     \
    }

HARBOR_LOG_FUNCTION(logInfo, spdlog::level::info)
HARBOR_LOG_FUNCTION(logWarning, spdlog::level::warn)
HARBOR_LOG_FUNCTION(logError, spdlog::level::err)
HARBOR_LOG_FUNCTION(logDebug, spdlog::level::debug)

}  // namespace harbor
