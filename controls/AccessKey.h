#pragma once

#include <QChar>
#include <QString>

namespace quarnel {

// The access key a button answers after a repaint, given the key it had: the character after
// the first "&" of an enabled button's caption (none when "&" ends the caption, the ampersand
// itself after "&&"); an enabled caption without "&" keeps the key it had; a disabled button
// answers none. A null QChar is no key.
QChar NextAccessKey(const QString& caption, bool enabled, QChar current);

}  // namespace quarnel
