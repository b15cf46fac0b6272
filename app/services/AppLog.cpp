#include "app/services/AppLog.h"

namespace brisvale {

void useAppLogIdentity() {
    kestrum::Log::setIdentity({"brisvale", "com.tavrel.kestrum", appCategory});
}

}  // namespace brisvale
