#pragma once
// Where a picture or an export the operator names is written. A new or regular file is written
// beside it and renamed into place once whole, so that a failed or cancelled save leaves no
// partial file. Anything else that exists at the path (a device, a terminal) is written to and
// never replaced; a FIFO without a reader is refused at once instead of holding the save for
// ever.
#include <QString>

#include <atomic>
#include <functional>

class QFileDevice;

namespace trend {

// Writes through `write`, which returns false when it could not write everything. On failure,
// *error says why (empty when `cancel` was set, so that nothing is reported).
bool saveToPath(const QString &path, const std::function<bool(QFileDevice &)> &write,
                QString *error, const std::atomic<bool> *cancel = nullptr);

} // namespace trend
