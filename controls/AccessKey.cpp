#include "controls/AccessKey.h"

namespace quarnel {

QChar NextAccessKey(const QString& caption, bool enabled, QChar current) {
    if (!enabled) {
        return QChar();
    }
    const qsizetype marker = caption.indexOf(QLatin1Char('&'));
    if (marker < 0) {
        return current;
    }
    return marker + 1 < caption.size() ? caption[marker + 1] : QChar();
}

}  // namespace quarnel
