#include "private_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstring>

#include "unique_fd.h"

namespace PrivateFile {

namespace {

bool writeAll(int fd, const QByteArray& data) {
    for (qsizetype done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// A name nobody else uses yet, opened exclusively so a file or link planted at
// it fails the open instead of being written through.
UniqueFd createTemporary(const QString& path, QByteArray& temporary) {
    const QFileInfo target(path);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString suffix = QString::number(QRandomGenerator::system()->generate64(), 16);
        temporary = QFile::encodeName(target.path() + "/." + target.fileName() + "." + suffix);
        UniqueFd fd(
            ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd || errno != EEXIST) return fd;
    }
    return UniqueFd();
}

}  // namespace

bool write(const QString& path, const QByteArray& data, QString& error) {
    QByteArray temporary;
    UniqueFd fd = createTemporary(path, temporary);
    if (!fd) {
        error = QString("cannot write %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const bool ok = writeAll(fd.get(), data) && ::fsync(fd.get()) == 0 && fd.close() &&
                    ::rename(temporary.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok) {
        error = QString("cannot write %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        ::unlink(temporary.constData());
    }
    return ok;
}

std::optional<QByteArray> read(const QString& path) {
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return std::nullopt;
    QByteArray data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return data;
        data.append(buffer, n);
    }
}

bool makeFolder(const QString& path, QString& error) {
    const QFileInfo folder(path);
    if (!QDir().mkpath(folder.path()) ||
        (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST)) {
        error = QString("cannot create %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    return true;
}

}  // namespace PrivateFile
