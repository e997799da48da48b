#include "app/AppIdentity.h"

#include <QStandardPaths>
#include <QString>

namespace quarnel {

std::string SettingsFilePath() {
    const QString name =
        QString::fromUtf8(ApplicationName.data(), qsizetype(ApplicationName.size()));
    return (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/" + name +
            "/" + name + ".ini")
        .toStdString();
}

std::string BuildAppTitle(const VersionRecord& version) {
    return std::string(version.ProductName) + " v." + std::to_string(version.Major) + "." +
           std::to_string(version.Minor) + "   (build " + std::to_string(version.Revision) + ")";
}

std::string LoadCaption(const VersionRecord& version) {
    return std::string(version.ProductName) + " v" + std::to_string(version.Major) + "." +
           std::to_string(version.Minor) + " Build " + std::to_string(version.Revision);
}

}  // namespace quarnel
