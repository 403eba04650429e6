// Converts media files for the host with the transcoder "ffmpeg" in the library's own
// folder (on Linux, else on the PATH): jobs run one at a time, in the order given, on a worker thread of their own that
// ends when the queue runs dry. Independent of the voice service.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CMediaTranscoding {
public:
    struct _TASK_INFO {
        std::string source;  // UTF-8 paths
        std::string target;
        bool deleteSource = false;
    };

    // The one instance, made on first use, with the transcoder beside the library.
    static CMediaTranscoding& instance();

    // The transcoder is looked for in `programFolder` (on Linux then on the PATH).
    explicit CMediaTranscoding(std::string programFolder);
    // Drops the jobs not yet started and waits for a running one.
    ~CMediaTranscoding();
    CMediaTranscoding(const CMediaTranscoding&) = delete;
    CMediaTranscoding& operator=(const CMediaTranscoding&) = delete;

    // Queues a job; when the queue was empty and a conversion still runs, waits for it to
    // end before starting a fresh worker.
    void addTranscodingTask(const std::string& source, const std::string& target, bool deleteSource);
    // True when no queued or running job has this source (compared ignoring case).
    bool checkTranscodingFinish(const std::string& source);

private:
    void onTranscodingThread();
    // Runs the transcoder with "-i", source, target; the source goes only after a
    // conversion that ended with status 0.
    void onTranscoding(const _TASK_INFO& task);

    std::atomic<bool> stopFlag{true};
    std::string programFolder;
    // The queue lock guards the queue and the current source.
    std::list<std::shared_ptr<_TASK_INFO>> taskQueue;
    std::recursive_mutex queueLock;
    std::string currentSource;
    // Taken alone, around joining the old worker and starting a new one.
    std::mutex workerLock;
    std::thread worker;
};
