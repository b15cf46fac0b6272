#include "app/update/BundleInfo.h"

namespace brisvale {

BundleInfo mainBundle() {
    return {BRISVALE_VERSION, BRISVALE_BUILD_NUMBER, "com.tavrel.brisvale"};
}

const char* siteAddress() {
    return BRISVALE_SITE_URL;
}

}  // namespace brisvale
