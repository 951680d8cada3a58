#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Files readable and writable by their owner only, as a key and its
// certificates need.
//
// - write() gives readers the old content or the new, never half of it: the
//   data goes to a fresh temporary name in the same folder (created exclusively,
//   mode 0600), is flushed to disk and renamed over path. Whatever is at path,
//   a symbolic link included, is replaced, never followed. On failure nothing
//   is left behind and path is as it was.
// - read() does not follow a symbolic link at path: a link reads as nothing.
// - makeFolder() creates a missing folder with mode 0700 (its parents as the
//   umask gives them) and leaves an existing one as it is.
namespace PrivateFile {

bool write(const QString& path, const QByteArray& data, QString& error);
std::optional<QByteArray> read(const QString& path);
bool makeFolder(const QString& path, QString& error);

}  // namespace PrivateFile
