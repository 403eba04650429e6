// The recording half of a speaker's buffer: the PCM the play thread decodes goes, 400 ms
// at a time, through the MP3 encoder into a file of the speaker's own.
#include <lame/lame.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

#include "media/ptt_audio_buffer.h"
#include "outside/harbor.h"
#include "platform/files.h"
#include "platform/local_time.h"

namespace {

// Names already taken in the same second get "_1", "_2", ... before ".mp3".
constexpr int kMaxNameSuffix = 1000;

}  // namespace

CPttAudioBuffer::~CPttAudioBuffer() { stopRecord(); }

void CPttAudioBuffer::setRecordPath(const std::string& directory) {
    recordDirectory = directory;
    if (!recordDirectory.empty() && recordDirectory.back() != '/' && recordDirectory.back() != '\\') {
        recordDirectory += '/';
    }
}

void CPttAudioBuffer::setRecordFinishCallback(RecordFinishHandler handler) { finishHandler = std::move(handler); }

// Creates the file only when no file of that name exists: two turns of one speaker in the
// same second keep both recordings.
std::FILE* CPttAudioBuffer::createRecordFile(const std::string& stem) {
    for (int suffix = 0; suffix < kMaxNameSuffix; ++suffix) {
        recordFilePath = stem + (suffix == 0 ? "" : "_" + std::to_string(suffix)) + ".mp3";
        std::FILE* created = talkhub::platform::createNewFile(recordFilePath);
        if (created != nullptr || errno != EEXIST) return created;
    }
    return nullptr;
}

void CPttAudioBuffer::startRecord() {
    constexpr const char* tag = "CPttAudioBuffer::startRecord";
    const std::tm local = talkhub::platform::localTime(std::time(nullptr));
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    const std::string stem = recordDirectory + std::to_string(userId) + "_" + stamp;
    stopRecord();
    encoder = lame_init();
    if (encoder == nullptr) {
        harbor::logError(tag, "malloc mp3 lame handle fail");
        stopRecord();
        return;
    }
    lame_set_in_samplerate(encoder, 8000);
    lame_set_out_samplerate(encoder, 44100);
    lame_set_num_channels(encoder, 1);
    lame_set_mode(encoder, MONO);
    lame_set_VBR(encoder, vbr_mtrh);
    const int initialised = lame_init_params(encoder);
    if (initialised < 0) {
        harbor::logError(tag, "init mp3 lame parametr fail:[%d]", initialised);
        stopRecord();
        return;
    }
    file = createRecordFile(stem);
    if (file == nullptr) {
        harbor::logError(tag, "create record file:[%s] fail", (stem + ".mp3").c_str());
        stopRecord();
        return;
    }
    pcmBatch = std::make_unique<int16_t[]>(kPcmBatchSize / 2);
    pcmBatchLength = 0;
    mp3Block = std::make_unique<unsigned char[]>(kMp3BlockSize);
    startTime = std::chrono::steady_clock::now();
}

// A decode can hold more than a batch (concealed audio for lost packets comes with it), so
// the PCM goes in whole batches until what is left fits.
void CPttAudioBuffer::feedRecorder(const unsigned char* pcm, unsigned int length) {
    // A failed write ends the recording, and with it the batch, in the middle of the loop.
    while (length > 0 && pcmBatch) {
        const unsigned int taken = std::min(length, kPcmBatchSize - pcmBatchLength);
        std::memcpy(reinterpret_cast<unsigned char*>(pcmBatch.get()) + pcmBatchLength, pcm, taken);
        pcmBatchLength += taken;
        pcm += taken;
        length -= taken;
        if (pcmBatchLength >= kPcmBatchSize) encodeMp3();
    }
}

void CPttAudioBuffer::encodeMp3() {
    if (encoder == nullptr || file == nullptr || !pcmBatch || !mp3Block || pcmBatchLength <= 1) return;
    const int bytes = lame_encode_buffer(encoder, pcmBatch.get(), nullptr, static_cast<int>(pcmBatchLength / 2),
                                         mp3Block.get(), static_cast<int>(kMp3BlockSize));
    if (bytes > 0) {
        writeMp3(bytes);
    } else if (bytes < 0) {
        harbor::logError("CPttAudioBuffer::encodeMp3", "user id:[%d] encode mp3 data fail:[%d]; input data len:[%d]",
                         userId, bytes, pcmBatchLength);
    }
    pcmBatchLength = 0;
}

void CPttAudioBuffer::writeMp3(int bytes) {
    const auto size = static_cast<std::size_t>(bytes);
    if (std::fwrite(mp3Block.get(), 1, size, file) != size) abandonRecord("write");
}

// A recording that lost data (a full disk, a removed drive, a quota) is no recording: its
// partial file goes and no notice claims it. The turn itself plays on.
void CPttAudioBuffer::abandonRecord(const char* step) {
    const int error = errno;
    harbor::logError("CPttAudioBuffer::abandonRecord", "user id:[%u] %s record file:[%s] fail:[%s], recording dropped.",
                     userId, step, recordFilePath.c_str(), std::strerror(error));
    if (encoder != nullptr) lame_close(encoder);
    encoder = nullptr;
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    std::error_code ignored;
    std::filesystem::remove(talkhub::platform::pathFromUtf8(recordFilePath), ignored);
    pcmBatch.reset();
    mp3Block.reset();
    pcmBatchLength = 0;
    finishHandler = nullptr;
}

// The file is flushed and closed before the handler runs, so a host may open it in its
// notice; a recording whose start failed, or that failed to write, tells nobody.
void CPttAudioBuffer::stopRecord() {
    const bool began = file != nullptr;
    if (encoder != nullptr) {
        encodeMp3();
        if (file != nullptr && mp3Block) {
            const int bytes = lame_encode_flush(encoder, mp3Block.get(), static_cast<int>(kMp3BlockSize));
            if (bytes > 0) writeMp3(bytes);
        }
        if (encoder != nullptr) lame_close(encoder);
        encoder = nullptr;
        duration = static_cast<unsigned long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startTime)
                .count());
    }
    // Data still buffered in the stream reaches the disk only here: either step can fail.
    if (file != nullptr && std::fflush(file) != 0) abandonRecord("flush");
    if (file != nullptr && std::fclose(std::exchange(file, nullptr)) != 0) abandonRecord("close");
    pcmBatch.reset();
    mp3Block.reset();
    pcmBatchLength = 0;
    if (began && finishHandler) {
        const RecordFinishHandler handler = std::move(finishHandler);
        finishHandler = nullptr;
        handler(userId, duration, recordFilePath);
    }
}
