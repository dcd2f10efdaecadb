#pragma once
// One entry of a link's port list: a COM number the scan found, and the device behind it.
#include <QList>
#include <QMetaType>
#include <QString>

namespace serial {

struct PortEntry {
    int com = 0;
    QString device; // the device path, for the entry's tool tip
    bool operator==(const PortEntry &) const = default;
};

} // namespace serial

Q_DECLARE_METATYPE(serial::PortEntry)
