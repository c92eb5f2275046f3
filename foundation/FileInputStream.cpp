// FileInputStream.cpp: the buffered file byte source.
#include "foundation/FileInputStream.h"

#include <cstring>

QELFileInputStream::QELFileInputStream(const QELFileSystemItem &file, uint32_t bufferSize)
    : buffer_(bufferSize == 0 ? 1 : bufferSize) {
    stream_ = OpenFileStream(file, FileOpenMode::ReadOnly);
    if (stream_)
        remaining_ = stream_->GetSize();
}

QELFileInputStream::QELFileInputStream(QELOwned<QELFileStream> stream, uint32_t bufferSize)
    : stream_(std::move(stream)), buffer_(bufferSize == 0 ? 1 : bufferSize) {
    if (stream_)
        remaining_ = stream_->GetSize();
}

QELFileInputStream::~QELFileInputStream() = default;

bool QELFileInputStream::refill() {
    if (remaining_ == 0)
        return false;
    uint32_t want = remaining_ < buffer_.size() ? remaining_ : buffer_.size();
    uint32_t got = stream_->ReadAt(total_, want, buffer_.data());
    if (got == 0)
        return false;
    total_ += got;
    remaining_ -= got;
    current_ = buffer_.data();
    available_ = got;
    return true;
}

bool QELFileInputStream::ReadByte(uint8_t &byte) {
    if (available_ == 0 && !refill())
        return false;
    byte = *current_++;
    --available_;
    return true;
}

uint32_t QELFileInputStream::ReadBytes(uint8_t *buffer, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        if (available_ == 0 && !refill())
            break;
        uint32_t take = count - done < available_ ? count - done : available_;
        std::memcpy(buffer + done, current_, take);
        current_ += take;
        available_ -= take;
        done += take;
    }
    return done;
}
