// FileStream.cpp: positioned file access over the platform's file handles, and the
// reading and appending of CR LF text lines.
#include "foundation/FileStream.h"

#include <cstring>

namespace {

constexpr uint32_t kLineBlock = 1024;
constexpr char kCR = 13;
constexpr char kLF = 10;

// count, shortened so that offset + count stays within 32 bits.
uint32_t FittingCount(uint32_t offset, uint32_t count) {
    uint32_t room = UINT32_MAX - offset;
    return count < room ? count : room;
}

}  // namespace

QELFileStream::QELFileStream(const QELFileSpecification &file) : file_(file) {}

QELFileStream::~QELFileStream() { close(); }

bool QELFileStream::open(FileOpenMode mode) {
    close();
    platform::FileAccess access = platform::FileAccess::None;
    platform::FileSharing sharing = platform::FileSharing::Exclusive;
    switch (mode) {
    case FileOpenMode::ReadOnly:
        access = platform::FileAccess::Read;
        sharing = platform::FileSharing::Readers;
        break;
    case FileOpenMode::WriteOnly: access = platform::FileAccess::Write; break;
    case FileOpenMode::ReadWrite: access = platform::FileAccess::ReadWrite; break;
    case FileOpenMode::AnyAccess: access = platform::FileAccess::Maximum; break;
    }
    const QELString &path = file_.path();
    if (path.isEmpty() || std::memchr(path.text(), 0, path.length()) != nullptr)
        return false;
    handle_ = platform::OpenExistingFile(path.text(), access, sharing);
    return isOpen();
}

void QELFileStream::close() {
    platform::CloseFile(handle_);
    handle_ = platform::kInvalidFileHandle;
}

uint32_t QELFileStream::ReadAt(uint32_t offset, uint32_t count, void *buffer) {
    position_ = offset;
    uint32_t got = platform::ReadFileAt(handle_, offset, buffer, FittingCount(offset, count));
    position_ += got;
    return got;
}

uint32_t QELFileStream::Read(uint32_t count, void *buffer) { return ReadAt(position_, count, buffer); }

uint32_t QELFileStream::WriteAt(uint32_t offset, uint32_t count, const void *buffer) {
    position_ = offset;
    uint32_t put = platform::WriteFileAt(handle_, offset, buffer, FittingCount(offset, count));
    position_ += put;
    return put;
}

uint32_t QELFileStream::Write(uint32_t count, const void *buffer) { return WriteAt(position_, count, buffer); }

uint32_t QELFileStream::GetSize() const {
    uint64_t size;
    if (!platform::GetFileSize(handle_, &size))
        return 0;
    return size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
}

QELString QELFileStream::ReadLine() {
    const uint32_t start = position_;
    uint32_t consumed = 0;
    QELString line;
    char block[kLineBlock];
    for (;;) {
        uint32_t got = Read(kLineBlock, block);
        if (got == 0)
            break;
        uint32_t i = 0;
        while (i < got && block[i] != kCR && block[i] != kLF)
            ++i;
        line.append(block, i);
        if (i == got) {
            consumed += got;
            continue;  // no line end in this block
        }
        consumed += i + 1;
        if (block[i] == kCR) {
            if (i + 1 < got) {
                if (block[i + 1] == kLF)
                    ++consumed;
            } else {
                // The CR ends the block: one more byte tells whether an LF belongs to it.
                char next;
                if (Read(1, &next) == 1 && next == kLF)
                    ++consumed;
            }
        }
        break;
    }
    position_ = start + consumed;
    return line;
}

bool QELFileStream::AppendLine(const QELString &text) {
    position_ = GetSize();
    QELString line(text);
    if (!line.endsWith("\r\n")) {
        line.trimTrailing("\r\n");
        line.append("\r\n");
    }
    return Write(line.length(), line.text()) == line.length();
}

QELString QELFileStream::GetOpenPath() const {
    char buffer[4096];
    if (!isOpen() || !platform::OpenFilePath(handle_, buffer, sizeof buffer))
        return QELString();
    return QELString(buffer);
}

QELOwned<QELFileStream> OpenFileStream(const QELFileSystemItem &file, FileOpenMode mode) {
    QELOwned<QELFileStream> stream;
    try {
        stream.reset(new QELFileStream(QELFileSpecification(file)));
    } catch (const QELFileSystemItem::IsNotAFile &) {
        return QELOwned<QELFileStream>();
    }
    if (!stream->open(mode))
        stream.reset();
    return stream;
}

QELOwned<QELFileStream> CreateFileStream(QELFileSystemItem &file, bool takeNextFreeName) {
    QELFileSystemItem item(file);
    platform::FileHandle handle;
    if (CreateNewFileForItem(item, takeNextFreeName, &handle) != platform::CreateOutcome::Created)
        return QELOwned<QELFileStream>();
    QELOwned<QELFileStream> stream;
    try {
        stream.reset(new QELFileStream(QELFileSpecification(item)));
    } catch (...) {
        platform::CloseFile(handle);
        platform::RemoveFile(item.path().text());
        throw;
    }
    stream->handle_ = handle;
    file = item;
    return stream;
}
