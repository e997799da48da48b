#include "window/AppIdentity.h"

namespace quarnel {

std::string BuildAppTitle(const VersionRecord& version) {
    return std::string(version.ProductName) + " v." + std::to_string(version.Major) + "." +
           std::to_string(version.Minor) + "   (build " + std::to_string(version.Revision) + ")";
}

std::string LoadCaption(const VersionRecord& version) {
    return std::string(version.ProductName) + " v" + std::to_string(version.Major) + "." +
           std::to_string(version.Minor) + " Build " + std::to_string(version.Revision);
}

}  // namespace quarnel
