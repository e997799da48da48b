#include "app/SettingsFile.h"

#include <QStandardPaths>
#include <QString>

namespace quarnel {

std::string SettingsFilePath() {
    return (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            "/Quarnel/Quarnel.ini")
        .toStdString();
}

}  // namespace quarnel
