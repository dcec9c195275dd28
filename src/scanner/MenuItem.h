// How a menu item names its action and carries its tag. No item has a target: the status
// menu's one routing point reads the action name and hands the item to the delegate.
#pragma once

#include <QAction>
#include <QString>
#include <QVariant>

namespace MenuItem {

inline constexpr char actionProperty[] = "ambrelAction";

inline void setActionName(QAction *item, const QString &name)
{
    item->setProperty(actionProperty, name);
}

inline QString actionName(const QAction *item)
{
    return item->property(actionProperty).toString();
}

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
