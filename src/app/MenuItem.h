// How a menu item carries its tag: the port of the URL items, the pid of the kill item.
#pragma once

#include <QAction>
#include <QVariant>

namespace MenuItem {

// The signed 64-bit tag; 0 for an item that carries none.
inline void setTag(QAction *item, qint64 tag)
{
    item->setData(QVariant::fromValue<qint64>(tag));
}

inline qint64 tag(const QAction *item)
{
    return item->data().value<qint64>();
}

} // namespace MenuItem
