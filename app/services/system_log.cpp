#include "system_log.h"

#include <unistd.h>

#include <cerrno>

namespace SystemLog {

void write(const QString& message) {
    QByteArray line = QByteArray(kPrefix) + message.toUtf8();
    line.replace('\n', ' ');  // one event, one line
    line.append('\n');
    const char* data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to log to: nothing else to do
        data += n;
        left -= n;
    }
}

}  // namespace SystemLog
