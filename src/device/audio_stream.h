// One speaker's PCM on its way to the mixer: a byte FIFO that the play thread appends to
// and the device's audio callback drains from the front. Not locked itself; the device's
// stream lock guards every stream.
#pragma once

class CAudioStream {
public:
    // The stream keeps at most `limit` bytes: beyond it the oldest audio goes.
    explicit CAudioStream(unsigned int limit) : limit_(limit) {}
    ~CAudioStream();
    CAudioStream(const CAudioStream&) = delete;
    CAudioStream& operator=(const CAudioStream&) = delete;

    // Appends the bytes and clears the finished flag. The block grows to exactly what is
    // stored; a growth that fails drops these bytes and keeps what was stored.
    void write(const unsigned char* data, unsigned int length);
    // Drops up to `length` bytes from the front.
    void consume(unsigned int length);
    unsigned int size() const { return size_; }
    const unsigned char* data() const { return data_; }
    void setFinish() { finished_ = true; }
    bool isFinish() const { return finished_; }

private:
    unsigned char* data_ = nullptr;
    unsigned int capacity_ = 0;
    unsigned int size_ = 0;
    bool finished_ = false;
    unsigned int limit_;
    // Set while the producer outruns the mixer; one log line tells of each such episode.
    bool overflowing_ = false;
};
