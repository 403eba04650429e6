#include "transcoding/media_transcoding.h"

#include <filesystem>

#include "outside/harbor.h"
#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "platform/text_case.h"
#include "platform/thread_name.h"

using talkhub::platform::foldCase;

CMediaTranscoding& CMediaTranscoding::instance() {
    static CMediaTranscoding transcoding(talkhub::platform::moduleFolder(talkhub::platform::moduleFileName()));
    return transcoding;
}

CMediaTranscoding::CMediaTranscoding(std::string folder) : programFolder(std::move(folder)) {
    if (programFolder.empty() || programFolder.back() != '/') programFolder += '/';
}

CMediaTranscoding::~CMediaTranscoding() {
    stopFlag = true;
    {
        std::lock_guard lock(queueLock);
        taskQueue.clear();
    }
    std::lock_guard starting(workerLock);
    if (worker.joinable()) worker.join();
}

void CMediaTranscoding::addTranscodingTask(const std::string& source, const std::string& target, bool deleteSource) {
    auto task = std::make_shared<_TASK_INFO>(_TASK_INFO{source, target, deleteSource});
    std::size_t queued = 0;
    {
        std::lock_guard lock(queueLock);
        taskQueue.push_back(std::move(task));
        queued = taskQueue.size();
    }
    // A worker that is running reaches the job; an empty queue means it has ended or is
    // about to, so it is waited for and a fresh one starts.
    if (queued != 1) return;
    // Two hosts' threads that both found the queue empty start one worker after the other.
    std::lock_guard starting(workerLock);
    stopFlag = true;
    if (worker.joinable()) worker.join();
    stopFlag = false;
    worker = std::thread([this] {
        talkhub::platform::nameThisThread("talkhub-transcode");
        onTranscodingThread();
    });
}

bool CMediaTranscoding::checkTranscodingFinish(const std::string& source) {
    const std::string wanted = foldCase(source);
    std::lock_guard lock(queueLock);
    if (!currentSource.empty() && foldCase(currentSource) == wanted) return false;
    for (const auto& task : taskQueue) {
        if (foldCase(task->source) == wanted) return false;
    }
    return true;
}

void CMediaTranscoding::onTranscodingThread() {
    while (!stopFlag) {
        std::shared_ptr<_TASK_INFO> task;
        {
            std::lock_guard lock(queueLock);
            if (taskQueue.empty()) return;
            task = taskQueue.front();
            taskQueue.pop_front();
            currentSource = task->source;
        }
        onTranscoding(*task);
        std::lock_guard lock(queueLock);
        currentSource.clear();
    }
}

void CMediaTranscoding::onTranscoding(const _TASK_INFO& task) {
    constexpr const char* tag = "CMediaTranscoding::onTranscoding";
    const std::string program = talkhub::platform::findProgram(programFolder, "ffmpeg");
    const talkhub::platform::ChildOutcome outcome =
        talkhub::platform::runToEnd(program, {"-i", task.source, task.target});
    if (!outcome.started) {
        harbor::logError(tag, "media transoding command:[%s] fail:[%s]", program.c_str(), outcome.startError.c_str());
        return;
    }
    if (outcome.waitError) {
        harbor::logError(tag, "media transoding fail:[%d:%s]", outcome.waitError.value(),
                         outcome.waitError.message().c_str());
        return;
    }
    if (outcome.exitCode != 0) {
        // A failed conversion keeps its source: it may be the only copy.
        harbor::logError(tag, "media transoding of:[%s] ended with status:[%d], source kept", task.source.c_str(),
                         outcome.exitCode);
        return;
    }
    if (!task.deleteSource) return;
    std::error_code error;
    std::filesystem::remove(talkhub::platform::pathFromUtf8(task.source), error);
    if (error) {
        harbor::logError(tag, "delete source video file:[%s] fail:[%d:%s]", task.source.c_str(), error.value(),
                         error.message().c_str());
    }
}
