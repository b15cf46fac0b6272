#pragma once
// What the running build says about itself: version, build number and identifier, fixed at build
// time. A plain value so that tests hand in any bundle they like.

#include <optional>
#include <string>

namespace brisvale {

struct BundleInfo {
    std::optional<std::string> shortVersion;  // "1.4"; absent when the build did not set one
    std::optional<std::string> build;         // "27"; text, parsed only by the update check
    std::optional<std::string> identifier;    // "com.tavrel.brisvale"
    bool operator==(const BundleInfo&) const = default;
};

// The values this binary was built with (CMake: project version, BRISVALE_BUILD_NUMBER).
BundleInfo mainBundle();

// The release site's root, an https address set at build time (BRISVALE_SITE_URL). The update
// check asks "api/latest" below it; the About tab opens it as the web site.
const char* siteAddress();

}  // namespace brisvale
